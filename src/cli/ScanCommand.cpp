// vkprog scan: what sits on an unknown rack. Detect, address by address, through the
// programmer unit, and one table line per module that answered:
//
//   address  type        entry
//         3  136 (0x88)  QRD14
//         4  200 (0xC8)  unknown
//
// The status texts of each detection go to stderr with -v only; stdout is the table. The progress
// goes to stderr as program's does (--quiet: none): on a terminal one line redrawn in place,
// elsewhere a line at every tenth of the addresses.

#include "cli/Args.h"
#include "cli/Commands.h"
#include "cli/InputFiles.h"
#include "cli/LinkHelp.h"
#include "cli/LinkSession.h"
#include "cli/RunReport.h"
#include "protocol/Catalogue.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <memory>

namespace vk::cli {

namespace {

class ScanProgress {
public:
  ScanProgress(int from, int to, bool quiet)
      : from_(from), count_(to - from + 1), quiet_(quiet), terminal_(::isatty(2) != 0) {}
  // Address `address` is being asked.
  void At(int address) {
    if (quiet_) return;
    const int done = address - from_;
    const int percent = done * 100 / count_;
    if (terminal_) {
      std::fprintf(stderr, "\rscan: address %d (%d of %d) %3d%%", address, done + 1, count_,
                   percent);
      drawn_ = true;
    } else if (percent / 10 > lastTenth_) {
      lastTenth_ = percent / 10;
      std::fprintf(stderr, "progress: scan %d%% (address %d, %d of %d)\n", lastTenth_ * 10, address,
                   done + 1, count_);
    }
    std::fflush(stderr);
  }
  // Takes the line off the terminal before other output.
  void Clear() {
    if (!drawn_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    drawn_ = false;
  }
  void Done() {
    Clear();
    if (!quiet_ && !terminal_)
      std::fprintf(stderr, "progress: scan 100%% (%d of %d)\n", count_, count_);
  }

private:
  int from_, count_;
  bool quiet_, terminal_;
  bool drawn_ = false;
  int lastTenth_ = -1;
};

} // namespace

int RunScan(const std::vector<std::string>& argv) {
  auto valued = LinkValuedOptions();
  valued.insert({"from", "to", "report"});
  auto flags = LinkFlags();
  flags.insert("quiet");
  Args args(argv, valued, flags);
  const LinkOptions link = ReadLinkOptions(args, 3600);
  if (!args.Positional().empty()) throw UsageError("scan takes no file names");
  if (ResolvesToCan(link.port))
    throw UsageError("--port: scan asks the programmer unit on a serial port; PCAN has none");
  int from = 0, to = 255;
  if (auto f = args.Value("from")) from = static_cast<int>(ParseNumber(*f, "--from", 255));
  if (auto t = args.Value("to")) to = static_cast<int>(ParseNumber(*t, "--to", 255));
  if (from > to)
    throw UsageError("--from " + std::to_string(from) + " lies above --to " + std::to_string(to));
  std::unique_ptr<RunReport> report;
  if (auto path = args.Value("report")) {
    if (path->empty()) throw UsageError("--report needs a file name");
    if (link.trace && SameFile(*link.trace, *path))
      throw UsageError("--report and --trace name the same file");
    report = std::make_unique<RunReport>(*path, link.port);
  }

  EnsureCoreApplication();
  LinkSession s(link, "scan", false);
  ScanProgress progress(from, to, args.Has("quiet"));
  bool noModule = false, garbled = false;
  s.status.onChange = [&](int panel, const std::string& text) {
    if (panel != 0) return;
    if (text == "<no module found>") noModule = true;
    if (text == "Communication error") garbled = true;
    if (link.verbose) progress.Clear();
    if (link.verbose)
      std::fprintf(stderr, "vkprog: scan: #%d %s\n", s.address.ItemIndex(), text.c_str());
  };
  s.boxes.beforeOutput = [&] {
    progress.Clear();
    std::fflush(stdout);
  };
  s.Start({});
  s.ApplyTargetPage();

  std::printf("address  type        entry\n");
  std::fflush(stdout);
  int answered = 0;
  for (int address = from; address <= to; ++address) {
    noModule = garbled = false;
    progress.At(address);
    s.address.SetItemIndex(address);
    s.session->ButtonPressed(programmer::RunController::kDetect);
    const bool ended = s.RunUntil([&] {
      return s.session->controller->Mode() == app::ControllerMode::Idle && s.SerialQuiet();
    });
    progress.Clear();
    if (LinkSession::Interrupted()) {
      Error("scan: " + LinkSession::InterruptWord() + " at address " + std::to_string(address));
      return LinkSession::InterruptExitCode();
    }
    if (!ended) {
      Error("scan: no end after " + TimeoutText(link.timeoutSeconds) +
            " s (--timeout), at address " + std::to_string(address));
      return kExitTimeout;
    }
    if (noModule) continue;
    ++answered;
    const int type = s.session->controller->DetectedType;
    const programmer::CatalogueEntry* entry = garbled ? nullptr : programmer::FindEntryByType(type);
    char typeText[16] = "?";
    if (!garbled) std::snprintf(typeText, sizeof typeText, "%d (0x%02X)", type, unsigned(type));
    const std::string entryText = garbled ? "unreadable answer"
                                  : entry ? std::string(entry->Name)
                                          : "unknown";
    std::printf("%7d  %-10s  %s\n", address, typeText, entryText.c_str());
    std::fflush(stdout);
    if (report) {
      nlohmann::json line = {
          {"time", RunReport::UtcNow()},
          {"host", RunReport::Host()},
          {"command", "scan"},
          {"port", "COM" + std::to_string(s.Port().portNo)},
          {"device", s.Port().device},
          {"address", address},
          {"detected_type", garbled ? nlohmann::json() : nlohmann::json(type)},
          {"entry", entry ? nlohmann::json(std::string(entry->Name)) : nlohmann::json()},
          {"result", garbled ? "unreadable" : "detected"},
          {"bit_rate", s.session->comm->GetBaudRate()}};
      report->Append(line);
    }
  }
  progress.Done();
  int exit = answered > 0 ? kExitOk : kExitFailed;
  if (answered == 0)
    Error("scan: no module answered at addresses " + std::to_string(from) + " to " +
          std::to_string(to));
  s.DrainSerial(1000);
  for (const std::string& failure : {s.TraceFailure(), report ? report->Failure() : ""})
    if (!failure.empty()) {
      Error("scan: " + failure + " (the record is incomplete)");
      exit = kExitFailed;
    }
  return exit;
}

} // namespace vk::cli
