#include "cli/TraceFile.h"
#include "platform/Hex.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace vk::cli {

TraceFile::TraceFile(const std::string& path, const std::string& what, Clock clock)
    : path_(path), clock_(std::move(clock)), start_(clock_()) {
  file_ = std::fopen(path.c_str(), "w");
  if (!file_) return;
  char when[64] = "?";
  const std::time_t now = std::time(nullptr);
  if (const std::tm* local = std::localtime(&now))
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", local);
  std::fprintf(file_, "%s%s, started %s (local time)\n", kHeading, what.c_str(), when);
  std::fprintf(file_, "# time in seconds from then; tx = to the device, rx = from it; @ the bit "
                      "rate in force\n");
  if (std::fflush(file_) != 0) failure_ = path_ + ": " + std::strerror(errno);
}

TraceFile::~TraceFile() {
  if (!file_) return;
  Flush();
  std::fclose(file_);
}

void TraceFile::Flush() {
  std::lock_guard lock(mutex_);
  if (!file_) return;
  FlushPendingLocked();
  if (std::fflush(file_) != 0 && failure_.empty()) failure_ = path_ + ": " + std::strerror(errno);
}

std::string TraceFile::Failure() {
  std::lock_guard lock(mutex_);
  return failure_;
}

double TraceFile::SteadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double TraceFile::Seconds() const { return clock_() - start_; }

void TraceFile::WriteLine(double at, const std::string& text) {
  if (!file_) return;
  errno = 0;
  const bool written = std::fprintf(file_, "%12.6f %s\n", at, text.c_str()) > 0;
  // Line by line: the trace of a run that hangs or crashes is what it is wanted for.
  if ((std::fflush(file_) != 0 || !written) && failure_.empty())
    failure_ = path_ + ": " + (errno ? std::strerror(errno) : "write failed");
}

void TraceFile::FlushPendingLocked() {
  if (pending_.empty()) return;
  WriteLine(pendingAt_, "rx  @" + std::to_string(pendingBaud_) + " " + Render(pending_));
  pending_.clear();
}

std::string TraceFile::Render(const std::string& bytes) {
  std::size_t other = 0;
  for (const unsigned char c : bytes)
    if ((c < 0x20 || c > 0x7E) && c != '\r' && c != '\n' && c != '\t') ++other;
  std::string out;
  if (other * 2 > bytes.size()) {
    out = "hex";
    for (const unsigned char c : bytes) {
      out += ' ';
      platform::AppendHexByte(out, c);
    }
    return out;
  }
  out = "\"";
  for (const unsigned char c : bytes) {
    switch (c) {
    case '\r':
      out += "\\r";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '"':
      out += "\\\"";
      break;
    default:
      if (c < 0x20 || c > 0x7E) {
        out += "\\x";
        platform::AppendHexByte(out, c);
      } else {
        out += static_cast<char>(c);
      }
    }
  }
  return out + "\"";
}

void TraceFile::Sent(const std::string& bytes, std::uint32_t baud) {
  std::lock_guard lock(mutex_);
  const double at = Seconds(); // under the lock: the lines stay in time order
  FlushPendingLocked();
  WriteLine(at, "tx  @" + std::to_string(baud) + " " + Render(bytes));
}

void TraceFile::Received(const std::string& bytes, std::uint32_t baud) {
  std::lock_guard lock(mutex_);
  const double at = Seconds(); // under the lock: the lines stay in time order
  const double pause = std::max(kPauseSeconds, baud ? 30.0 / baud : 0.0);
  if (!pending_.empty() && (baud != pendingBaud_ || at - pendingLast_ > pause))
    FlushPendingLocked();
  if (pending_.empty()) {
    pendingAt_ = at;
    pendingBaud_ = baud;
  }
  pending_ += bytes;
  pendingLast_ = at;
  if (!pending_.empty() && pending_.back() == '\n') FlushPendingLocked();
}

void TraceFile::CanFrame(bool sent, const link::CanMsg& msg, std::uint32_t bitRate) {
  char head[96];
  std::snprintf(head, sizeof head, "can %s @%u id 0x%03X%s len %u:", sent ? "tx" : "rx",
                static_cast<unsigned>(bitRate), static_cast<unsigned>(msg.ID),
                (msg.MSGTYPE & link::MSGTYPE_RTR) ? " rtr" : "", static_cast<unsigned>(msg.LEN));
  std::string text = head;
  for (int i = 0; i < std::min<int>(msg.LEN, 8); ++i) {
    text += ' ';
    platform::AppendHexByte(text, msg.DATA[i]);
  }
  std::lock_guard lock(mutex_);
  const double at = Seconds();
  FlushPendingLocked();
  WriteLine(at, text);
}

void TraceFile::Note(const std::string& text) {
  std::lock_guard lock(mutex_);
  const double at = Seconds(); // under the lock: the lines stay in time order
  FlushPendingLocked();
  WriteLine(at, "---- " + text);
}

} // namespace vk::cli
