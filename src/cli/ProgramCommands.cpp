// vkprog program: the window's own engine (the session, its main controller and run controller)
// driven through headless controls, pressing the buttons the window would show; a report line
// per module, and an exit code from what became of each.

#include "app/BufferView.h"
#include "cli/Args.h"
#include "cli/Commands.h"
#include "cli/DryRun.h"
#include "cli/InputFiles.h"
#include "cli/LinkSession.h"
#include "cli/OutputGuard.h"
#include "cli/ProgramRequest.h"
#include "cli/ProgressDisplay.h"
#include "cli/RunOutput.h"
#include "cli/RunReport.h"
#include "cli/TargetName.h"
#include "image/FirmwareImage.h"
#include "platform/Native.h"
#include "protocol/Catalogue.h"
#include "protocol/ProtocolKinds.h"

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

using programmer::RunController;

// A target that only checks its chip (Cortex-M3) ran as asked, but wrote nothing: 4 when it
// found the chip blank (as far as it read), 5 when it found data.
constexpr int kExitCheckedOnly = 4;
constexpr int kExitCheckedNotBlank = 5;

double SteadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

int RunProgram(const std::vector<std::string>& argv) {
  const ProgramRequest request = ReadProgramRequest(argv);
  const LinkOptions& link = request.link;
  const programmer::CatalogueEntry* entry = request.entry;
  const auto& files = request.files;
  const auto& moduleList = request.modules;
  const auto& range = request.range;
  const auto& address = request.address;
  const auto& reportPath = request.report;
  const bool eraseOnly = request.eraseOnly;
  const bool dryRun = request.dryRun;
  // Every module gets its line, also when the run never begins (a file that cannot be read, a
  // port that will not open).
  std::unique_ptr<ProgramReport> report;
  if (reportPath && !dryRun) {
    report =
        std::make_unique<ProgramReport>(*reportPath, std::string(entry->Name), files, link.port);
    report->NamePort(link.port);
  }
  const auto neverBegan = [&](const std::string& reason) {
    if (report) report->FailTheRest(moduleList, reason);
  };
  std::unique_ptr<InputFiles> read;
  try {
    read = std::make_unique<InputFiles>(files, request.binaryBase);
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
    // Refused as the run would refuse them, though the dry run writes neither.
    if (link.trace) RefuseForeignOutput("--trace", *link.trace, OutputKind::Trace, link.port);
    if (reportPath) RefuseForeignOutput("--report", *reportPath, OutputKind::Report, link.port);
    DryRunRequest plan;
    plan.entry = entry;
    plan.modules = moduleList;
    plan.files = &inputs;
    plan.port = CheckPort(link);
    plan.link = link;
    plan.allowUntyped = request.allowUntyped;
    plan.yes = request.yes;
    plan.eraseOnly = eraseOnly;
    return DryRun(plan);
  }
  const ImageToWrite written = LoadImageToWrite(inputs, *entry);
  if (report) {
    // A flash above the 64 KiB image (Cortex-M3 Flash) is named by its full addresses.
    const bool full = static_cast<std::uint32_t>(entry->RegionStart) >= programmer::kImageSize;
    report->SetImage(written.crc32, written.base + written.start, written.base + written.end,
                     full ? 8 : 4);
    report->SetFiles(written.loadedFiles);
  }
  std::vector<std::string> warnings;
  if (!written.unendedFile.empty())
    warnings.push_back(app::BareFileName(written.unendedFile) + ": " + image::msg::kNoEndRecord);
  if (!written.warning.empty() && !eraseOnly) warnings.push_back(written.warning);
  for (const auto& warning : warnings) {
    Error("program: warning: " + warning);
    if (report) report->AddWarning(warning);
  }

  EnsureCoreApplication();
  std::unique_ptr<LinkSession> session;
  try {
    session = std::make_unique<LinkSession>(link, "program", request.yes);
  } catch (const std::exception& e) {
    neverBegan(e.what());
    throw;
  }
  LinkSession& s = *session;
  const bool overCan = programmer::KindOf(entry->CpuKind).NeedsCan();
  if (report)
    report->SetLink(s.Port().Name(), s.Port().device,
                    overCan ? std::optional<int>(link.canNode.value_or(1)) : std::nullopt);
  const bool quiet = request.quiet;
  ProgressDisplay progress(stderr, quiet ? ProgressDisplay::Style::None
                                   : ::isatty(2) != 0 && link.verbose < 2
                                       ? ProgressDisplay::Style::Bar
                                       : ProgressDisplay::Style::Lines);
  RunPrinter out(s, &progress, link.verbose);
  if (!eraseOnly) out.SetByteRange(written.start, written.end);

  // Each module's end: a report line of the module's own, and with -v the reason and the last
  // request.
  double moduleStart = SteadySeconds();
  std::vector<programmer::RunOutcome> outcomes;
  const auto recordModule = [&](const programmer::RunOutcome& o) {
    const bool failed = o.result == programmer::RunResult::Failed;
    const std::string reason = failed ? programmer::FailureText(o) : "";
    if (link.verbose && failed)
      Error("program: " + o.name + ": " + reason +
            (s.LastSent().empty() ? "" : "; last sent " + s.LastSent()));
    if (!report) return;
    ProgramReport::Module m;
    m.address = o.module;
    if (const int type = s.session->controller->DetectedType;
        type && entry->CpuKind == programmer::kKindBackplane)
      m.detectedType = type;
    m.result = programmer::ResultWord(o.result);
    m.reason = reason;
    m.bytes = o.result == programmer::RunResult::Programmed ? written.end - written.start
              : failed                                      ? o.bytesWritten
                                                            : 0;
    m.bitRate = overCan ? CanBitRate(link.canBitrate) : o.bitRate;
    m.verified = o.verified;
    m.checkedRange = o.checkedRange;
    m.seconds = SteadySeconds() - moduleStart;
    report->Add(m);
    moduleStart = SteadySeconds();
  };
  s.session->prg->OnModuleDone = recordModule;
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
  s.untyped.SetChecked(request.allowUntyped);

  const int button = eraseOnly ? RunController::kErase
                     : range   ? RunController::kMultiProgram
                               : RunController::kProgram;
  if (!s.buttons[button].Enabled()) {
    const std::string why =
        "the " + s.buttons[button].Caption() + " button is disabled (no image loaded)";
    Error("program: " + why);
    return finished(kExitFailed, why);
  }
  const std::size_t modules =
      range ? static_cast<std::size_t>(range->last >= range->first ? range->last - range->first + 1
                                                                   : 1)
            : 1;
  // The exit code comes from what became of each module, never from the texts on screen.
  s.session->prg->OnModuleDone = [&](const programmer::RunOutcome& o) {
    outcomes.push_back(o);
    out.ModuleDone(o.result == programmer::RunResult::Programmed ||
                   o.result == programmer::RunResult::Erased);
    recordModule(o);
    if (o.result == programmer::RunResult::Failed) {
      out.ClearProgress();
      const std::string failed = o.name + " Failed: " + programmer::FailureText(o);
      Error(failed);
      s.TraceNote(failed); // beside the exchange that ended the run
    }
  };
  // The entry named is the entry written: a module of another type is not programmed as its own.
  s.session->controller->Policy = app::FrontEndPolicy::CommandLine();
  s.startAfter.SetChecked(request.go); // "Start after programming"
  s.session->prg->StartAt = request.goAddress.value_or(0);
  s.session->prg->RemoveReadProtection = request.unprotect;
  // Erase erases the module by itself (after its type check).
  s.session->ButtonPressed(button);

  const bool ended =
      s.RunUntil([&] { return s.quitAsked || (ControllerIdle(s) && s.SerialQuiet()); });
  out.ClearProgress();
  if (LinkSession::Interrupted()) {
    // The protocol's Finish puts the link back to its own rate, parity and text mode.
    const std::string stopped = "stopped (" + LinkSession::InterruptName() + ")";
    s.session->controller->StopAll(stopped);
    s.DrainSerial(1000);
    return finished(InterruptedExit("program"), stopped);
  }
  if (!ended) {
    const std::string shown = RunPrinter::WithoutSpinner(s.status.PanelText(0));
    const std::string timedOut =
        "no end within the --timeout of " + TimeoutText(link.timeoutSeconds) + " s";
    // Stopped through its protocol's Finish, as an interrupted run is: nothing more goes out.
    if (s.session->prg->RunActive())
      s.session->prg->DropRun(programmer::FailReason::TimeLimit, timedOut,
                              RunController::DropLog::None);
    s.session->controller->StopAll();
    s.DrainSerial(1000);
    Error("program: no end after " + TimeoutText(link.timeoutSeconds) +
          " s (--timeout); the status line shows \"" + shown + "\"");
    return finished(kExitTimeout, timedOut);
  }
  s.DrainSerial();
  const auto count = [&](std::initializer_list<programmer::RunResult> results) {
    return static_cast<std::size_t>(
        std::count_if(outcomes.begin(), outcomes.end(), [&](const programmer::RunOutcome& o) {
          return std::find(results.begin(), results.end(), o.result) != results.end();
        }));
  };
  const std::size_t done =
      count({programmer::RunResult::Programmed, programmer::RunResult::Erased});
  const auto notProgrammed = [&] {
    Error("program: " + std::to_string(modules - done) + " of " + std::to_string(modules) +
          " module(s) not programmed");
  };
  if (s.quitAsked) {
    // Firmware for another type in a module is what the question guards against: the hint
    // points at the file and the module, never at forcing it in.
    Error("program: the firmware is not made for this module's type; the run ends there, as "
          "the window closes: check that the file and the module belong together");
    notProgrammed();
    return finished(kExitFailed,
                    "the firmware is not made for this module's type; the run ends there");
  }
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
  if (outcomes.empty()) {
    const std::string why =
        "nothing was programmed (the status line shows \"" + s.status.PanelText(0) + "\")";
    Error("program: " + why);
    return finished(kExitFailed, why);
  }
  notProgrammed();
  return finished(kExitFailed, "not started");
}

} // namespace vk::cli
