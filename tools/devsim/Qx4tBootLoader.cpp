#include "devsim/Qx4tBootLoader.h"

#include "devsim/FlashMemory.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace vk::devsim {

namespace {

constexpr std::string_view kEntered = "OK\r\n";
constexpr std::string_view kLineEnd = "\r\n";
constexpr char kRepeat = 'X';
constexpr char kRefused = 'R';

constexpr std::uint8_t kTypeData = 0x00;
constexpr std::uint8_t kTypeEnd = 0x01;

} // namespace

Qx4tBootLoader::Qx4tBootLoader(Qx4tBootConfig config) : config_(std::move(config)) {
  flash_.fill(0xFF);
  config_.appEnd = std::min<std::uint32_t>(config_.appEnd, kFlashSize - 1);
}

void Qx4tBootLoader::Preload(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
  for (std::size_t i = 0; i < bytes.size() && address + i < kFlashSize; ++i)
    flash_[address + i] = bytes[i];
}

void Qx4tBootLoader::OnByte(std::uint8_t b, Micros at, std::uint32_t baud) {
  if (faults_.EverythingSilent()) { // no controller on the line
    if (!absentNoted_) {
      absentNoted_ = true;
      Note(at, "fault silent: nothing answers");
    }
    return;
  }
  bool cut = false;
  const std::optional<std::string> line = line_.Add(b, &cut);
  if (cut) Note(at, "line cut off after " + std::to_string(kMaxLine) + " characters");
  if (!line) return;
  answerFault_ = nullptr;
  HandleLine(*line, at, baud);
  answerFault_ = nullptr;
}

void Qx4tBootLoader::HandleLine(const std::string& text, Micros at, std::uint32_t baud) {
  const std::string_view line = TrimBlanks(text);
  if (line.empty()) return;
  const std::string key = CommandKey(line);
  if (key == "BM") return Enter(at, baud);
  if (!inLoader_) {
    // The application knows no other command; records sent to it are lost.
    ++loader_.ignored;
    if (line.front() == ':' && !outsideNoted_) {
      outsideNoted_ = true;
      Note(at, "records before \"BM\" reach the application, which ignores them");
    }
    return;
  }
  if (key == "GN") return Start(at, baud);
  if (line.front() == ':') return HandleRecord(std::string(line), at, baud);
  ++loader_.commands;
  ++loader_.ignored;
  Note(at, "unknown line in the loader");
  Answer("?\r\n", at, baud);
}

void Qx4tBootLoader::Enter(Micros at, std::uint32_t baud) {
  const std::uint64_t n = ++loader_.enters;
  ++loader_.commands;
  if (RefusesCommand("BM", loader_.commands, at, baud)) return;
  inLoader_ = true;
  ++loader_.erases;
  std::fill(flash_.begin(), flash_.begin() + config_.appEnd + 1, 0xFF);
  lowestWritten_ = kFlashSize;
  highestWritten_ = 0;
  Note(at, "boot loader entered: 0x0000-" + Hex4(config_.appEnd) + " erased");
  const Micros done = at + MsToUs(config_.eraseMs);
  BusyUntil(done);
  const auto reply = config_.enterReplies.find(n);
  Answer(reply != config_.enterReplies.end() ? std::string_view(reply->second) : kEntered, done,
         baud);
}

void Qx4tBootLoader::Start(Micros at, std::uint32_t baud) {
  ++loader_.commands;
  if (RefusesCommand("GN", loader_.commands, at, baud)) return;
  ++loader_.starts;
  inLoader_ = false;
  Note(at, "application started");
}

void Qx4tBootLoader::RefuseRecord(std::uint64_t n, std::string_view why, char letter, Micros at,
                                  std::uint32_t baud) {
  Note(at, "record " + std::to_string(n) + ": " + std::string(why));
  ++loader_.refused;
  const auto reply = config_.recordReplies.find(n);
  const Micros done =
      Answer(reply != config_.recordReplies.end() ? reply->second
                                                  : std::string(1, letter) + std::string(kLineEnd),
             at, baud);
  AfterRecordAnswered(n, done);
}

