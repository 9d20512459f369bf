#include "devsim/Qx4tCanLoader.h"

#include "devsim/FlashMemory.h"
#include "devsim/ModelText.h"

#include <algorithm>
#include <cstdio>

namespace vk::devsim {

namespace {

std::string DataText(const platform::CanFrame& f) {
  std::string out = "[";
  char buf[4];
  for (int i = 0; i < f.length && i < 8; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", f.data[static_cast<std::size_t>(i)]);
    out += buf;
  }
  return out + "]";
}

bool IsFrame(const platform::CanFrame& f, std::initializer_list<std::uint8_t> bytes) {
  return f.length == bytes.size() && std::equal(bytes.begin(), bytes.end(), f.data.begin());
}

} // namespace

std::string FormatCanTranscriptEntry(const CanTranscriptEntry& e) {
  char head[48];
  std::snprintf(head, sizeof head, "%13.3f ", static_cast<double>(e.at) / 1000.0);
  if (e.kind == CanTranscriptEntry::Kind::Note) return head + std::string("---- ") + e.note;
  char id[16];
  std::snprintf(id, sizeof id, "%03X ", e.frame.id);
  return head + std::string(e.kind == CanTranscriptEntry::Kind::FromHost ? "host> " : "node> ") +
         id + DataText(e.frame);
}

Qx4tCanLoader::Qx4tCanLoader(Qx4tCanConfig config)
    : config_(config), node_(std::clamp(config.node, 1, 126)) {
  flash_.fill(0xFF);
  config_.node = node_;
}

void Qx4tCanLoader::Preload(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
  for (std::size_t i = 0; i < bytes.size() && address + i < kFlashSize; ++i)
    flash_[address + i] = bytes[i];
}

void Qx4tCanLoader::Record(CanTranscriptEntry entry) {
  if (OnTranscript) OnTranscript(entry);
  transcript_.push_back(std::move(entry));
}

void Qx4tCanLoader::Note(Millis at, std::string text) {
  CanTranscriptEntry e;
  e.at = at;
  e.kind = CanTranscriptEntry::Kind::Note;
  e.note = std::move(text);
  Record(std::move(e));
}

Millis Qx4tCanLoader::Answer(std::uint8_t result, Millis due) {
  if (silencedFromNow_) return due;
  platform::CanFrame f;
  f.id = ReplyId();
  f.length = 1;
  f.data[0] = result;
  if (answerFault_ && answerFault_->action == FaultAction::Silent) {
    Note(due, "fault " + answerFault_->rule + ": answer withheld");
    return due;
  }
  if (answerFault_ && answerFault_->action == FaultAction::Garbage) {
    Note(due, "fault " + answerFault_->rule + ": answer garbled");
    f.length = 3; // no result code the host takes for success
    f.data[0] = 0x9C;
    f.data[1] = 0x3F;
    f.data[2] = 0xF1;
  }
  const auto at = std::upper_bound(output_.begin(), output_.end(), due,
                                   [](Millis t, const Pending& p) { return t < p.due; });
  output_.insert(at, Pending{due, f});
  return due;
}

bool Qx4tCanLoader::Refuses(const Fault& fault, Millis now, Millis* answeredAt) {
  if (answeredAt) *answeredAt = now;
  switch (fault.action) {
  case FaultAction::HangUp:
    Note(now, "fault " + fault.rule + ": leaving the bus");
    hungUp_ = true;
    output_.clear();
    return true;
  case FaultAction::ReplyX:
  case FaultAction::ReplyE:
  case FaultAction::ReplyR:
    Note(now, "fault " + fault.rule + ": refused");
    ++loader_.refused;
    Answer(kRefusedByFault, now);
    return true;
  case FaultAction::Silent:
  case FaultAction::Garbage:
    answerFault_ = &fault;
    return false;
  }
  return false;
}

void Qx4tCanLoader::AfterBlockAnswered(std::uint64_t n, Millis answeredAt) {
  const Fault* fault = faults_.AfterRecord(n);
  if (!fault) return;
  if (fault->action == FaultAction::HangUp) {
    // Answers already due go out first; the node leaves once they have.
    Note(answeredAt, "fault " + fault->rule + ": leaving the bus after this answer");
    hangUpAt_ = answeredAt;
  } else {
    Note(answeredAt, "fault " + fault->rule + ": silent from now on");
    silencedFromNow_ = true;
  }
}

void Qx4tCanLoader::Receive(const platform::CanFrame& frame, Millis now) {
  if (hungUp_) return;
  const std::optional<Millis> quietSince = lastTraffic_;
  lastTraffic_ = now;
  if (frame.extended || frame.remote) {
    ++loader_.otherFrames;
    return;
  }
  if (frame.id == 0) {
    CanTranscriptEntry e{now, CanTranscriptEntry::Kind::FromHost, frame, {}};
    Record(e);
    if (IsFrame(frame, {0x01})) ++loader_.linkStarts;
    if (IsFrame(frame, {0x02})) ++loader_.linkStops;
    return;
  }
  if (frame.id != CommandId()) {
    ++loader_.otherFrames;
    return;
  }
  Record({now, CanTranscriptEntry::Kind::FromHost, frame, {}});
  if (faults_.EverythingSilent()) { // the node is not there
    if (!absentNoted_) {
      absentNoted_ = true;
      Note(now, "fault silent: nothing answers");
    }
    return;
  }
  answerFault_ = nullptr;
  if (inBlock_) {
    if (frame.length == kFrameBytes) {
      BlockData(frame, now);
      answerFault_ = nullptr;
      return;
    }
    BreakBlock(now, "a frame of " + std::to_string(frame.length) + " byte(s) inside the block");
    answerFault_ = nullptr;
  }
  const bool blockAddress = frame.length == 3 && frame.data[0] == 0x02;
  if (blockAddress && quietSince && now - *quietSince < config_.quietBeforeBlockMs) {
    hostFaults_.push_back("block address at " + std::to_string(now) + " ms only " +
                          std::to_string(now - *quietSince) + " ms after the last frame (needs " +
                          std::to_string(config_.quietBeforeBlockMs) + ")");
    Note(now, "host too soon: " + hostFaults_.back());
  }
  Command(frame, now);
  answerFault_ = nullptr;
}

void Qx4tCanLoader::Command(const platform::CanFrame& frame, Millis now) {
  const char* name = "UNKNOWN";
  if (IsFrame(frame, {0x7E, 0x7E}))
    name = "START";
  else if (IsFrame(frame, {0x01, 'E', 'R', 'A', 'S', 'E'}))
    name = "ERASE";
  else if (frame.length == 3 && frame.data[0] == 0x02)
    name = "BLOCK";
  else if (frame.length == kFrameBytes)
    name = "DATA";
  ++loader_.commands;
  if (const Fault* fault = faults_.ForCommand(name, loader_.commands)) {
    if (Refuses(*fault, now, nullptr)) return;
  }
  const std::string what = name;
  if (what == "START") {
    ++loader_.starts;
    started_ = true;
    Note(now, "start: ready for Erase and blocks");
    return;
  }
  if (what == "DATA" || what == "UNKNOWN") {
    ++loader_.refused;
    Note(now,
         what == "DATA" ? "data without a block address: refused" : "unknown command: refused");
    Answer(what == "DATA" ? kBrokenBlock : kUnknown, now);
    return;
  }
  if (!started_) {
    ++loader_.refused;
    Note(now, what + " before any start frame: refused");
    Answer(kNotStarted, now);
    return;
  }
  if (what == "ERASE") {
    ++loader_.erases;
    std::fill(flash_.begin() + config_.appStart, flash_.end(), 0xFF);
    lowestWritten_ = kFlashSize;
    highestWritten_ = 0;
    Note(now, "erase " + Hex4(config_.appStart) + "-0xFFFF");
    Answer(kErased, now + config_.eraseMs);
    return;
  }
  inBlock_ = true;
  blockAddr_ = static_cast<std::uint32_t>(frame.data[1] << 8 | frame.data[2]);
  block_.clear();
}

void Qx4tCanLoader::BlockData(const platform::CanFrame& frame, Millis now) {
  block_.insert(block_.end(), frame.data.begin(), frame.data.begin() + kFrameBytes);
  if (block_.size() == kBlockBytes) ProgramBlock(now);
}

void Qx4tCanLoader::BreakBlock(Millis now, const std::string& why) {
  inBlock_ = false;
  const std::uint64_t n = ++loader_.blocks;
  ++loader_.refused;
  Note(now, "block " + std::to_string(n) + " at " + Hex4(blockAddr_) + " broken off: " + why);
  AfterBlockAnswered(n, Answer(kBrokenBlock, now));
}

void Qx4tCanLoader::ProgramBlock(Millis now) {
  inBlock_ = false;
  const std::uint64_t n = ++loader_.blocks;
  if (const Fault* fault = faults_.ForRecord(n)) {
    Millis answeredAt = now;
    if (Refuses(*fault, now, &answeredAt)) {
      if (fault->action != FaultAction::HangUp) AfterBlockAnswered(n, answeredAt);
      return;
    }
  }
  auto refuse = [&](std::uint8_t code, const std::string& why) {
    ++loader_.refused;
    Note(now, "block " + std::to_string(n) + " at " + Hex4(blockAddr_) + ": " + why);
    AfterBlockAnswered(n, Answer(code, now));
  };
  if (blockAddr_ < config_.appStart || blockAddr_ + kBlockBytes > kFlashSize)
    return refuse(kOutside, "outside " + Hex4(config_.appStart) + "-0xFFFF");

  const auto notErased = ProgramFlash(flash_.data(), blockAddr_, block_.data(), kBlockBytes,
                                      lowestWritten_, highestWritten_);
  if (notErased)
    return refuse(kNotErased, "verify failed: flash not erased at " + Hex4(*notErased));

  ++loader_.programmed;
  loader_.bytesProgrammed += kBlockBytes;
  AfterBlockAnswered(n, Answer(kBlockWritten, now + config_.blockMs));
}

std::vector<platform::CanFrame> Qx4tCanLoader::TakeOutput(Millis now) {
  std::vector<platform::CanFrame> out;
  while (!output_.empty() && output_.front().due <= now && !hungUp_) {
    if (hangUpAt_ && output_.front().due > *hangUpAt_) break;
    Record({output_.front().due, CanTranscriptEntry::Kind::ToHost, output_.front().frame, {}});
    lastTraffic_ = std::max(lastTraffic_.value_or(0), output_.front().due);
    out.push_back(output_.front().frame);
    output_.pop_front();
  }
  if (hangUpAt_ && *hangUpAt_ <= now && !hungUp_) {
    hungUp_ = true;
    output_.clear();
    Note(*hangUpAt_, "left the bus");
  }
  return out;
}

std::optional<Millis> Qx4tCanLoader::NextDue() const {
  if (hungUp_) return std::nullopt;
  std::optional<Millis> t;
  if (!output_.empty()) t = output_.front().due;
  if (hangUpAt_ && (!t || *hangUpAt_ < *t)) t = hangUpAt_;
  return t;
}

std::string Qx4tCanLoader::Summary() const {
  char buf[400];
  std::string out;
  std::snprintf(buf, sizeof buf,
                "QX4T CAN loader, node %d (commands %03X, answers %03X): started x%llu, erased "
                "x%llu, %llu block(s) programmed",
                node_, CommandId(), ReplyId(), static_cast<unsigned long long>(loader_.starts),
                static_cast<unsigned long long>(loader_.erases),
                static_cast<unsigned long long>(loader_.programmed));
  out += buf + BytesIn(loader_.bytesProgrammed, lowestWritten_, highestWritten_);
  std::snprintf(buf, sizeof buf,
                ", %llu refused; link start x%llu, stop x%llu; %llu frame(s) for other "
                "identifiers%s\n",
                static_cast<unsigned long long>(loader_.refused),
                static_cast<unsigned long long>(loader_.linkStarts),
                static_cast<unsigned long long>(loader_.linkStops),
                static_cast<unsigned long long>(loader_.otherFrames),
                hungUp_ ? "; left the bus" : "");
  out += buf;
  for (const auto& fault : hostFaults_) out += "host too soon: " + fault + "\n";
  return out;
}

bool ServeOnBus(Qx4tCanLoader& loader, platform::ICanBus& bus, Millis now) {
  unsigned busErrors = platform::kCanBusOk;
  while (auto frame = bus.Receive(busErrors)) loader.Receive(*frame, now);
  bool sent = true;
  for (const auto& frame : loader.TakeOutput(now)) sent = bus.Send(frame) && sent;
  return sent;
}

} // namespace vk::devsim
