// vkprog's link commands: program, detect and find. Each drives the window's own engine (the
// session, its main controller and run controller) through headless controls, pressing the
// buttons the window would show.

#include "app/BufferView.h"
#include "cli/Args.h"
#include "cli/Commands.h"
#include "cli/DryRun.h"
#include "cli/InputFiles.h"
#include "cli/LinkSession.h"
#include "cli/ProgressDisplay.h"
#include "cli/RunOutput.h"
#include "cli/RunReport.h"
#include "cli/TargetName.h"
#include "image/FirmwareImage.h"
#include "platform/Native.h"
#include "platform/RecordingMessageBox.h"
#include "programmer/Catalogue.h"
#include "programmer/ProtocolKinds.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>

namespace vk::cli {

namespace {

using programmer::TPrgrm;

// A target that only checks its chip (Cortex-M3) ran as asked, but wrote nothing: 4 when it
// found the chip blank (as far as it read), 5 when it found data.
constexpr int kExitCheckedOnly = 4;
constexpr int kExitCheckedNotBlank = 5;

double SteadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Range {
  int first = 0;
  int last = 0;
};

Range ParseRange(const std::string& text) {
  const auto dash = text.find('-');
  if (dash == std::string::npos || dash == 0 || dash + 1 == text.size())
    throw UsageError("--range: \"" + text + "\" is not FIRST-LAST (e.g. 7-12)");
  Range r;
  r.first = static_cast<int>(ParseNumber(text.substr(0, dash), "--range", 255));
  r.last = static_cast<int>(ParseNumber(text.substr(dash + 1), "--range", 255));
  // MultiProgram would program the last module alone: surely not what was meant.
  if (r.first > r.last)
    throw UsageError("--range: the first address " + std::to_string(r.first) +
                     " lies above the last " + std::to_string(r.last));
  return r;
}

bool ResolvesToCan(std::string port) {
  for (char& c : port) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return port == "PCAN";
}

bool ControllerIdle(LinkSession& s) {
  return s.session->controller->Mode() == app::ControllerMode::Idle && !s.session->prg->RunActive();
}

int Interrupted(const std::string& command) {
  Error(command + ": interrupted");
  return LinkSession::InterruptExitCode();
}

const char* ResultWord(programmer::RunResult result) {
  switch (result) {
  case programmer::RunResult::Programmed:
    return "programmed";
  case programmer::RunResult::Erased:
    return "erased";
  case programmer::RunResult::Failed:
    return "failed";
  case programmer::RunResult::Blank:
    return "blank";
  case programmer::RunResult::NotBlank:
    return "not blank";
  }
  return "failed";
}

std::string TimeoutText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

} // namespace

int RunProgram(const std::vector<std::string>& argv) {
  auto valued = LinkValuedOptions();
  valued.insert({"target", "address", "range", "report"});
  auto flags = LinkFlags();
  flags.insert({"allow-untyped", "yes", "erase-only", "quiet", "dry-run"});
  Args args(argv, valued, flags);
  const LinkOptions link = ReadLinkOptions(args, 300);

  const auto target = args.Value("target");
  if (!target) throw UsageError("--target is required (a name from vkprog targets)");
  const programmer::CatalogueEntry* entry = &ResolveTarget(*target);
  std::optional<int> address;
  if (auto a = args.Value("address")) address = static_cast<int>(ParseNumber(*a, "--address", 255));
  std::optional<Range> range;
  if (auto r = args.Value("range")) range = ParseRange(*r);
  if (address && range) throw UsageError("--address and --range exclude each other");
  const bool eraseOnly = args.Has("erase-only");
  // The buttons the window offers for the entry (a disabled button cannot be pressed).
  if (range && !entry->MultiProgram)
    throw UsageError("--range: MultiProgram is offered for QRD14 modules (type 136) only");
  if (range && eraseOnly)
    throw UsageError("--erase-only erases one module; it does not go with --range");
  if (eraseOnly && !programmer::KindOf(entry->CpuKind).EraseOffered)
    throw UsageError("--erase-only: Erase is offered for backplane modules only");
  if (ResolvesToCan(link.port) && !programmer::KindOf(entry->CpuKind).NeedsCan)
    throw UsageError("--port PCAN: " + std::string(entry->Name) +
                     " is not reached over CAN (only \"QX4T - PCAN\" is); give its serial port");
  const auto& files = args.Positional();
  if (files.empty()) throw UsageError("name the firmware file(s) to program");
  if (args.Has("allow-untyped")) {
    // The window offers the check box only where the setting exists; the machine-wide value,
    // where there is one, is the machine's policy.
    const platform::NativeSettings store;
    const char* const setting = "AllowUntypedProgram";
    const auto value = store.Read(setting);
#if VK_WITH_QT
    const std::string places = "in neither the machine-wide settings (" + store.MachinePlace() +
                               ") nor the user's (" + store.Place() + ")";
#else
    const std::string places = "not in the settings (" + store.Place() + ")";
#endif
    if (!value || value->empty())
      throw UsageError(std::string("--allow-untyped: untyped programming is not offered here: the "
                                   "setting \"") +
                       setting + "\" is " + places);
#if VK_WITH_QT
    // The machine withholds it: the window shows the box unticked and fixed.
    if (store.DecidedByMachine(setting) && *value != "True")
      throw UsageError(std::string("--allow-untyped: untyped programming is withheld on this "
                                   "machine: the machine-wide setting \"") +
                       setting + "\" is \"" + *value + "\" (" + store.MachinePlace() + ")");
#endif
  }
  if (args.Has("yes") && !args.Has("allow-untyped"))
    Error("program: warning: --yes answers only the question --allow-untyped asks; alone it "
          "changes nothing");

  std::vector<int> moduleList;
  if (range)
    for (int m = range->first; m <= range->last; ++m) moduleList.push_back(m);
  else
    moduleList.push_back(address.value_or(entry->DefaultAddress));

  // An output onto a firmware file would destroy it before it is read by anyone.
  if (link.trace) InputFiles::RefuseAsOutput("--trace", *link.trace, files);
  const auto reportPath = args.Value("report");
  if (reportPath) {
    if (reportPath->empty()) throw UsageError("--report needs a file name");
    InputFiles::RefuseAsOutput("--report", *reportPath, files);
    if (link.trace && SameFile(*link.trace, *reportPath))
      throw UsageError("--report and --trace name the same file");
  }
  const bool dryRun = args.Has("dry-run");
  // Every module gets its line, also when the run never begins (a file that cannot be read, a
  // port that will not open).
  std::unique_ptr<ProgramReport> report;
  if (reportPath && !dryRun)
    report = std::make_unique<ProgramReport>(*reportPath, std::string(entry->Name), files,
                                             link.port);
  const auto neverBegan = [&](const std::string& reason) {
    if (report) report->FailTheRest(moduleList, reason);
  };
  std::unique_ptr<InputFiles> read;
  try {
    read = std::make_unique<InputFiles>(files);
  } catch (const std::exception& e) {
    neverBegan(e.what());
    throw;
  }
  const InputFiles& inputs = *read;
  if (std::string why; !inputs.AllFirmware("program", &why)) {
    neverBegan(why);
    return kExitFailed;
  }

  if (dryRun) {
    DryRunRequest plan;
    plan.entry = entry;
    plan.modules = moduleList;
    plan.files = &inputs;
    plan.port = CheckPort(link);
    plan.link = link;
    plan.allowUntyped = args.Has("allow-untyped");
    plan.yes = args.Has("yes");
    plan.eraseOnly = eraseOnly;
    return DryRun(plan);
  }
  const ImageToWrite written = LoadImageToWrite(inputs, *entry);
  if (report) report->SetImage(written.crc32, written.start, written.end);
  if (!written.unendedFile.empty()) {
    const std::string warning =
        app::BareFileName(written.unendedFile) + ": " + image::msg::kNoEndRecord;
    Error("program: warning: " + warning);
    if (report) report->SetWarning(warning);
  }

  EnsureCoreApplication();
  std::unique_ptr<LinkSession> session;
  try {
    session = std::make_unique<LinkSession>(link, "program", args.Has("yes"));
  } catch (const std::exception& e) {
    neverBegan(e.what());
    throw;
  }
  LinkSession& s = *session;
  const bool overCan = programmer::KindOf(entry->CpuKind).NeedsCan;
  if (report)
    report->SetLink(s.Port().pcan ? "PCAN" : "COM" + std::to_string(s.Port().portNo),
                    s.Port().device,
                    overCan ? std::optional<int>(link.canNode.value_or(1)) : std::nullopt);
  const bool quiet = args.Has("quiet");
  ProgressDisplay progress(stderr, quiet ? ProgressDisplay::Style::None
                                   : ::isatty(2) != 0 && link.verbose < 2
                                       ? ProgressDisplay::Style::Bar
                                       : ProgressDisplay::Style::Lines);
  RunPrinter out(s, &progress, link.verbose);

  // Each module's end: a report line of the module's own, and with -v the reason and the last
  // request.
  double moduleStart = SteadySeconds();
  std::vector<programmer::RunOutcome> outcomes;
  s.session->prg->OnModuleDone = [&](const programmer::RunOutcome& o) {
    const bool failed = o.result == programmer::RunResult::Failed;
    const std::string reason = failed ? programmer::FailureText(o) : "";
    if (link.verbose && failed)
      Error("program: " + o.entry + " #" + std::to_string(o.module) + ": " + reason +
            (s.LastSent().empty() ? "" : "; last sent " + s.LastSent()));
    if (!report) return;
    ProgramReport::Module m;
    m.address = o.module;
    if (const int type = s.session->controller->DetectedType;
        type && entry->CpuKind == programmer::kKindBackplane)
      m.detectedType = type;
    m.result = ResultWord(o.result);
    m.reason = reason;
    m.bytes = o.result == programmer::RunResult::Programmed ? written.end - written.start
              : failed                                      ? o.bytesWritten
                                                            : 0;
    m.bitRate = overCan ? CanBitRate(link.canBitrate) : o.bitRate;
    m.seconds = SteadySeconds() - moduleStart;
    report->Add(m);
    moduleStart = SteadySeconds();
  };
  // Every module gets its line, also one whose run never began (not found, refused, stopped);
  // and a record that did not reach its file fails the command.
  auto finished = [&](int code, const std::string& rest) {
    neverBegan(rest);
    if (link.verbose && code != kExitOk && outcomes.empty() && !s.LastSent().empty())
      Error("program: the last request sent was " + s.LastSent());
    for (const std::string& failure : {s.TraceFailure(), report ? report->Failure() : ""})
      if (!failure.empty()) {
        Error("program: " + failure + " (the record of this run is incomplete)");
        if (code == kExitOk) code = kExitFailed;
      }
    return code;
  };

  // As the window after start-up with FILE... on its command line, and then the user: the
  // Target page, the click on the target, the address, the Programmer page, the buttons.
  s.Start(inputs.Copies());
  s.ApplyTargetPage();
  s.ClickTarget(std::string(entry->Name));
  s.ReportMissingKernel();
  if (address) s.address.SetItemIndex(*address); // after the click, which may move it
  s.session->ProgrammerPageShown();
  if (range) {
    s.firstBox.SetItemIndex(range->first);
    s.lastBox.SetItemIndex(range->last);
  }
  s.untyped.SetVisible(true);
  s.untyped.SetEnabled(true);
  s.untyped.SetChecked(args.Has("allow-untyped"));

  const int button = range ? TPrgrm::kMultiProgram : TPrgrm::kProgram;
  if (!s.buttons[button].Enabled()) {
    Error("program: the " + s.buttons[button].Caption() + " button is disabled (no image loaded)");
    return finished(kExitFailed, "the files hold no data; nothing written");
  }
  const std::size_t modules =
      range ? static_cast<std::size_t>(range->last >= range->first ? range->last - range->first + 1
                                                                   : 1)
            : 1;
  // The exit code comes from what became of each module, never from the texts on screen.
  const auto reportDone = s.session->prg->OnModuleDone;
  s.session->prg->OnModuleDone = [&, reportDone](const programmer::RunOutcome& o) {
    outcomes.push_back(o);
    reportDone(o);
    if (o.result == programmer::RunResult::Failed) {
      out.ClearProgress();
      const std::string failed =
          o.entry + " #" + std::to_string(o.module) + " Failed: " + programmer::FailureText(o);
      Error(failed);
      s.TraceNote(failed); // beside the exchange that ended the run
    }
  };
  // The entry named is the entry written: a module of another type is not programmed as its own.
  s.session->controller->RunKeepsItsEntry = true;
  // Erase erases the module by itself (after its type check).
  s.session->ButtonPressed(eraseOnly ? TPrgrm::kErase : button);

  const bool ended =
      s.RunUntil([&] { return s.quitAsked || (ControllerIdle(s) && s.SerialQuiet()); });
  out.ClearProgress();
  if (LinkSession::Interrupted()) {
    // The protocol's Finish puts the link back to its own rate, parity and text mode.
    const std::string stopped = "stopped (" + LinkSession::InterruptName() + ")";
    s.session->controller->StopAll(stopped);
    s.DrainSerial(1000);
    return finished(Interrupted("program"), stopped);
  }
  if (!ended) {
    const std::string shown = RunPrinter::WithoutSpinner(s.status.PanelText(0));
    const std::string timedOut =
        "no end within the --timeout of " + TimeoutText(link.timeoutSeconds) + " s";
    // Stopped through its protocol's Finish, as an interrupted run is: nothing more goes out.
    if (s.session->prg->RunActive())
      s.session->prg->DropRun(programmer::FailReason::TimeLimit, timedOut, TPrgrm::DropLog::None);
    s.session->controller->StopAll();
    s.DrainSerial(1000);
    Error("program: no end after " + TimeoutText(link.timeoutSeconds) +
          " s (--timeout); the status line shows \"" + shown + "\"");
    return finished(kExitTimeout, timedOut);
  }
  s.DrainSerial();
  if (s.quitAsked) {
    Error("program: the firmware is not meant for this module type; --allow-untyped --yes "
          "programs it all the same");
    return finished(kExitFailed, "not tried: the run ended at the ID mismatch before it");
  }
  const auto count = [&](std::initializer_list<programmer::RunResult> results) {
    return static_cast<std::size_t>(
        std::count_if(outcomes.begin(), outcomes.end(), [&](const programmer::RunOutcome& o) {
          return std::find(results.begin(), results.end(), o.result) != results.end();
        }));
  };
  const std::size_t done =
      count({programmer::RunResult::Programmed, programmer::RunResult::Erased});
  const std::size_t checked =
      count({programmer::RunResult::Blank, programmer::RunResult::NotBlank});
  if (outcomes.size() == modules && done == modules) return finished(kExitOk, "");
  if (outcomes.size() == modules && done + checked == modules && checked > 0) {
    if (count({programmer::RunResult::NotBlank}) > 0) {
      Error("program: the target was only checked and holds data; nothing was written");
      return finished(kExitCheckedNotBlank, "");
    }
    Error("program: the target was only checked; nothing was written");
    return finished(kExitCheckedOnly, "");
  }
  if (outcomes.empty())
    Error("program: nothing was programmed (the status line shows \"" + s.status.PanelText(0) +
          "\")");
  else
    Error("program: " + std::to_string(modules - done) + " of " + std::to_string(modules) +
          " module(s) not programmed");
  return finished(kExitFailed, "not started");
}

int RunDetect(const std::vector<std::string>& argv) {
  auto valued = LinkValuedOptions();
  valued.insert("address");
  Args args(argv, valued, LinkFlags());
  const LinkOptions link = ReadLinkOptions(args, 60);
  if (!args.Positional().empty()) throw UsageError("detect takes no file names");
  int address = 0;
  if (auto a = args.Value("address")) address = static_cast<int>(ParseNumber(*a, "--address", 255));

  EnsureCoreApplication();
  LinkSession s(link, "detect", false);
  RunPrinter out(s, nullptr, link.verbose);
  bool failed = false;
  const auto print = s.status.onChange;
  s.status.onChange = [&](int panel, const std::string& text) {
    if (panel == 0 && (text == "<no module found>" || text == "Communication error")) failed = true;
    print(panel, text);
  };

  s.Start({});
  s.ApplyTargetPage();
  s.address.SetItemIndex(address);
  s.session->ButtonPressed(TPrgrm::kDetect);
  const bool ended = s.RunUntil([&] { return ControllerIdle(s) && s.SerialQuiet(); });
  out.ClearProgress(); // ends a status line left open on a terminal
  if (LinkSession::Interrupted()) return Interrupted("detect");
  if (!ended) {
    Error("detect: no end after " + TimeoutText(link.timeoutSeconds) + " s (--timeout)");
    return kExitTimeout;
  }
  if (failed) return kExitFailed;
  const int type = s.session->controller->DetectedType;
  std::printf("type: %d (0x%02X)\n", type, static_cast<unsigned>(type));
  if (type == 0 || !programmer::FindEntryByType(type)) {
    std::printf("entry: none\n");
    Error("detect: no catalogue entry has the module type " + std::to_string(type));
    return kExitFailed;
  }
  std::printf("entry: %s\n", s.session->prg->Node().Name.c_str());
  return kExitOk;
}

int RunFind(const std::vector<std::string>& argv) {
  auto valued = LinkValuedOptions();
  valued.insert("end-address");
  Args args(argv, valued, LinkFlags());
  const LinkOptions link = ReadLinkOptions(args, 60);
  if (!args.Positional().empty()) throw UsageError("find takes no file names");
  if (ResolvesToCan(link.port))
    throw UsageError("find searches a serial port; PCAN has no programmer unit to find");
  std::optional<int> endAddress;
  if (auto e = args.Value("end-address"))
    endAddress = static_cast<int>(ParseNumber(*e, "--end-address", 255));

  EnsureCoreApplication();
  LinkSession s(link, "find", false);
  RunPrinter out(s, nullptr, link.verbose);
  s.Start({});
  s.ApplyTargetPage();
  auto& finder = *s.session->finder;
  if (endAddress) finder.EndAddress = *endAddress;
  s.session->FindDevice();
  // The window goes on to detect the module; vkprog find reports what the finder found and
  // leaves the detection to vkprog detect.
  bool finished = false;
  finder.OnFinished = [&] { finished = true; };
  const bool ended = s.RunUntil([&] { return !finder.Searching() && s.SerialQuiet(); });
  out.ClearProgress(); // ends a status line left open on a terminal
  if (LinkSession::Interrupted()) return Interrupted("find");
  if (!ended) {
    finder.Closed();
    s.DrainSerial(1000);
    Error("find: no programmer unit answered within " + TimeoutText(link.timeoutSeconds) +
          " s (--timeout)");
    return kExitTimeout;
  }
  if (!finished || !finder.Found) {
    Error("find: the search ended without an answer");
    return kExitFailed;
  }
  std::printf("rate: %u\n", static_cast<unsigned>(s.session->comm->GetBaudRate()));
  std::printf("address: %d\n", s.address.ItemIndex());
  return kExitOk;
}

} // namespace vk::cli
