#include "devsim/H8BootMode.h"

#include <algorithm>
#include <cstdio>

namespace vk::devsim {

namespace {

constexpr std::uint8_t kMatch = 0x00;
constexpr std::uint8_t kConfirm = 0x55;
// Line noise: no acknowledgement, no "X", no "R", no 0xAA.
constexpr char kNoise = '\x9C';

Micros MsToUs(Millis ms) { return ms * 1000; }

std::string Hex4(std::uint32_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04X", v);
  return buf;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

struct HexRecord {
  enum class Status { Ok, Malformed, BadChecksum } status = Status::Malformed;
  std::uint8_t type = 0;
  std::uint16_t address = 0;
  std::vector<std::uint8_t> data;
};

// ":" count address(2) type data checksum, every byte as two hex digits.
HexRecord ParseRecord(const std::string& line) {
  HexRecord r;
  if (line.size() < 11 || line[0] != ':' || (line.size() - 1) % 2 != 0) return r;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
    const int hi = HexValue(line[i]);
    const int lo = HexValue(line[i + 1]);
    if (hi < 0 || lo < 0) return r;
    bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  if (bytes.size() != static_cast<std::size_t>(bytes[0]) + 5) return r;
  std::uint8_t sum = 0;
  for (const auto b : bytes) sum = static_cast<std::uint8_t>(sum + b);
  r.type = bytes[3];
  r.address = static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]);
  r.data.assign(bytes.begin() + 4, bytes.end() - 1);
  r.status = sum == 0 ? HexRecord::Status::Ok : HexRecord::Status::BadChecksum;
  return r;
}

} // namespace

const char* H8StageName(H8BootMode::Stage stage) {
  switch (stage) {
  case H8BootMode::Stage::AwaitMatch:
    return "boot mode, waiting for 0x00";
  case H8BootMode::Stage::AwaitConfirm:
    return "rate matched, waiting for 0x55";
  case H8BootMode::Stage::AwaitSize:
    return "waiting for the kernel size";
  case H8BootMode::Stage::AwaitKernel:
    return "taking the kernel";
  case H8BootMode::Stage::Kernel:
    return "kernel running";
  case H8BootMode::Stage::NoProgram:
    return "downloaded kernel is no program";
  }
  return "?";
}

H8BootMode::H8BootMode(H8BootConfig config) : config_(config) {
  config_.flashSize = std::min<std::uint32_t>(config_.flashSize, kMaxFlash);
  flash_.fill(0xFF);
}

void H8BootMode::PutFlash(std::uint32_t addr, const std::vector<std::uint8_t>& bytes) {
  for (std::size_t i = 0; i < bytes.size() && addr + i < config_.flashSize; ++i)
    flash_[addr + i] = bytes[i];
}

bool H8BootMode::ListensAt(std::uint32_t baud) const {
  switch (stage_) {
  case Stage::AwaitMatch:
    return true; // the boot ROM measures whatever rate comes
  case Stage::Kernel:
  case Stage::NoProgram:
    return baud == config_.kernelBaud;
  default:
    return baud == matchedBaud_;
  }
}

void H8BootMode::OnByte(std::uint8_t b, Micros at, std::uint32_t baud) {
  switch (stage_) {
  case Stage::Kernel:
    KernelByte(b, at, baud);
    break;
  case Stage::NoProgram:
    ++stats_.ignored;
    break;
  default:
    BootByte(b, at, baud);
    break;
  }
}

Micros H8BootMode::Answer(std::string_view answer, Micros readyAt, std::uint32_t baud) {
  if (answer.empty() || faults_.EverythingSilent()) return readyAt;
  return Send(answer, readyAt, baud);
}

bool H8BootMode::BootAnswer(const char* name, std::string_view answer, std::string_view garbled,
                            Micros at, std::uint32_t baud) {
  const Fault* fault = faults_.ForCommand(name, ++bootCommands_);
  if (!fault) {
    Answer(answer, at, baud);
    return true;
  }
  switch (fault->action) {
  case FaultAction::Silent:
    Note(at, "fault " + fault->rule + ": answer withheld");
    return true;
  case FaultAction::Garbage:
    Note(at, "fault " + fault->rule + ": answer garbled");
    Answer(garbled, at, baud);
    return true;
  case FaultAction::ReplyX:
  case FaultAction::ReplyE:
  case FaultAction::ReplyR:
    Note(at, "fault " + fault->rule + ": refused with 0xFF");
    Answer(std::string(1, static_cast<char>(kBootError)), at, baud);
    return false;
  case FaultAction::HangUp:
    Note(at, "fault " + fault->rule + ": hanging up");
    HangUpAt(at);
    return false;
  }
  return true;
}

