#include "devsim/CortexBootLoader.h"

#include "devsim/ModelText.h"

#include <algorithm>
#include <cstdio>

namespace vk::devsim {

namespace {

constexpr char kNoise = '\x9C'; // no "y" in it

std::string Hex8(std::uint32_t v) {
  char text[12];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(v));
  return text;
}

} // namespace

std::uint32_t CortexPageSize(std::uint16_t productId) {
  switch (productId) {
  case 0x414: // STM32F10x high-density (RM0008)
  case 0x418: // connectivity line
  case 0x428: // value line high-density
  case 0x430: // XL-density
    return 2048;
  case 0x416: // STM32L1 medium-density (RM0038)
    return 256;
  default: // 0x410, 0x412, 0x420: low- and medium-density
    return 1024;
  }
}

CortexBootLoader::CortexBootLoader(CortexConfig config)
    : config_(config), memory_(config.memorySize, 0xFF), readProtected_(config.readProtected) {
  if (config_.stuckBit && *config_.stuckBit < kFlashBase) *config_.stuckBit += kFlashBase;
  const std::uint32_t kib = config_.memorySize / 1024;
  info_ = {static_cast<std::uint8_t>(kib), static_cast<std::uint8_t>(kib >> 8), 0xFF, 0xFF};
}

void CortexBootLoader::Program(std::uint32_t offset, const std::uint8_t* data, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t a = offset + static_cast<std::uint32_t>(i);
    std::uint8_t b = memory_[a] & data[i];
    if (config_.stuckBit && Offset(*config_.stuckBit) == a) b |= 0x01;
    memory_[a] = b;
  }
}

void CortexBootLoader::ErasePage(std::uint32_t page) {
  const std::uint32_t size = CortexPageSize(config_.productId);
  const std::uint32_t from = page * size;
  std::fill(memory_.begin() + from,
            memory_.begin() + std::min<std::size_t>(from + size, memory_.size()), 0xFF);
  ++stats_.pagesErased;
}

void CortexBootLoader::EraseAll() {
  std::fill(memory_.begin(), memory_.end(), 0xFF);
  ++stats_.massErases;
}

void CortexBootLoader::Restart(Micros at) {
  Note(at, "the chip restarts: waiting for 0x7F");
  synced_ = false;
  rateMeasured_ = false;
  stage_ = Stage::AwaitSync;
}

void CortexBootLoader::PutMemory(std::uint32_t addr, const std::vector<std::uint8_t>& bytes) {
  for (std::size_t i = 0; i < bytes.size() && addr + i < memory_.size(); ++i)
    memory_[addr + i] = bytes[i];
}

void CortexBootLoader::SetNotBlankFrom(std::uint32_t addr) {
  const std::uint32_t from = addr & ~0xFFu;
  if (from >= memory_.size()) return;
  notBlankFrom_ = from;
  for (std::uint32_t a = from; a < memory_.size(); ++a)
    memory_[a] = static_cast<std::uint8_t>((a * 7 + 1) % 0xFF);
}

bool CortexBootLoader::ListensAt(std::uint32_t baud) const {
  // Without the parity bit the loader sees framing errors, not bytes.
  return baud == config_.baud &&
         (!config_.requireEvenParity || CurrentHostLine().parity == Parity::Even);
}

std::uint32_t CortexFlashSizeRegister(std::uint16_t productId) {
  // RM0038: the STM32L1 medium-density keeps it in its own place; RM0008 (STM32F10x) elsewhere.
  return productId == 0x416 ? 0x1FF8004C : 0x1FFFF7E0;
}

std::optional<std::uint32_t> CortexBootLoader::Offset(std::uint32_t addr) const {
  if (addr >= kFlashBase && addr - kFlashBase < memory_.size()) return addr - kFlashBase;
  return std::nullopt;
}

std::optional<Micros> CortexBootLoader::Acknowledge(const char* name, Micros at,
                                                    std::uint32_t baud) {
  if (faults_.EverythingSilent()) return std::nullopt;
  const Fault* fault = faults_.ForCommand(name, ++steps_);
  if (!fault) return Send(std::string(1, static_cast<char>(kAck)), at, baud);
  switch (fault->action) {
  case FaultAction::Silent:
    Note(at, "fault " + fault->rule + ": no answer; waiting for the next command");
    break;
  case FaultAction::Garbage:
    Note(at, "fault " + fault->rule + ": answer garbled; waiting for the next command");
    Send(std::string(1, kNoise), at, baud);
    break;
  case FaultAction::ReplyX:
  case FaultAction::ReplyE:
  case FaultAction::ReplyR:
    Note(at, "fault " + fault->rule + ": refused");
    ++stats_.nacks;
    Send(std::string(1, static_cast<char>(kNack)), at, baud);
    break;
  case FaultAction::HangUp:
    Note(at, "fault " + fault->rule + ": hanging up");
    HangUpAt(at);
    break;
  }
  return std::nullopt;
}

