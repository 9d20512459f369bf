#pragma once
// The link traces of a vkprog session: the watch that keeps the last request (and with -vv
// writes every exchange to stderr), and the pair that lets both the trace file and the watch
// hear the link.

#include "cli/TraceFile.h"
#include "link/LinkTrace.h"
#include "link/pcan_usb.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>

namespace vk::cli {

// What the link writes, watched: the last request is kept for the failure report (-v), and
// with -vv every entry also goes to stderr as it happens.
class WireWatch : public link::ILinkTrace {
public:
  explicit WireWatch(bool toStderr) : toStderr_(toStderr) {}
  void Sent(const std::string& bytes, std::uint32_t baud) override {
    std::lock_guard lock(mutex_);
    last_ = TraceFile::Render(bytes);
    Say("tx  @" + std::to_string(baud) + " " + last_);
  }
  void Received(const std::string& bytes, std::uint32_t baud) override {
    if (!toStderr_) return;
    std::lock_guard lock(mutex_);
    // Gathered up to a line end, so that a reply read byte by byte is one line here too.
    pending_ += bytes;
    if (pending_.back() == '\n' || pending_.size() >= 64) {
      Say("rx  @" + std::to_string(baud) + " " + TraceFile::Render(pending_));
      pending_.clear();
    }
  }
  void CanFrame(bool sent, const link::CanMsg& msg, std::uint32_t) override {
    if (!sent && !toStderr_) return;
    char head[48];
    std::snprintf(head, sizeof head, "can %s id 0x%03X:", sent ? "tx" : "rx",
                  static_cast<unsigned>(msg.ID));
    std::string text = head;
    for (int i = 0; i < std::min<int>(msg.LEN, 8); ++i) {
      std::snprintf(head, sizeof head, " %02X", static_cast<unsigned>(msg.DATA[i]));
      text += head;
    }
    std::lock_guard lock(mutex_);
    if (sent) last_ = text;
    Say(text);
  }
  void Note(const std::string& text) override {
    std::lock_guard lock(mutex_);
    Say("---- " + text);
  }
  std::string Last() const {
    std::lock_guard lock(mutex_);
    return last_;
  }

private:
  void Say(const std::string& text) {
    if (toStderr_) std::fprintf(stderr, "wire: %s\n", text.c_str());
  }
  bool toStderr_;
  mutable std::mutex mutex_;
  std::string last_;
  std::string pending_;
};

// Both the trace file and the watch hear the link.
class TwoTraces : public link::ILinkTrace {
public:
  TwoTraces(link::ILinkTrace& a, link::ILinkTrace& b) : a_(a), b_(b) {}
  void Sent(const std::string& bytes, std::uint32_t baud) override {
    a_.Sent(bytes, baud);
    b_.Sent(bytes, baud);
  }
  void Received(const std::string& bytes, std::uint32_t baud) override {
    a_.Received(bytes, baud);
    b_.Received(bytes, baud);
  }
  void CanFrame(bool sent, const link::CanMsg& msg, std::uint32_t bitRate) override {
    a_.CanFrame(sent, msg, bitRate);
    b_.CanFrame(sent, msg, bitRate);
  }
  void Note(const std::string& text) override {
    a_.Note(text);
    b_.Note(text);
  }

private:
  link::ILinkTrace& a_;
  link::ILinkTrace& b_;
};

} // namespace vk::cli