void H8BootMode::BootByte(std::uint8_t b, Micros at, std::uint32_t baud) {
  switch (stage_) {
  case Stage::AwaitMatch:
  case Stage::AwaitConfirm:
    if (b == kMatch) {
      // Garbled, the answer comes twice: an entry of two bytes, which the host must not take.
      if (!BootAnswer("sync", std::string(1, '\x00'), std::string(2, '\x00'), at, baud)) return;
      ++stats_.matches;
      if (stage_ == Stage::AwaitMatch || matchedBaud_ != baud)
        Note(at, "bit rate matched at " + std::to_string(baud));
      matchedBaud_ = baud;
      stage_ = Stage::AwaitConfirm;
    } else if (b == kConfirm && stage_ == Stage::AwaitConfirm) {
      if (!BootAnswer("confirm", "\xAA", "\xAA\xAA", at, baud)) return;
      ++stats_.confirms;
      stage_ = Stage::AwaitSize;
      sizeBytes_ = 0;
      size_ = 0;
    } else {
      ++stats_.ignored;
    }
    break;
  case Stage::AwaitSize:
    Answer(std::string(1, static_cast<char>(b)), at, baud);
    size_ = static_cast<std::uint16_t>(size_ << 8 | b);
    if (++sizeBytes_ < 2) break;
    if (size_ != kKernelSize) {
      Note(at, "kernel size " + std::to_string(size_) + " refused: the chip takes " +
                   std::to_string(kKernelSize) + " bytes");
      Answer(std::string(1, static_cast<char>(kBootError)), at, baud);
      stage_ = Stage::AwaitMatch;
      break;
    }
    kernel_.clear();
    stage_ = Stage::AwaitKernel;
    break;
  case Stage::AwaitKernel:
    Answer(std::string(1, static_cast<char>(b)), at, baud);
    kernel_.push_back(b);
    if (kernel_.size() < kKernelSize) break;
    if (!BootAnswer("kernel", "\xAA", std::string(1, kNoise), at, baud)) {
      stage_ = Stage::AwaitMatch;
      break;
    }
    StartKernel(at);
    break;
  default:
    break;
  }
}

void H8BootMode::StartKernel(Micros at) {
  if (std::all_of(kernel_.begin(), kernel_.end(), [](std::uint8_t b) { return b == 0xFF; })) {
    Note(at, "kernel received, but it is all 0xFF: no program runs");
    stage_ = Stage::NoProgram;
    return;
  }
  ++stats_.kernelsStarted;
  std::fill(flash_.begin(), flash_.begin() + config_.flashSize, std::uint8_t{0xFF});
  Note(at, "kernel started; flash erased (" + Hex4(0) + "-" + Hex4(config_.flashSize - 1) +
               "); records at " + std::to_string(config_.kernelBaud));
  stage_ = Stage::Kernel;
  line_.clear();
  lineTooLong_ = false;
}

void H8BootMode::KernelByte(std::uint8_t b, Micros at, std::uint32_t baud) {
  if (b == '\n') return;
  if (b != '\r') {
    if (line_.size() < kMaxLine) {
      line_.push_back(static_cast<char>(b));
    } else if (!lineTooLong_) {
      lineTooLong_ = true;
      Note(at, "line longer than " + std::to_string(kMaxLine) + " bytes: the rest is dropped");
    }
    return;
  }
  std::string line;
  line.swap(line_);
  lineTooLong_ = false;
  if (line.empty()) return;
  if (line[0] != ':') {
    ++stats_.ignored;
    Note(at, "not a record, ignored");
    return;
  }
  HandleRecord(line, at, baud);
}

void H8BootMode::AfterRecordAnswered(std::uint64_t n, Micros answeredAt) {
  const Fault* fault = faults_.AfterRecord(n);
  if (!fault) return;
  if (fault->action == FaultAction::HangUp) {
    Note(answeredAt, "fault " + fault->rule + ": hanging up");
    HangUpAt(answeredAt);
  } else {
    Note(answeredAt, "fault " + fault->rule + ": silent from now on");
    silencedFromNow_ = true;
  }
}

