#pragma once
// vkprog --report FILE: the JSON Lines report (programmer/JsonLinesReport.h), one line per module,
// each line the record of the module's run with what vkprog knows of it (the command, the port,
// the files and the image's CRC-32).

#include "programmer/JsonLinesReport.h"
#include "programmer/RunRecord.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vk::cli {

// The report file of vkprog's commands. Throws UsageError for a place that is no report's
// (OutputGuard.h; port: the --port text), std::runtime_error when it cannot be opened.
class RunReport : public programmer::JsonLinesFile {
public:
  explicit RunReport(const std::string& path, const std::string& port = "");
};

// The lines of vkprog program: one per module, each field the module's own, and a line for
// every module also when the run never began (a port that will not open, a damaged file).
class ProgramReport {
public:
  // The report file is the first sink; throws as RunReport does.
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
  std::string Failure() const { return sinks_.Failure(); }

private:
  programmer::RunSinks sinks_;
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
