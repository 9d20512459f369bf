#include "devsim/CortexBootLoader.h"

#include "devsim/ModelText.h"

#include <algorithm>
#include <cstdio>

namespace vk::devsim {

namespace {

constexpr char kNoise = '\x9C'; // no "y" in it

} // namespace

CortexBootLoader::CortexBootLoader(CortexConfig config)
    : config_(config), memory_(config.memorySize, 0xFF) {}

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

std::optional<std::uint32_t> CortexBootLoader::Offset(std::uint32_t addr) const {
  if (addr < memory_.size()) return addr;
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
  switch (stage_) {
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
    if (command_ != kReadMemory)
      return Refuse("command " + Hex4(command_) + " not served", at, baud);
    if (!Acknowledge("read", at, baud)) return Idle();
    ++stats_.readCommands;
    frame_.clear();
    stage_ = Stage::AwaitAddress;
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
    if (static_cast<std::uint8_t>(~x) != frame_[4])
      return Refuse("address check byte wrong", at, baud);
    const auto offset = Offset(addr);
    if (!offset) return Refuse("address " + Hex4(addr) + " outside the memory", at, baud);
    if (!Acknowledge("address", at, baud)) return Idle();
    readOffset_ = *offset;
    frame_.clear();
    stage_ = Stage::AwaitLength;
    break;
  }
  case Stage::AwaitLength: {
    frame_.push_back(b);
    if (frame_.size() < 2) break;
    const std::uint32_t count = frame_[0] + 1u;
    if ((frame_[0] ^ frame_[1]) != 0xFF)
      return Refuse("length and complement do not match", at, baud);
    if (readOffset_ + count > memory_.size())
      return Refuse("read past the end of the memory", at, baud);
    const auto acked = Acknowledge("length", at, baud);
    if (acked) SendBlock(readOffset_, count, *acked, baud);
    Idle();
    break;
  }
  }
}

void CortexBootLoader::SendBlock(std::uint32_t offset, std::uint32_t count, Micros ackDone,
                                 std::uint32_t baud) {
  const Micros at = ackDone + MsToUs(config_.dataDelayMs);
  std::string data(memory_.begin() + offset, memory_.begin() + offset + count);
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
  out += "; " + LineSummary("a rate or parity mismatch") + "\n";
  return out;
}

} // namespace vk::devsim