void Qx4tBootLoader::HandleRecord(const std::string& text, Micros at, std::uint32_t baud) {
  // ":" then pairs of hex digits: length, address (2), type, data, checksum.
  std::vector<std::uint8_t> bytes;
  bool wellFormed = text.size() >= 11 && text.size() % 2 == 1;
  for (std::size_t i = 1; wellFormed && i + 1 < text.size(); i += 2) {
    const int hi = HexValue(text[i]), lo = HexValue(text[i + 1]);
    if (hi < 0 || lo < 0) wellFormed = false;
    bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  std::uint8_t sum = 0;
  for (const auto b : bytes) sum = static_cast<std::uint8_t>(sum + b);
  if (!wellFormed || bytes.size() != bytes[0] + 5u || sum != 0) {
    // The type is not to be trusted: a damaged record counts as a data record.
    const std::uint64_t n = ++loader_.records;
    RefuseRecord(n, wellFormed ? "bad length or checksum" : "malformed", kRepeat, at, baud);
    return;
  }
  if (bytes[3] == kTypeData) {
    const std::uint64_t n = ++loader_.records;
    HandleDataRecord(bytes, n, at, baud);
    return;
  }
  ++loader_.commands;
  if (bytes[3] == kTypeEnd) {
    if (RefusesCommand("END", loader_.commands, at, baud)) return;
    ++loader_.endRecords;
    Note(at, "end record");
    Answer(std::string(1, config_.recordAck) + std::string(kLineEnd), at, baud);
    return;
  }
  Note(at, "record type " + std::to_string(bytes[3]) + " is not known: refused");
  Answer("R\r\n", at, baud);
}

void Qx4tBootLoader::HandleDataRecord(const std::vector<std::uint8_t>& bytes, std::uint64_t n,
                                      Micros at, std::uint32_t baud) {
  if (RefusesRecord(n, at, baud)) {
    ++loader_.refused;
    return;
  }
  const std::uint32_t address = static_cast<std::uint32_t>(bytes[1] << 8 | bytes[2]);
  const std::uint32_t count = bytes[0];
  if (count > 0 && address + count - 1 > config_.appEnd)
    return RefuseRecord(n, "reaches into the boot loader above " + Hex4(config_.appEnd), kRefused,
                        at, baud);

  const auto notErased = ProgramFlash(flash_.data(), address, bytes.data() + 4, count,
                                      lowestWritten_, highestWritten_);
  if (notErased)
    return RefuseRecord(n, "verify failed: flash not erased at " + Hex4(*notErased), kRefused, at,
                        baud);

  ++loader_.programmed;
  loader_.bytesProgrammed += count;
  const Micros done = at + MsToUs(config_.recordMs);
  BusyUntil(done);
  const auto reply = config_.recordReplies.find(n);
  AfterRecordAnswered(n, Answer(reply != config_.recordReplies.end()
                                    ? reply->second
                                    : std::string(1, config_.recordAck) + std::string(kLineEnd),
                                done, baud));
}

std::string Qx4tBootLoader::Summary() const {
  char buf[400];
  std::string out;
  std::snprintf(buf, sizeof buf,
                "QX4T boot loader: entered x%llu (erased x%llu), %llu record(s) programmed",
                static_cast<unsigned long long>(loader_.enters),
                static_cast<unsigned long long>(loader_.erases),
                static_cast<unsigned long long>(loader_.programmed));
  out += buf + BytesIn(loader_.bytesProgrammed, lowestWritten_, highestWritten_);
  std::snprintf(buf, sizeof buf,
                ", %llu refused, end record x%llu, started x%llu, %llu line(s) ignored; now in "
                "the %s\n",
                static_cast<unsigned long long>(loader_.refused),
                static_cast<unsigned long long>(loader_.endRecords),
                static_cast<unsigned long long>(loader_.starts),
                static_cast<unsigned long long>(loader_.ignored),
                inLoader_ ? "boot loader" : "application");
  out += buf;
  const auto& c = PacedSerialModel::Counters();
  std::snprintf(buf, sizeof buf,
                "line: bytes in %llu, out %llu; lost to a rate mismatch (the loader listens at "
                "%u bit/s): in %llu, out %llu\n",
                static_cast<unsigned long long>(c.bytesIn),
                static_cast<unsigned long long>(c.bytesOut), config_.baud,
                static_cast<unsigned long long>(c.lostIn),
                static_cast<unsigned long long>(c.lostOut));
  out += buf;
  return out;
}

} // namespace vk::devsim
