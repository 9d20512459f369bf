#include "devsim/Isp8051Loader.h"

#include "devsim/FlashMemory.h"
#include "devsim/ModelText.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace vk::devsim {

namespace {

constexpr char kCommandAck = '.';
constexpr char kRepeat = 'X';
constexpr char kRefused = 'R';
constexpr char kLockedAt89 = 'L';
// Ends every answer but the echo, so that a host reading lines has it at once.
constexpr std::string_view kLineEnd = "\r\n";

constexpr std::uint8_t kTypeData = 0x00;
constexpr std::uint8_t kTypeEnd = 0x01;
constexpr std::uint8_t kTypeOscillator = 0x02;
constexpr std::uint8_t kTypeFunction = 0x03;
constexpr std::uint8_t kFunctionClearBoot = 0x04;
constexpr std::uint8_t kFunctionWriteBoot = 0x06;
constexpr std::uint8_t kFunctionErase = 0x07;
constexpr std::uint8_t kTypeDisplay = 0x04;
constexpr std::uint8_t kDisplayData = 0x00;
constexpr std::uint8_t kDisplayBlankCheck = 0x01;
constexpr std::uint8_t kTypeReadInfo = 0x05;
// The data sheet's limit of one display command, and its bytes per line.
constexpr std::uint32_t kMaxDisplayBytes = 0x400;
constexpr std::uint32_t kDisplayLineBytes = 16;

std::string Hex2(std::uint8_t v) {
  char buf[4];
  std::snprintf(buf, sizeof buf, "%02X", v);
  return buf;
}

// An address as the loader prints it: four digits, no prefix.
std::string Digits4(std::uint32_t v) {
  return Hex2(static_cast<std::uint8_t>(v >> 8)) + Hex2(static_cast<std::uint8_t>(v));
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// The name a fault rule uses for a command record.
const char* CommandName(const std::vector<std::uint8_t>& bytes) {
  switch (bytes[3]) {
  case kTypeEnd:
    return "END";
  case kTypeOscillator:
    return "OSC";
  case kTypeDisplay:
    return bytes.size() > 9 && bytes[8] == kDisplayBlankCheck ? "BLANK" : "DISPLAY";
  case kTypeFunction:
    if (bytes.size() > 5 && bytes[4] == kFunctionErase) return "ERASE";
    if (bytes.size() > 5 && (bytes[4] == kFunctionClearBoot || bytes[4] == kFunctionWriteBoot))
      return "CLOSE";
    return "FUNCTION";
  default:
    return "RECORD";
  }
}

} // namespace

const char* Isp8051ChipName(Isp8051Chip chip) {
  return chip == Isp8051Chip::AT89C51RX2 ? "AT89C51RX2" : "P89C51RX2";
}

Isp8051Loader::Isp8051Loader(Isp8051Config config)
    : config_(std::move(config)), locked_(config_.locked) {
  flash_.fill(0xFF);
  ApplyStuckBit();
}

void Isp8051Loader::ApplyStuckBit() {
  if (config_.stuckBitAt && *config_.stuckBitAt < kFlashSize) flash_[*config_.stuckBitAt] |= 0x01;
}

bool Isp8051Loader::AddFault(std::string_view rule, std::string* error) {
  const auto eq = rule.rfind('=');
  const bool letterL = eq != std::string_view::npos && Upper(rule.substr(eq + 1)) == "L";
  if (!letterL) return faults_.Add(rule, error);
  // FaultScript knows X, E and R; "L" is this loader's own refusal, carried as an R rule.
  auto fault = ParseFault(std::string(rule.substr(0, eq + 1)) + "R", error);
  if (!fault) {
    if (error) {
      const auto why = error->find("\": ");
      *error = "fault \"" + std::string(rule) + "\"" +
               (why == std::string::npos ? std::string() : error->substr(why + 1));
    }
    return false;
  }
  fault->rule = std::string(rule);
  letterLRules_.insert(fault->rule);
  faults_.Add(std::move(*fault));
  return true;
}

void Isp8051Loader::Preload(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
  for (std::size_t i = 0; i < bytes.size() && address + i < kFlashSize; ++i)
    flash_[address + i] = bytes[i];
  ApplyStuckBit();
}

char Isp8051Loader::RefusalLetter(const Fault& fault) const {
  if (fault.action == FaultAction::ReplyR && letterLRules_.count(fault.rule)) return 'L';
  return ScriptedSerialModel::RefusalLetter(fault);
}

void Isp8051Loader::Echo(std::uint8_t b, Micros at, std::uint32_t baud) {
  if (!config_.echo || Silenced()) return;
  const char c = static_cast<char>(b);
  Send(std::string_view(&c, 1), at, baud);
}

Micros Isp8051Loader::Answer(std::string_view answer, Micros readyAt, std::uint32_t baud,
                             bool endLine) {
  if (answer.empty()) return readyAt;
  if (!endLine) return ScriptedSerialModel::Answer(answer, readyAt, baud, kGarbage);
  return ScriptedSerialModel::Answer(std::string(answer) + std::string(kLineEnd), readyAt, baud);
}

void Isp8051Loader::OnByte(std::uint8_t b, Micros at, std::uint32_t baud) {
  answerFault_ = nullptr;
  const char c = static_cast<char>(b);
  if (!inRecord_ && c == 'U') {
    Sync(at, baud);
    answerFault_ = nullptr;
    return;
  }
  if (syncedBaud_ == 0) {
    if (loader_.ignoredUnsynced++ == 0)
      Note(at, "bytes before the first \"U\" are ignored: the bit rate is not known yet");
    return;
  }
  if (baud != syncedBaud_) {
    ++loader_.wrongRate;
    if (!wrongRateNoted_) {
      wrongRateNoted_ = true;
      Note(at, "bytes at " + std::to_string(baud) + " bit/s are noise to a loader measured at " +
                   std::to_string(syncedBaud_) + " bit/s; send \"U\" first");
    }
    return;
  }
  Echo(b, at, baud);
  if (!inRecord_) {
    if (c == ':') {
      inRecord_ = true;
      record_.assign(1, c);
    }
    return; // line ends and stray characters between records mean nothing
  }
  if (HexValue(c) < 0) {
    // The record breaks off; the character itself may start the next one.
    Note(at, "record broken off by a non-hexadecimal character");
    inRecord_ = false;
    const std::uint64_t n = ++loader_.records;
    RefuseRecord(n, "malformed", kRepeat, at, baud);
    if (c == ':') {
      inRecord_ = true;
      record_.assign(1, c);
    }
    answerFault_ = nullptr;
    return;
  }
  record_.push_back(c);
  if (record_.size() >= 3) {
    const std::size_t count =
        static_cast<std::size_t>(HexValue(record_[1]) * 16 + HexValue(record_[2]));
    if (record_.size() == 1 + 2 * (count + 5)) {
      inRecord_ = false;
      HandleRecord(at, baud);
    }
  }
  answerFault_ = nullptr;
}

void Isp8051Loader::Sync(Micros at, std::uint32_t baud) {
  const std::uint64_t n = ++loader_.syncs;
  ++loader_.commands;
  if (RefusesCommand("SYNC", loader_.commands, at, baud)) return;
  if (baud != syncedBaud_) {
    Note(at, "bit rate measured on \"U\": " + std::to_string(baud) + " bit/s");
    syncedBaud_ = baud;
    wrongRateNoted_ = false;
  }
  const auto reply = config_.syncReplies.find(n);
  Answer(reply != config_.syncReplies.end() ? std::string_view(reply->second) : "U", at, baud,
         /*endLine=*/false);
}

void Isp8051Loader::RefuseRecord(std::uint64_t n, std::string_view why, char letter, Micros at,
                                 std::uint32_t baud) {
  Note(at, "record " + std::to_string(n) + ": " + std::string(why));
  ++loader_.refused;
  const auto reply = config_.recordReplies.find(n);
  const Micros done = reply != config_.recordReplies.end()
                          ? Answer(reply->second, at, baud, /*endLine=*/false)
                          : Answer(std::string_view(&letter, 1), at, baud);
  AfterRecordAnswered(n, done);
}

void Isp8051Loader::HandleRecord(Micros at, std::uint32_t baud) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(record_.size() / 2);
  std::uint8_t sum = 0;
  for (std::size_t i = 1; i + 1 < record_.size(); i += 2) {
    bytes.push_back(
        static_cast<std::uint8_t>(HexValue(record_[i]) * 16 + HexValue(record_[i + 1])));
    sum = static_cast<std::uint8_t>(sum + bytes.back());
  }
  if (sum != 0) {
    // The type is not to be trusted: a damaged record counts as a data record.
    const std::uint64_t n = ++loader_.records;
    RefuseRecord(n, "bad checksum", kRepeat, at, baud);
    return;
  }
  if (bytes[3] == kTypeData) {
    const std::uint64_t n = ++loader_.records;
    HandleDataRecord(bytes, n, at, baud);
  } else {
    HandleCommand(bytes, at, baud);
  }
}