void CortexBootLoader::Refuse(const std::string& why, Micros at, std::uint32_t baud) {
  Note(at, why + ": refused");
  ++stats_.nacks;
  if (!faults_.EverythingSilent()) Send(std::string(1, static_cast<char>(kNack)), at, baud);
  Idle();
}

void CortexBootLoader::OnByte(std::uint8_t b, Micros at, std::uint32_t baud) {
  if (!rateMeasured_ && stage_ == Stage::AwaitSync) {
    rateMeasured_ = true;
    if (b != kSync) {
      char text[128];
      std::snprintf(text, sizeof text,
                    "first byte 0x%02X is not 0x7F: the rate measured on it is wrong; the chip "
                    "hears nothing until a reset",
                    b);
      Note(at, text);
      stats_.wrongFirst = b;
      stage_ = Stage::WrongRate;
    }
  }
  switch (stage_) {
  case Stage::Started:
  case Stage::WrongRate:
    ++stats_.ignored;
    break;
  case Stage::AwaitSync:
  case Stage::AwaitCommand:
    if (b == kSync) {
      if (Acknowledge("sync", at, baud)) {
        if (!synced_) Note(at, "synchronised");
        synced_ = true;
        ++stats_.syncs;
      }
      Idle();
    } else if (stage_ == Stage::AwaitSync) {
      ++stats_.ignored;
    } else {
      command_ = b;
      stage_ = Stage::AwaitComplement;
    }
    break;
  case Stage::AwaitComplement:
    if ((command_ ^ b) != 0xFF) return Refuse("command byte and complement do not match", at, baud);
    TakeCommand(at, baud);
    break;
  case Stage::AwaitAddress: {
    frame_.push_back(b);
    if (frame_.size() < 5) break;
    std::uint32_t addr = 0;
    std::uint8_t x = 0;
    for (int i = 0; i < 4; ++i) {
      addr = addr << 8 | frame_[static_cast<std::size_t>(i)];
      x ^= frame_[static_cast<std::size_t>(i)];
    }
    if (frame_[4] != x) return Refuse("address check byte wrong", at, baud);
    TakeAddress(addr, at, baud);
    break;
  }
  case Stage::AwaitLength: {
    frame_.push_back(b);
    if (frame_.size() < 2) break;
    const std::uint32_t count = frame_[0] + 1u;
    if ((frame_[0] ^ frame_[1]) != 0xFF)
      return Refuse("length and complement do not match", at, baud);
    if (readOffset_ + count > Source().size())
      return Refuse("read past the end of the memory", at, baud);
    const auto acked = Acknowledge("length", at, baud);
    if (acked) SendBlock(readOffset_, count, *acked, baud);
    Idle();
    break;
  }
  case Stage::AwaitPayload:
    frame_.push_back(b);
    if (PayloadMissing() == 0) TakePayload(at, baud);
    break;
  }
}

