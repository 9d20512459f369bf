#pragma once
// Where a run's outcome goes: a RunRecord (everything known of one module's run, in the front
// end's words) is handed to every sink of a RunSinks list. The JSON Lines report
// (JsonLinesReport.h) is one sink; another is one class deriving from IRunSink and one Add.

#include "protocol/RunOutcome.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vk::programmer {

struct RunRecord {
  std::string time;    // ISO 8601 UTC with seconds, "2026-12-08T01:02:03Z"
  std::string host;    // this machine's name
  std::string command; // program, erase, read, verify
  std::string port;    // "COM24", "PCAN"; the text as given when it names no port
  std::string device;  // the port's device ("" when unknown)
  std::optional<int> canNode;
  int address = 0;
  std::optional<int> detectedType; // a backplane module's answer to "ID" in this run
  std::string entry;
  std::vector<std::string> files;
  // The CRC-32 and range of the image, given only where the run wrote, read or compared it whole.
  struct Image {
    std::uint32_t crc32 = 0;
    std::uint32_t start = 0, end = 0;
    int digits = 4; // the range's hexadecimal digits at least (8: full 32-bit addresses)
  };
  std::optional<Image> image;
  std::uint32_t bytes = 0;
  std::string result; // programmed, erased, failed, read, same, blank, not blank, identified
  std::string reason; // "" for none
  double seconds = 0;
  std::optional<std::uint32_t> bitRate;
  bool verified = false;    // every byte written (or compared) was read back equal
  std::string checkedRange; // a check-only run: the addresses it read
  std::string warning;      // the input's warnings, joined by "; "
};

// The result as a record names it: "programmed", "not blank".
const char* ResultWord(RunResult result);

class IRunSink {
public:
  virtual ~IRunSink() = default;
  virtual void Take(const RunRecord& record) = 0;
  // Why a record did not reach its place ("" while all did): the record is evidence, and its
  // loss must be said.
  virtual std::string Failure() const { return ""; }
};

class RunSinks {
public:
  void Add(std::unique_ptr<IRunSink> sink) { sinks_.push_back(std::move(sink)); }
  void Clear() { sinks_.clear(); }
  bool Empty() const { return sinks_.empty(); }
  void Take(const RunRecord& record) {
    for (const auto& sink : sinks_) sink->Take(record);
  }
  // The first sink's failure, "" when none failed.
  std::string Failure() const {
    for (const auto& sink : sinks_)
      if (std::string why = sink->Failure(); !why.empty()) return why;
    return "";
  }

private:
  std::vector<std::unique_ptr<IRunSink>> sinks_;
};

} // namespace vk::programmer
