#include "devsim/H8BootMode.h"

#include "devsim/FlashMemory.h"

#include <algorithm>
#include <cstdio>

namespace vk::devsim {

namespace {

constexpr std::uint8_t kMatch = 0x00;
constexpr std::uint8_t kConfirm = 0x55;
// Line noise: no acknowledgement, no "X", no "R", no 0xAA.
constexpr char kNoise = '\x9C';

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
  HoldOneReceivedByte(); // the SCI3's receive data register
}

void H8BootMode::OnOverrun(Micros at) {
  Note(at, "overrun: a byte was complete before the one before it was read; it is lost, and "
           "the SCI takes nothing more until the chip is reset");
}

void H8BootMode::Echo(std::uint8_t b, Micros at, std::uint32_t baud) {
  // The ROM reads the byte, then waits until the transmitter can take its echo before it reads
  // the next one.
  BusyUntil(std::max(at, TransmitterTakesNextAt(baud)));
  Emit(std::string(1, static_cast<char>(b)), at, baud);
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

Micros H8BootMode::Emit(std::string_view bytes, Micros readyAt, std::uint32_t baud) {
  if (bytes.empty() || faults_.EverythingSilent()) return readyAt;
  return Send(bytes, readyAt, baud);
}

bool H8BootMode::BootAnswer(const char* name, std::string_view answer, std::string_view garbled,
                            Micros at, std::uint32_t baud) {
  const Fault* fault = faults_.ForCommand(name, ++bootCommands_);
  if (!fault) {
    Emit(answer, at, baud);
    return true;
  }
  switch (fault->action) {
  case FaultAction::Silent:
    Note(at, "fault " + fault->rule + ": answer withheld");
    return true;
  case FaultAction::Garbage:
    Note(at, "fault " + fault->rule + ": answer garbled");
    Emit(garbled, at, baud);
    return true;
  case FaultAction::ReplyX:
  case FaultAction::ReplyE:
  case FaultAction::ReplyR:
    Note(at, "fault " + fault->rule + ": refused with 0xFF");
    Emit(std::string(1, static_cast<char>(kBootError)), at, baud);
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
    if (b == kMatch && stage_ == Stage::AwaitMatch) {
      zerosMeasured_ = measuredBaud_ == baud ? zerosMeasured_ + 1 : 1;
      measuredBaud_ = baud;
    } else if (stage_ == Stage::AwaitMatch) {
      zerosMeasured_ = 0;
    }
    if (b == kMatch && stage_ == Stage::AwaitMatch && zerosMeasured_ < config_.matchZeros) {
      ++stats_.ignored; // still measuring the bit rate
    } else if (b == kMatch) {
      zerosMeasured_ = 0;
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
    Echo(b, at, baud);
    size_ = static_cast<std::uint16_t>(size_ << 8 | b);
    if (++sizeBytes_ < 2) break;
    if (size_ != kKernelSize) {
      Note(at, "kernel size " + std::to_string(size_) + " refused: the chip takes " +
                   std::to_string(kKernelSize) + " bytes");
      Emit(std::string(1, static_cast<char>(kBootError)), at, baud);
      stage_ = Stage::AwaitMatch;
      break;
    }
    kernel_.clear();
    stage_ = Stage::AwaitKernel;
    break;
  case Stage::AwaitKernel:
    Echo(b, at, baud);
    kernel_.push_back(b);
    if (kernel_.size() < kKernelSize) break;
    if (!BootAnswer("kernel", "\xAA", std::string(1, kNoise), EraseForKernel(at), baud)) {
      stage_ = Stage::AwaitMatch;
      break;
    }
    StartKernel(at);
    break;
  default:
    break;
  }
}

Micros H8BootMode::EraseForKernel(Micros at) {
  // The H8/3664's blocks: four of 1 KiB, then the rest of the flash in one.
  int withData = 0;
  for (std::uint32_t from = 0; from < config_.flashSize;) {
    const std::uint32_t to =
        from < 0x1000 ? std::min(from + 0x400, config_.flashSize) : config_.flashSize;
    if (std::any_of(flash_.begin() + from, flash_.begin() + to,
                    [](std::uint8_t v) { return v != 0xFF; }))
      ++withData;
    from = to;
  }
  std::fill(flash_.begin(), flash_.begin() + config_.flashSize, std::uint8_t{0xFF});
  const Micros done = at + MsToUs(config_.eraseBlockMs) * withData;
  Note(at, "kernel received; flash checked, " + std::to_string(withData) + " block(s) erased (" +
               Hex4(0) + "-" + Hex4(config_.flashSize - 1) + " blank)");
  BusyUntil(done);
  return done;
}

void H8BootMode::StartKernel(Micros at) {
  if (std::all_of(kernel_.begin(), kernel_.end(), [](std::uint8_t b) { return b == 0xFF; })) {
    Note(at, "kernel received, but it is all 0xFF: no program runs");
    stage_ = Stage::NoProgram;
    return;
  }
  ++stats_.kernelsStarted;
  Note(at, "kernel started; records at " + std::to_string(config_.kernelBaud));
  stage_ = Stage::Kernel;
  line_.Clear();
}

void H8BootMode::KernelByte(std::uint8_t b, Micros at, std::uint32_t baud) {
  bool cut = false;
  const std::optional<std::string> line = line_.Add(b, &cut);
  if (cut) Note(at, "line longer than " + std::to_string(kMaxLine) + " bytes: the rest is dropped");
  if (!line || line->empty()) return;
  if (line->front() != ':') {
    ++stats_.ignored;
    Note(at, "not a record, ignored");
    return;
  }
  HandleRecord(*line, at, baud);
}

void H8BootMode::HandleRecord(const std::string& line, Micros at, std::uint32_t baud) {
  const HexRecord rec = ParseHexRecord(line);
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
    return Emit(std::string(1, c), readyAt, baud);
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
      AfterRecordAnswered(n, reply(RefusalLetter(*fault), at));
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

  const auto notErased = ProgramFlash(flash_.data(), rec.address, rec.data.data(), rec.data.size(),
                                      stats_.lowestWritten, stats_.highestWritten);
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
  std::snprintf(buf, sizeof buf, ", %llu refused, end record x%d; ",
                static_cast<unsigned long long>(stats_.refused), stats_.endRecords);
  out += buf + LineSummary("a rate mismatch") + "\n";
  return out;
}

} // namespace vk::devsim