void CortexBootLoader::TakeCommand(Micros at, std::uint32_t baud) {
  const auto answer = [&](const char* name, std::string bytes) {
    if (const auto acked = Acknowledge(name, at, baud))
      Send(bytes + static_cast<char>(kAck), *acked, baud);
    Idle();
  };
  const bool protectedOut =
      readProtected_ && (command_ == kReadMemory || command_ == kGo || command_ == kWriteMemory ||
                         command_ == kErase || command_ == kExtendedErase);
  if (protectedOut) return Refuse("read protection is active: " + Hex4(command_), at, baud);
  const std::uint8_t otherErase = config_.eraseCommand == kErase ? kExtendedErase : kErase;
  const std::uint8_t version = config_.eraseCommand == kExtendedErase ? 0x31 : 0x22;
  frame_.clear();
  switch (command_) {
  case kGet: {
    const std::string served{static_cast<char>(kGet),
                             static_cast<char>(kGetVersion),
                             static_cast<char>(kGetId),
                             static_cast<char>(kReadMemory),
                             static_cast<char>(kGo),
                             static_cast<char>(kWriteMemory),
                             static_cast<char>(config_.eraseCommand),
                             static_cast<char>(kReadoutProtect),
                             static_cast<char>(kReadoutUnprotect)};
    return answer("get", std::string(1, static_cast<char>(served.size())) +
                             static_cast<char>(version) + served);
  }
  case kGetVersion:
    return answer("getversion", std::string{static_cast<char>(version), 0, 0});
  case kGetId:
    return answer("getid", std::string{1, static_cast<char>(config_.productId >> 8),
                                       static_cast<char>(config_.productId & 0xFF)});
  case kReadMemory:
    if (!Acknowledge("read", at, baud)) return Idle();
    ++stats_.readCommands;
    stage_ = Stage::AwaitAddress;
    return;
  case kGo:
  case kWriteMemory:
    if (!Acknowledge(command_ == kGo ? "go" : "write", at, baud)) return Idle();
    stage_ = Stage::AwaitAddress;
    return;
  case kErase:
  case kExtendedErase:
    if (command_ == otherErase)
      return Refuse("erase command " + Hex4(command_) + " not offered", at, baud);
    if (!Acknowledge("erase", at, baud)) return Idle();
    stage_ = Stage::AwaitPayload;
    return;
  case kReadoutProtect:
  case kReadoutUnprotect: {
    const bool protect = command_ == kReadoutProtect;
    const auto acked = Acknowledge(protect ? "protect" : "unprotect", at, baud);
    if (!acked) return Idle();
    // Removing the protection erases the whole flash first.
    Micros done = *acked;
    if (!protect) {
      EraseAll();
      done += kPageEraseUs;
    }
    readProtected_ = protect;
    Note(at, protect ? "read protection set" : "read protection removed; flash erased");
    Send(std::string(1, static_cast<char>(kAck)), done, baud);
    Restart(done);
    return;
  }
  default:
    return Refuse("command " + Hex4(command_) + " not served", at, baud);
  }
}

void CortexBootLoader::TakeAddress(std::uint32_t addr, Micros at, std::uint32_t baud) {
  const auto offset = Offset(addr);
  switch (command_) {
  case kReadMemory: {
    // The flash size register (in KiB, 16 bits) is the one word of system memory modelled.
    const std::uint32_t sizeAt = CortexFlashSizeRegister(config_.productId);
    readingInfo_ = addr >= sizeAt && addr < sizeAt + info_.size();
    if (!offset && !readingInfo_)
      return Refuse("read at " + Hex8(addr) + " outside the flash", at, baud);
    if (!Acknowledge("address", at, baud)) return Idle();
    readOffset_ = readingInfo_ ? addr - sizeAt : *offset;
    frame_.clear();
    stage_ = Stage::AwaitLength;
    return;
  }
  case kGo:
    if (!offset) return Refuse("Go to " + Hex4(addr) + " outside the flash", at, baud);
    if (!Acknowledge("address", at, baud)) return Idle();
    Note(at, "Go " + Hex4(addr) + ": the program runs");
    stats_.startedAt = addr;
    stage_ = Stage::Started;
    return;
  default: // write
    if (!offset || addr % 4 != 0)
      return Refuse("write to " + Hex4(addr) + ": not a word in the flash", at, baud);
    if (!Acknowledge("address", at, baud)) return Idle();
    writeOffset_ = *offset;
    frame_.clear();
    stage_ = Stage::AwaitPayload;
    return;
  }
}

std::size_t CortexBootLoader::PayloadMissing() const {
  const std::size_t have = frame_.size();
  std::size_t need = 0;
  if (command_ == kWriteMemory) {
    need = have < 1 ? 1 : frame_[0] + 3u; // N, N + 1 bytes, XOR
  } else if (command_ == kErase) {
    need = have < 1 ? 1 : frame_[0] == 0xFF ? 2 : frame_[0] + 3u;
  } else {
    if (have < 2) return 2 - have;
    const unsigned n = frame_[0] << 8 | frame_[1];
    need = n >= 0xFFF0 ? 3 : 2 + 2 * (n + 1) + 1;
  }
  return need > have ? need - have : 0;
}