void Isp8051Loader::HandleDataRecord(const std::vector<std::uint8_t>& bytes, std::uint64_t n,
                                     Micros at, std::uint32_t baud) {
  if (RefusesRecord(n, at, baud)) {
    ++loader_.refused;
    return;
  }
  const bool at89 = config_.chip == Isp8051Chip::AT89C51RX2;
  if (locked_) return RefuseRecord(n, "security bits set", at89 ? kLockedAt89 : kRefused, at, baud);
  const std::uint32_t address = static_cast<std::uint32_t>(bytes[1] << 8 | bytes[2]);
  const std::size_t count = bytes[0];
  if (address + count > kFlashSize)
    return RefuseRecord(n, "runs past the end of the flash", kRefused, at, baud);

  // The AT89C51RX2's page write erases the page first and keeps its other bytes, so any byte can
  // be written again (docs/hardware.md says where that is documented); the P89C51RX2's flash
  // takes only what its erase left.
  if (at89) std::fill_n(flash_.begin() + address, count, std::uint8_t{0xFF});
  const auto notErased = ProgramFlash(flash_.data(), address, bytes.data() + 4, count,
                                      lowestWritten_, highestWritten_);
  // The chip does not check its cells after writing: a stuck bit goes unnoticed here.
  ApplyStuckBit();
  if (notErased)
    return RefuseRecord(n, "verify failed: flash not erased at " + Hex4(*notErased), kRefused, at,
                        baud);

  ++loader_.programmed;
  loader_.bytesProgrammed += count;
  const Micros done = at + MsToUs(config_.recordMs);
  BusyUntil(done);
  const auto reply = config_.recordReplies.find(n);
  const std::string ack(1, config_.recordAck);
  AfterRecordAnswered(n, reply != config_.recordReplies.end()
                             ? Answer(reply->second, done, baud, /*endLine=*/false)
                             : Answer(ack, done, baud));
}

