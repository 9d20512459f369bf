#pragma once
// vkprog --trace FILE: the link's traffic as readable text, one entry per line:
//
//   # V&K Programmer link trace: vkprog program, started 2025-03-01 14:02:11 (local time)
//   # time in seconds from then; tx = to the device, rx = from it; @ the bit rate in force
//        0.000812 ---- COM1 /dev/pts/4 opened
//        0.000840 ---- line 115200 bit/s, parity none
//        0.201377 tx  @115200 "OP 7\r"
//        0.201901 rx  @115200 "OK\r\n"
//        2.913004 tx  @115200 hex 55 AA 00 13
//        3.100230 can tx @500000 id 0x0A2 len 8: 01 02 03 04 05 06 07 08
//
// Text is quoted with C escapes (\r, \n, \t, \\, \", \xHH); an entry that is mostly not text
// is written as hexadecimal bytes instead. Received bytes that follow each other without a
// pause (and up to a line feed) form one entry, stamped with the time of its first byte.

#include "link/LinkTrace.h"

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

namespace vk::cli {

class TraceFile : public link::ILinkTrace {
public:
  // The first line begins so; it is how an existing file is known to be a trace.
  static constexpr const char* kHeading = "# V&K Programmer link trace: ";
  // A pause this long (or three characters' time, if longer) ends a received entry.
  static constexpr double kPauseSeconds = 0.002;

  // Seconds from any fixed point: the steady clock, or a test's simulated one.
  using Clock = std::function<double()>;

  // Opens (truncates) the file; Ok() says whether that worked.
  TraceFile(const std::string& path, const std::string& what, Clock clock = SteadySeconds);
  ~TraceFile() override;
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  bool Ok() const { return file_ != nullptr; }
  // The first write that did not reach the file ("" while all did): the trace is the evidence
  // sent to service, so a gap in it must be said.
  std::string Failure();
  // Writes what is pending and flushes the file.
  void Flush();

  void Sent(const std::string& bytes, std::uint32_t baud) override;
  void Received(const std::string& bytes, std::uint32_t baud) override;
  void CanFrame(bool sent, const link::CanMsg& msg, std::uint32_t bitRate) override;
  void Note(const std::string& text) override;

  // How an entry's bytes are shown: quoted text, or "hex 55 AA ..." when mostly not text.
  static std::string Render(const std::string& bytes);

private:
  static double SteadySeconds();
  double Seconds() const;
  void WriteLine(double at, const std::string& text);
  void FlushPendingLocked();

  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::string path_;
  std::string failure_;
  Clock clock_;
  double start_;
  // The received entry being gathered.
  std::string pending_;
  std::uint32_t pendingBaud_ = 0;
  double pendingAt_ = 0;
  double pendingLast_ = 0;
};

} // namespace vk::cli