void CortexBootLoader::TakePayload(Micros at, std::uint32_t baud) {
  std::uint8_t x = 0;
  for (const auto b : frame_) x ^= b;
  // Every payload ends with the XOR of the bytes before it, so all of them XOR to 0; but Erase's
  // "all" is 0xFF and its complement.
  const bool eraseAll = command_ == kErase && frame_[0] == 0xFF;
  if (eraseAll ? frame_[1] != 0x00 : x != 0) return Refuse("payload checksum wrong", at, baud);
  if (command_ == kWriteMemory) {
    const std::size_t count = frame_[0] + 1u;
    if (count % 4 != 0 || writeOffset_ + count > memory_.size())
      return Refuse("write of " + std::to_string(count) + " bytes refused", at, baud);
    Program(writeOffset_, frame_.data() + 1, count);
    ++stats_.writes;
    const Micros done = at + static_cast<Micros>(count / 2) * kHalfWordUs;
    Acknowledge("written", done, baud);
    Idle();
    return;
  }
  const bool extended = command_ == kExtendedErase;
  const unsigned n = extended ? (frame_[0] << 8 | frame_[1]) : frame_[0];
  Micros done = at;
  if ((extended && n >= 0xFFFD) || (!extended && n == 0xFF)) {
    EraseAll();
    done += kPageEraseUs;
  } else if (extended && n >= 0xFFF0) {
    return Refuse("erase code " + Hex4(n) + " not served", at, baud);
  } else {
    const std::size_t width = extended ? 2 : 1;
    const std::uint32_t pages = config_.memorySize / CortexPageSize(config_.productId);
    for (unsigned i = 0; i <= n; ++i) {
      const std::size_t at2 = width + i * width;
      const unsigned page = extended ? (frame_[at2] << 8 | frame_[at2 + 1]) : frame_[at2];
      if (page >= pages)
        return Refuse("page " + std::to_string(page) + " outside the flash", at, baud);
    }
    for (unsigned i = 0; i <= n; ++i) {
      const std::size_t at2 = width + i * width;
      ErasePage(extended ? (frame_[at2] << 8 | frame_[at2 + 1]) : frame_[at2]);
      done += kPageEraseUs;
    }
  }
  Acknowledge("erased", done, baud);
  Idle();
}

void CortexBootLoader::SendBlock(std::uint32_t offset, std::uint32_t count, Micros ackDone,
                                 std::uint32_t baud) {
  const Micros at = ackDone + MsToUs(config_.dataDelayMs);
  const auto& source = Source();
  std::string data(source.begin() + offset, source.begin() + offset + count);
  std::uint8_t check = 0;
  for (const char c : data) check ^= static_cast<std::uint8_t>(c);
  if (const Fault* fault = faults_.ForCommand("data", ++steps_)) {
    switch (fault->action) {
    case FaultAction::Silent:
      Note(at, "fault " + fault->rule + ": data withheld");
      return;
    case FaultAction::Garbage:
      // Without a check byte the loader has nothing to spoil but the data.
      Note(at,
           "fault " + fault->rule + (config_.checkByte ? ": wrong check byte" : ": data spoilt"));
      if (config_.checkByte)
        check ^= 0x5A;
      else
        data[0] = static_cast<char>(data[0] ^ 0x5A);
      break;
    case FaultAction::ReplyX:
    case FaultAction::ReplyE:
    case FaultAction::ReplyR:
      Note(at, "fault " + fault->rule + ": refused instead of the data");
      ++stats_.nacks;
      Send(std::string(1, static_cast<char>(kNack)), at, baud);
      return;
    case FaultAction::HangUp:
      Note(at, "fault " + fault->rule + ": hanging up");
      HangUpAt(at);
      return;
    }
  }
  stats_.blocksRead.push_back(offset);
  Send(config_.checkByte ? data + static_cast<char>(check) : data, at, baud);
}

std::string CortexBootLoader::Summary() const {
  char buf[256];
  std::string out;
  std::snprintf(buf, sizeof buf,
                "cortex: synchronised %d time(s); %d read command(s); %zu block(s) sent",
                stats_.syncs, stats_.readCommands, stats_.blocksRead.size());
  out += buf;
  if (!stats_.blocksRead.empty())
    out += " (" + Hex4(stats_.blocksRead.front()) + " .. " + Hex4(stats_.blocksRead.back()) + ")";
  out += "; " + std::to_string(stats_.nacks) + " refusal(s); memory " +
         (notBlankFrom_ ? "not blank from " + Hex4(*notBlankFrom_) : std::string("blank"));
  std::snprintf(buf, sizeof buf, "; %d block(s) written, %d page(s) erased, %d mass erase(s)",
                stats_.writes, stats_.pagesErased, stats_.massErases);
  out += buf;
  if (stats_.startedAt) out += "; started at " + Hex4(*stats_.startedAt);
  if (readProtected_) out += "; read protection active";
  if (stats_.wrongFirst) {
    std::snprintf(buf, sizeof buf, "; rate measured on 0x%02X, not 0x7F: deaf", *stats_.wrongFirst);
    out += buf;
  }
  out += "; " + LineSummary("a rate or parity mismatch") + "\n";
  return out;
}

} // namespace vk::devsim