void Isp8051Loader::HandleCommand(const std::vector<std::uint8_t>& bytes, Micros at,
                                  std::uint32_t baud) {
  ++loader_.commands;
  if (RefusesCommand(CommandName(bytes), loader_.commands, at, baud)) return;
  const std::uint8_t type = bytes[3];
  const std::size_t count = bytes[0];
  const std::uint8_t* data = bytes.data() + 4;
  const char ack[] = {kCommandAck, '\0'};
  auto refuse = [&](const std::string& why) {
    Note(at, why + ": refused");
    Answer("R", at, baud);
  };

  if (type == kTypeEnd) {
    ++loader_.endRecords;
    Answer(std::string(1, config_.recordAck), at, baud);
    return;
  }
  if (type == kTypeOscillator) {
    if (config_.chip != Isp8051Chip::P89C51RX2 || count != 1)
      return refuse("record type 02 is not a command of this loader");
    oscillatorMHz_ = data[0];
    Note(at, "oscillator " + std::to_string(oscillatorMHz_) + " MHz");
    Answer(ack, at, baud);
    return;
  }
  if (type == kTypeFunction && count >= 1) {
    const std::uint8_t function = data[0];
    if (function == kFunctionErase && count == 1) {
      ++loader_.erases;
      flash_.fill(0xFF);
      ApplyStuckBit();
      locked_ = false;
      lowestWritten_ = kFlashSize;
      highestWritten_ = 0;
      Note(at, "full chip erase");
      const Micros done = at + MsToUs(config_.eraseMs);
      BusyUntil(done);
      Answer(ack, done, baud);
      return;
    }
    if (function == kFunctionClearBoot && count == 2 && data[1] == 0x00) {
      ++loader_.closingCommands;
      statusByte_ = 0x00;
      bootVector_ = 0x00;
      Note(at, "boot vector and status byte cleared");
      Answer(ack, at, baud);
      return;
    }
    if (function == kFunctionWriteBoot && count == 3 && (data[1] == 0x00 || data[1] == 0x01)) {
      ++loader_.closingCommands;
      (data[1] == 0x00 ? statusByte_ : bootVector_) = data[2];
      Note(at,
           std::string(data[1] == 0x00 ? "status byte" : "boot vector") + " := " + Hex2(data[2]));
      Answer(ack, at, baud);
      return;
    }
  }
  if (type == kTypeDisplay && count == 5 && config_.chip == Isp8051Chip::AT89C51RX2)
    return HandleDisplay(data, at, baud);
  if (type == kTypeReadInfo && count == 2 && config_.chip == Isp8051Chip::AT89C51RX2) {
    // Readable at every security level: the answer is the value and ".".
    const auto& id = config_.ids;
    const std::map<std::uint16_t, std::uint8_t> info = {{0x0000, id[0]},
                                                        {0x0001, id[1]},
                                                        {0x0002, id[2]},
                                                        {0x0003, id[3]},
                                                        {0x0F00, config_.bootVersion},
                                                        {0x0700, locked_ ? 0xFC : 0xFF}};
    const auto it = info.find(static_cast<std::uint16_t>(data[0] << 8 | data[1]));
    if (it != info.end()) {
      Note(at, "read " + Hex2(data[0]) + " " + Hex2(data[1]) + ": " + Hex2(it->second));
      Answer(Hex2(it->second) + ".", at, baud);
      return;
    }
  }
  const bool hasFunction = type == kTypeFunction && count >= 1;
  refuse("record type " + Hex2(type) + (hasFunction ? " function " + Hex2(data[0]) : "") +
         " is not known");
}

