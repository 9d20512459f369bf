#pragma once
// The run report as JSON Lines: one object per module and line, appended, for a production
// line's traceability system:
//
//   {"time":"2026-12-08T01:02:03Z","host":"bench3","command":"program","port":"COM24",
//    "device":"/dev/ttyUSB7","address":7,"detected_type":136,"entry":"QRD14",
//    "files":["app.vkf"],"crc32":"1C291CA3","range_start":"0F80","range_end":"2002",
//    "bytes":4226,"result":"programmed","reason":null,"duration_s":1.84,"bit_rate":115200,
//    "verified":false}
//
// Each line is written in one piece and flushed at once, so several stations appending to one
// file never mix their lines; a write that fails is remembered, so the front end can say so (the
// report is evidence; a silent gap in it is not acceptable).

#include "programmer/RunRecord.h"

#include <nlohmann/json.hpp>

#include <string>

namespace vk::programmer {

class JsonLinesFile {
public:
  // Opens path for appending; std::runtime_error when it cannot be opened.
  explicit JsonLinesFile(const std::string& path);
  ~JsonLinesFile();
  JsonLinesFile(const JsonLinesFile&) = delete;
  JsonLinesFile& operator=(const JsonLinesFile&) = delete;

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
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  std::string failure_;
};

// Whether a line is a report's: a JSON object with the "time", "host" and "command" every line
// carries.
bool IsReportLine(const std::string& line);

// The record as its report line, its fields in the order above.
nlohmann::json JsonLine(const RunRecord& record);

class JsonLinesSink : public IRunSink {
public:
  explicit JsonLinesSink(const std::string& path) : file_(path) {}
  void Take(const RunRecord& record) override { file_.Append(JsonLine(record)); }
  std::string Failure() const override { return file_.Failure(); }

private:
  JsonLinesFile file_;
};

} // namespace vk::programmer