void H8BootMode::HandleRecord(const std::string& line, Micros at, std::uint32_t baud) {
  const HexRecord rec = ParseRecord(line);
  if (rec.status == HexRecord::Status::Ok && rec.type == 1) {
    ++stats_.endRecords;
    Note(at, "end record: programming over; the chip waits in boot mode again");
    stage_ = Stage::AwaitMatch;
    return;
  }
  const std::uint64_t n = ++stats_.records;
  const Fault* fault = faults_.ForRecord(n);
  // Every answer to this record goes out as the fault script and silence allow; returns when
  // it has reached the host.
  auto reply = [&](char c, Micros readyAt) {
    if (silencedFromNow_) return readyAt;
    if (fault && fault->action == FaultAction::Silent) {
      Note(readyAt, "fault " + fault->rule + ": answer withheld");
      return readyAt;
    }
    if (fault && fault->action == FaultAction::Garbage) {
      Note(readyAt, "fault " + fault->rule + ": answer garbled");
      c = kNoise;
    }
    return Answer(std::string(1, c), readyAt, baud);
  };
  if (fault) {
    switch (fault->action) {
    case FaultAction::HangUp:
      Note(at, "fault " + fault->rule + ": hanging up");
      HangUpAt(at);
      return;
    case FaultAction::ReplyX:
    case FaultAction::ReplyE:
    case FaultAction::ReplyR: {
      Note(at, "fault " + fault->rule + ": refused");
      ++stats_.refused;
      const char letter = fault->action == FaultAction::ReplyX   ? 'X'
                          : fault->action == FaultAction::ReplyE ? 'E'
                                                                 : 'R';
      AfterRecordAnswered(n, reply(letter, at));
      return;
    }
    default:
      break; // silent and garbage: carried out, the answer spoiled
    }
  }
  auto refuse = [&](char letter, const std::string& why) {
    Note(at, "record " + std::to_string(n) + ": " + why);
    ++stats_.refused;
    AfterRecordAnswered(n, reply(letter, at));
  };
  if (rec.status == HexRecord::Status::Malformed) return refuse('X', "malformed");
  if (rec.status == HexRecord::Status::BadChecksum) return refuse('X', "bad checksum");
  if (rec.type != 0)
    return refuse('R', "record type " + std::to_string(rec.type) + " is not supported");
  const std::uint32_t end =
      static_cast<std::uint32_t>(rec.address) + static_cast<std::uint32_t>(rec.data.size());
  if (end > config_.flashSize)
    return refuse('R', "outside the flash (" + Hex4(rec.address) + "-" + Hex4(end - 1) + ")");

  std::optional<std::uint32_t> notErased;
  for (std::size_t i = 0; i < rec.data.size(); ++i) {
    const std::uint32_t a = rec.address + static_cast<std::uint32_t>(i);
    flash_[a] &= rec.data[i]; // flash programming only clears bits
    if (flash_[a] != rec.data[i] && !notErased) notErased = a;
  }
  if (!rec.data.empty()) {
    stats_.lowestWritten = std::min<std::uint32_t>(stats_.lowestWritten, rec.address);
    stats_.highestWritten = std::max<std::uint32_t>(stats_.highestWritten, end - 1);
  }
  if (notErased) return refuse('R', "verify failed at " + Hex4(*notErased));
  ++stats_.programmed;
  stats_.bytesProgrammed += rec.data.size();
  const Micros done = at + MsToUs(config_.recordMs);
  BusyUntil(done);
  AfterRecordAnswered(n, reply(config_.ack, done));
}

std::string H8BootMode::Summary() const {
  char buf[320];
  std::string out;
  std::snprintf(buf, sizeof buf,
                "h8: %s; rate matched %d time(s) (last at %u), confirmed %d time(s); kernel: %zu "
                "byte(s) received, started %d time(s)\n",
                H8StageName(stage_), stats_.matches, matchedBaud_, stats_.confirms, kernel_.size(),
                stats_.kernelsStarted);
  out += buf;
  std::snprintf(buf, sizeof buf, "h8: %llu record(s) received, %llu programmed, %llu byte(s)",
                static_cast<unsigned long long>(stats_.records),
                static_cast<unsigned long long>(stats_.programmed),
                static_cast<unsigned long long>(stats_.bytesProgrammed));
  out += buf;
  if (stats_.bytesProgrammed > 0)
    out += " in " + Hex4(stats_.lowestWritten) + "-" + Hex4(stats_.highestWritten);
  const auto& line = PacedSerialModel::Counters();
  std::snprintf(buf, sizeof buf,
                ", %llu refused, end record x%d; bytes in %llu, out %llu; lost to a rate "
                "mismatch: in %llu, out %llu%s\n",
                static_cast<unsigned long long>(stats_.refused), stats_.endRecords,
                static_cast<unsigned long long>(line.bytesIn),
                static_cast<unsigned long long>(line.bytesOut),
                static_cast<unsigned long long>(line.lostIn),
                static_cast<unsigned long long>(line.lostOut), HungUp() ? "; hung up" : "");
  out += buf;
  return out;
}

} // namespace vk::devsim
