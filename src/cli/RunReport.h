#pragma once
// vkprog --report FILE: one JSON object per module and line (JSON Lines), appended, for a
// production line's traceability system:
//
//   {"time":"2026-12-08T01:02:03Z","host":"bench3","command":"program","port":"COM24",
//    "device":"/dev/ttyUSB7","address":7,"detected_type":136,"entry":"QRD14",
//    "files":["app.vkf"],"crc32":"1C291CA3","range_start":"0F80","range_end":"2002",
//    "bytes":4226,"result":"programmed","reason":null,"duration_s":1.84,"bit_rate":115200}
//
// Each line is written and flushed at once; a write that fails is remembered, so the command
// can say so and end non-zero (the report is evidence; a silent gap in it is not acceptable).

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

namespace vk::cli {

class RunReport {
public:
  // Opens path for appending. Throws std::runtime_error when it cannot be opened.
  explicit RunReport(const std::string& path);
  ~RunReport();
  RunReport(const RunReport&) = delete;
  RunReport& operator=(const RunReport&) = delete;

  // Appends the object as one line; false (and Failure() says why) when it did not reach the
  // file.
  bool Append(const nlohmann::json& line);
  bool Ok() const { return failure_.empty(); }
  const std::string& Failure() const { return failure_; }

  // The time now as ISO 8601 UTC with seconds, and this machine's name.
  static std::string UtcNow();
  static std::string Host();

private:
  std::string path_;
  std::FILE* file_ = nullptr;
  std::string failure_;
};

} // namespace vk::cli
