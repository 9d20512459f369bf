#pragma once
// vkprog --report FILE: one JSON object per module and line (JSON Lines), appended, for a
// production line's traceability system:
//
//   {"time":"2026-12-08T01:02:03Z","host":"bench3","command":"program","port":"COM24",
//    "device":"/dev/ttyUSB7","address":7,"detected_type":136,"entry":"QRD14",
//    "files":["app.vkf"],"crc32":"1C291CA3","range_start":"0F80","range_end":"2002",
//    "bytes":4226,"result":"programmed","reason":null,"duration_s":1.84,"bit_rate":115200,
//    "verified":false}
//
// Each line is written in one piece and flushed at once, so several stations appending to one
// file never mix their lines; a write that fails is remembered, so the command can say so and
// end non-zero (the report is evidence; a silent gap in it is not acceptable).

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vk::cli {

class RunReport {
public:
  // Opens path for appending. Throws UsageError for a place that is no report's (OutputGuard.h;
  // port: the --port text), std::runtime_error when it cannot be opened.
  explicit RunReport(const std::string& path, const std::string& port = "");
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
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  std::string failure_;
};

// The lines of vkprog program: one per module, each field the module's own, and a line for
// every module also when the run never began (a port that will not open, a damaged file).
class ProgramReport {
public:
  // Throws std::runtime_error when the file cannot be opened.
  ProgramReport(const std::string& path, const std::string& entry, std::vector<std::string> files,
                const std::string& port);

  // Known once the files are read: the CRC-32 and range of the bytes a run writes (or reads or
  // compares), the range in `digits` hexadecimal digits at least (8: full 32-bit addresses). Lines
  // give them only for a module whose run wrote, read or compared that range whole.
  void SetImage(std::uint32_t crc32, std::uint32_t start, std::uint32_t end, int digits = 4);
  // The files whose data the image holds: a container replaces what the files before it
  // loaded, so the lines name it and the files after it.
  void SetFiles(std::vector<std::string> files) { files_ = std::move(files); }
  // Known once the port is open: its COM name and device; for CAN the node.
  void SetLink(const std::string& port, const std::string& device, std::optional<int> canNode);
  // Before the port is open: --port as the session resolves it (its COM name and device, or
  // PCAN), so that a line of a run that never began names the port as the others do; the text
  // as given when it names no port.
  void NamePort(const std::string& portText);
  // The command the lines name ("program" unless set).
  void SetCommand(const std::string& command) { command_ = command; }
  // Said in every line from now on ("fw.hex: no end record: the file may be cut short"); a
  // second warning joins the first after "; ".
  void AddWarning(const std::string& text) { warning_ += (warning_.empty() ? "" : "; ") + text; }

  struct Module {
    int address = 0;
    std::optional<int> detectedType; // a backplane module's answer to "ID" in this run
    std::string result;              // programmed, erased, failed, blank, not blank
    std::string reason;              // "" for none
    std::uint32_t bytes = 0;         // image bytes the module took
    std::optional<std::uint32_t> bitRate;
    double seconds = 0;
    bool verified = false;    // every byte written (or compared) was read back equal
    std::string checkedRange; // a check-only run: the addresses it read ("checked_range")
  };
  void Add(const Module& m);
  // A "failed" line with this reason for every module of the list that has none yet.
  void FailTheRest(const std::vector<int>& modules, const std::string& reason);
  bool Has(int address) const { return done_.count(address) > 0; }
  const std::string& Failure() const { return file_.Failure(); }

private:
  RunReport file_;
  std::string command_ = "program";
  std::string entry_;
  std::vector<std::string> files_;
  std::string port_, device_;
  std::optional<int> canNode_;
  std::optional<std::uint32_t> crc32_;
  std::uint32_t start_ = 0, end_ = 0;
  int digits_ = 4;
  std::string warning_;
  std::set<int> done_;
};

} // namespace vk::cli
