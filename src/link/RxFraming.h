#pragma once
// Cuts the received byte stream into entries. Receive modes:
//   0 text lines: CR or LF ends a line (empty lines give no entry); "." or 0x06 at the start of
//     a line is an entry of its own at once; "~" (0x7E) starts a frame and hands over the text
//     before it
//   1 frame header expected: the byte after "~" is the header H
//   2 frame body: a frame is "~", H, (H and 0x0F) bytes and 2 closing bytes
//   3 raw blocks of 1024 bytes
//   4 raw bytes: every byte is an entry of its own at once (a device that echoes byte by byte)
// In every mode a partial entry is handed over after three idle reads in a row. Pure: the
// serial worker feeds it, and tests drive it byte by byte.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vk::link {

class TRxFraming {
public:
  enum Mode : std::uint8_t { Text = 0, FrameHeader = 1, FrameBody = 2, Raw = 3, RawBytes = 4 };
  static constexpr std::size_t kRawBlock = 1024;
  static constexpr int kIdleReadsToFlush = 3;

  // One received byte; returns the entry it finished, if any.
  std::optional<std::string> Byte(std::uint8_t b);
  // One read that timed out; returns the partial entry once it has waited three idle reads.
  std::optional<std::string> Idle();
  // Hands over the partial entry at once (the port is being closed) and ends a frame.
  std::optional<std::string> Flush();

  Mode RxMode = Text;

  const std::string& Pending() const { return accumulator_; }
  int IdleCount() const { return idleCount_; }

private:
  std::optional<std::string> Take();

  std::string accumulator_;
  int idleCount_ = 0;
};

} // namespace vk::link