void Isp8051Loader::HandleDisplay(const std::uint8_t* data, Micros at, std::uint32_t baud) {
  const std::uint32_t start = static_cast<std::uint32_t>(data[0] << 8 | data[1]);
  const std::uint32_t end = static_cast<std::uint32_t>(data[2] << 8 | data[3]);
  const std::uint8_t what = data[4];
  if (what != kDisplayData && what != kDisplayBlankCheck) {
    Note(at, "display function " + Hex2(what) + " is not known: refused");
    Answer("R", at, baud);
    return;
  }
  // The data sheet does not say what the chip does past its 1 KiB limit or with the ends
  // swapped; refusing shows a host that asks for it.
  if (end < start || end - start >= kMaxDisplayBytes) {
    Note(at, "display of " + Hex4(start) + "-" + Hex4(end) + " is not 1 to 1024 bytes: refused");
    Answer("R", at, baud);
    return;
  }
  if (locked_) {
    Note(at, "display of " + Hex4(start) + "-" + Hex4(end) + ": security bits set");
    Answer(std::string(1, kLockedAt89), at, baud);
    return;
  }
  if (what == kDisplayBlankCheck) {
    ++loader_.blankChecks;
    const auto* first = std::find_if(flash_.begin() + start, flash_.begin() + end + 1,
                                     [](std::uint8_t b) { return b != 0xFF; });
    const bool blank = first == flash_.begin() + end + 1;
    Note(at, "blank check " + Hex4(start) + "-" + Hex4(end) +
                 (blank ? ": blank"
                        : ": data at " + Hex4(static_cast<std::uint32_t>(first - flash_.begin()))));
    Answer(blank ? std::string(1, kCommandAck)
                 : Digits4(static_cast<std::uint32_t>(first - flash_.begin())),
           at, baud);
    return;
  }
  ++loader_.displays;
  Note(at, "display " + Hex4(start) + "-" + Hex4(end));
  // The data lines stand on lines of their own, after the echo of the command.
  std::string text;
  for (std::uint32_t a = start; a <= end; a += kDisplayLineBytes) {
    text += std::string(kLineEnd) + Digits4(a) + "=";
    for (std::uint32_t i = a; i <= end && i < a + kDisplayLineBytes; ++i) text += Hex2(flash_[i]);
  }
  Answer(text, at, baud);
}

