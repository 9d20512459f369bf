// vkprog read and verify: the module's flash read back through the window's own engine, into a
// file (File > Read from Module) or compared with files, nothing erased or written.

#include "app/FileCommands.h"
#include "cli/Args.h"
#include "cli/Commands.h"
#include "cli/DryRun.h"
#include "cli/InputFiles.h"
#include "cli/LinkHelp.h"
#include "cli/LinkSession.h"
#include "cli/ProgressDisplay.h"
#include "cli/RunOutput.h"
#include "cli/RunReport.h"
#include "cli/TargetName.h"
#include "image/FirmwareImage.h"
#include "image/RawBinary.h"
#include "protocol/ProtocolKinds.h"

#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>

namespace vk::cli {

namespace {

using programmer::RunResult;

double SteadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// "1000-1FFF": image addresses, the last one included.
std::pair<std::uint32_t, std::uint32_t> ParseAddressRange(const std::string& text) {
  const auto dash = text.find('-');
  if (dash == std::string::npos || dash == 0 || dash + 1 == text.size())
    throw UsageError("--range: \"" + text + "\" is not FIRST-LAST in hexadecimal (e.g. 1000-1FFF)");
  const auto first = static_cast<std::uint32_t>(ParseHex(text.substr(0, dash), "--range", 0xFFFF));
  const auto last = static_cast<std::uint32_t>(ParseHex(text.substr(dash + 1), "--range", 0xFFFF));
  if (first > last)
    throw UsageError("--range: the first address " + text.substr(0, dash) +
                     " lies above the last " + text.substr(dash + 1));
  return {first, last + 1};
}

struct ReadRequest {
  LinkOptions link;
  const programmer::CatalogueEntry* entry = nullptr;
  int address = 0;
  std::optional<std::pair<std::uint32_t, std::uint32_t>> range;
  std::optional<std::string> report;
  bool quiet = false;
  std::vector<std::string> files;
  std::optional<std::uint32_t> binaryBase;
};

ReadRequest ReadRequestOf(const std::vector<std::string>& argv, const std::string& command) {
  auto valued = LinkValuedOptions();
  valued.insert({"target", "address", "report"});
  if (command == "read") valued.insert("range");
  if (command == "verify") valued.insert("binary-base");
  auto flags = BootLoaderFlags();
  flags.insert("quiet");
  Args args(argv, valued, flags);
  ReadRequest r;
  r.link = ReadLinkOptions(args, 300);
  const auto target = args.Value("target");
  if (!target) throw UsageError("--target is required (a name from vkprog targets)");
  r.entry = &ResolveTarget(*target);
  if (!programmer::KindOf(r.entry->CpuKind).ReadsBack)
    throw UsageError("--target: " + std::string(r.entry->Name) +
                     " cannot be read back; the targets that can: " + ReadableTargets());
  if (ResolvesToCan(r.link.port))
    throw UsageError("--port PCAN: " + std::string(r.entry->Name) +
                     " is not reached over CAN; give its serial port");
  if (auto a = args.Value("address"))
    r.address = static_cast<int>(ParseNumber(*a, "--address", 255));
  if (auto text = args.Value("range")) r.range = ParseAddressRange(*text);
  r.files = args.Positional();
  if (command == "read" && r.files.size() != 1) throw UsageError("read takes one output file name");
  // Standard output carries the status lines and the log.
  if (command == "read" && r.files.front() == "-")
    throw UsageError("read writes its file by name (- is standard output, where the log goes)");
  if (command == "verify" && r.files.empty()) throw UsageError("name the firmware file(s)");
  r.binaryBase = ReadBinaryBase(args, r.files);
  r.report = args.Value("report");
  if (r.report && r.report->empty()) throw UsageError("--report needs a file name");
  const auto outputs = [&](const std::string& option, const std::string& path) {
    if (command == "verify") InputFiles::RefuseAsOutput(option, path, r.files);
    if (command == "read" && SameFile(path, r.files.front()))
      throw UsageError(option + " and the output name the same file");
  };
  if (r.link.trace) outputs("--trace", *r.link.trace);
  if (r.report) outputs("--report", *r.report);
  r.quiet = args.Has("quiet");
  return r;
}

// The one run of read or verify, from the session to the exit code.
int ReadOrVerify(const std::vector<std::string>& argv, const std::string& command) {
  const ReadRequest request = ReadRequestOf(argv, command);
  const LinkOptions& link = request.link;
  const bool verify = command == "verify";
  std::unique_ptr<ProgramReport> report;
  // Verify names the files compared with, read the file the module's bytes go to.
  if (request.report)
    report = std::make_unique<ProgramReport>(*request.report, std::string(request.entry->Name),
                                             request.files, link.port);
  if (report) {
    report->SetCommand(command);
    report->NamePort(link.port);
  }
  const auto neverBegan = [&](const std::string& reason) {
    if (report) report->FailTheRest({request.address}, reason);
  };
  std::unique_ptr<InputFiles> inputs;
  if (verify) {
    try {
      inputs = std::make_unique<InputFiles>(request.files, request.binaryBase);
    } catch (const std::exception& e) {
      neverBegan(e.what());
      throw;
    }
    if (std::string why; !inputs->AllFirmware(command, &why)) {
      neverBegan(why);
      return kExitFailed;
    }
  }

  EnsureCoreApplication();
  std::unique_ptr<LinkSession> session;
  try {
    session = std::make_unique<LinkSession>(link, command, false);
  } catch (const std::exception& e) {
    neverBegan(e.what());
    throw;
  }
  LinkSession& s = *session;
  if (report) report->SetLink("COM" + std::to_string(s.Port().portNo), s.Port().device, {});
  ProgressDisplay progress(stderr, request.quiet ? ProgressDisplay::Style::None
                                   : ::isatty(2) != 0 && link.verbose < 2
                                       ? ProgressDisplay::Style::Bar
                                       : ProgressDisplay::Style::Lines);
  RunPrinter out(s, &progress, link.verbose);

  std::optional<programmer::RunOutcome> outcome;
  const double started = SteadySeconds();
  s.session->prg->OnModuleDone = [&](const programmer::RunOutcome& o) {
    outcome = o;
    out.ModuleDone(o.result == RunResult::Read || o.result == RunResult::Same);
  };

  s.Start(verify ? inputs->Copies() : std::vector<std::string>{});
  s.ApplyTargetPage();
  s.ClickTarget(std::string(request.entry->Name));
  s.address.SetItemIndex(request.address);
  auto& prg = *s.session->prg;
  const auto [from, end] = request.range.value_or(prg.RegionInImage());
  const image::FirmwareImage& loaded = s.session->image;
  if (verify)
    out.SetByteRange(loaded.MemStart(), loaded.MemEnd());
  else
    out.SetByteRange(from, end);
  // A flash above the 64 KiB image (Cortex-M3 Flash) is named by its full addresses.
  const auto regionStart = static_cast<std::uint32_t>(request.entry->RegionStart);
  const bool full = regionStart >= programmer::kImageSize;
  const auto setImage = [&](std::uint32_t first, std::uint32_t last) {
    const std::uint32_t base = full ? programmer::PlacementBase(loaded.Window(), regionStart) : 0;
    report->SetImage(image::TCRC32().StandardCrc(loaded.Image() + first, last - first),
                     base + first, base + last, full ? 8 : 4);
  };
  if (report && verify && !loaded.IsEmpty()) {
    setImage(loaded.MemStart(), loaded.MemEnd());
    report->SetFiles(LoadImageToWrite(*inputs, *request.entry).loadedFiles);
  }
  if (verify && s.session->image.IsEmpty()) {
    Error(command + ": the files hold no data; nothing to compare");
    neverBegan("the files hold no data; nothing to compare");
    return kExitFailed;
  }
  const bool began = verify ? s.session->controller->CompareModule()
                            : s.session->controller->ReadModule(from, end);
  if (!began) {
    const std::string why =
        "the run could not start (the status line shows \"" + s.status.PanelText(0) + "\")";
    Error(command + ": " + why);
    neverBegan(why);
    return kExitFailed;
  }
  const bool ended = s.RunUntil([&] { return ControllerIdle(s) && s.SerialQuiet(); });
  out.ClearProgress();
  const auto finished = [&](int code, const std::string& rest) {
    if (outcome && report) {
      ProgramReport::Module m;
      m.address = outcome->module;
      const bool failed = outcome->result == RunResult::Failed;
      m.result = failed ? "failed" : outcome->result == RunResult::Read ? "read" : "same";
      m.reason = failed ? programmer::FailureText(*outcome) : "";
      m.bytes = outcome->bytesVerified; // read, or compared; nothing written
      m.bitRate = outcome->bitRate;
      m.seconds = SteadySeconds() - started;
      m.verified = outcome->verified;
      report->Add(m);
    }
    neverBegan(rest);
    for (const std::string& failure : {s.TraceFailure(), report ? report->Failure() : ""})
      if (!failure.empty()) {
        Error(command + ": " + failure + " (the record of this run is incomplete)");
        if (code == kExitOk) code = kExitFailed;
      }
    return code;
  };
  if (LinkSession::Interrupted()) {
    const std::string stopped = "stopped (" + LinkSession::InterruptName() + ")";
    s.session->controller->StopAll(stopped);
    s.DrainSerial(1000);
    return finished(InterruptedExit(command), stopped);
  }
  if (!ended) {
    const std::string timedOut = StopAtTimeout(s, link.timeoutSeconds);
    Error(command + ": no end after " + TimeoutText(link.timeoutSeconds) + " s (--timeout)");
    return finished(kExitTimeout, timedOut);
  }
  s.DrainSerial();
  if (!outcome) return finished(kExitFailed, "not started");
  if (outcome->result == RunResult::Failed) {
    Error(outcome->entry + " #" + std::to_string(outcome->module) +
          " Failed: " + programmer::FailureText(*outcome));
    const bool differs = outcome->reason == programmer::FailReason::VerifyFailed;
    return finished(verify && differs ? kExitDiffers : kExitFailed, "");
  }
  if (!verify) {
    const std::string& name = request.files.front();
    try {
      if (image::NamesRawBinary(name))
        image::SaveRawBinary(name, s.session->image.Image(), from, end);
      else if (app::SavesAsIntelHex(name))
        s.session->image.SaveIntelHex(name, from, end);
      else
        s.session->image.SaveSRecords(name, from, end);
    } catch (const image::FileWriteError& e) {
      Error(command + ": " + e.what());
      return finished(kExitFailed, "");
    }
    if (report) setImage(from, end);
  }
  return finished(kExitOk, "");
}

} // namespace

int RunRead(const std::vector<std::string>& argv) { return ReadOrVerify(argv, "read"); }
int RunVerify(const std::vector<std::string>& argv) { return ReadOrVerify(argv, "verify"); }

} // namespace vk::cli