std::string Isp8051Loader::Summary() const {
  std::string out;
  char buf[320];
  std::snprintf(buf, sizeof buf, "%s boot loader: ", Isp8051ChipName(config_.chip));
  out += buf;
  if (syncedBaud_ == 0) {
    out += "never synchronised";
  } else {
    std::snprintf(buf, sizeof buf, "synchronised at %u bit/s (\"U\" x%llu)", syncedBaud_,
                  static_cast<unsigned long long>(loader_.syncs));
    out += buf;
  }
  if (oscillatorMHz_ != 0) out += ", oscillator " + std::to_string(oscillatorMHz_) + " MHz";
  std::snprintf(buf, sizeof buf, ", erase x%llu, %llu record(s) programmed, %llu byte(s)",
                static_cast<unsigned long long>(loader_.erases),
                static_cast<unsigned long long>(loader_.programmed),
                static_cast<unsigned long long>(loader_.bytesProgrammed));
  out += buf;
  if (highestWritten_ >= lowestWritten_ && lowestWritten_ < kFlashSize)
    out += " in " + Hex4(lowestWritten_) + "-" + Hex4(highestWritten_);
  std::snprintf(buf, sizeof buf, ", %llu refused, end record x%llu",
                static_cast<unsigned long long>(loader_.refused),
                static_cast<unsigned long long>(loader_.endRecords));
  out += buf;
  if (loader_.displays + loader_.blankChecks > 0) {
    std::snprintf(buf, sizeof buf, ", display x%llu, blank check x%llu",
                  static_cast<unsigned long long>(loader_.displays),
                  static_cast<unsigned long long>(loader_.blankChecks));
    out += buf;
  }
  out += "\n";
  out += "status byte " + Hex2(statusByte_) + ", boot vector " + Hex2(bootVector_) +
         (StartsApplication() ? ": the application starts at reset"
                              : ": the boot loader runs at reset") +
         (locked_ ? "; security bits set" : "") + "\n";
  const auto& line = PacedSerialModel::Counters();
  std::snprintf(buf, sizeof buf,
                "line: bytes in %llu, out %llu; ignored before \"U\" %llu; at a wrong rate %llu; "
                "lost to a rate mismatch: in %llu, out %llu%s\n",
                static_cast<unsigned long long>(line.bytesIn),
                static_cast<unsigned long long>(line.bytesOut),
                static_cast<unsigned long long>(loader_.ignoredUnsynced),
                static_cast<unsigned long long>(loader_.wrongRate),
                static_cast<unsigned long long>(line.lostIn),
                static_cast<unsigned long long>(line.lostOut), HungUp() ? "; hung up" : "");
  out += buf;
  return out;
}

} // namespace vk::devsim
