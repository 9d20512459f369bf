// vkprog identify: what a boot loader says of its chip, as avrdude's and stm32flash's first
// lines do: the loader's version, the product, the flash size where the chip tells it, and the
// protection. Nothing is erased, written or read of the program. After the status and log lines
// on stdout, one "NAME: VALUE" line per fact:
//
//   loader: USART boot loader, protocol version 2.2
//   product ID: 0x0410 (STM32F10x medium-density)
//   protection: none (the flash can be read)
//   flash: 128 KiB (the flash size register at 0x1FFFF7E0)

#include "cli/Args.h"
#include "cli/Commands.h"
#include "cli/LinkHelp.h"
#include "cli/LinkSession.h"
#include "cli/RunOutput.h"
#include "cli/TargetName.h"
#include "protocol/ProtocolKinds.h"

#include <cstdio>
#include <optional>

namespace vk::cli {

int RunIdentify(const std::vector<std::string>& argv) {
  auto valued = LinkValuedOptions();
  valued.insert({"target", "address"});
  Args args(argv, valued, BootLoaderFlags());
  const LinkOptions link = ReadLinkOptions(args, 60);
  const auto target = args.Value("target");
  if (!target) throw UsageError("--target is required (" + ReadableTargets() + ")");
  const programmer::CatalogueEntry& entry = ResolveTarget(*target);
  if (!programmer::KindOf(entry.CpuKind).ReadsBack)
    throw UsageError(
        "--target: " + std::string(entry.Name) +
        " has no boot loader vkprog asks; the targets that have: " + ReadableTargets());
  if (ResolvesToCan(link.port))
    throw UsageError("--port PCAN: " + std::string(entry.Name) + " is reached on a serial port");
  if (!args.Positional().empty()) throw UsageError("identify takes no file names");
  int address = 0;
  if (auto a = args.Value("address")) address = static_cast<int>(ParseNumber(*a, "--address", 255));

  EnsureCoreApplication();
  LinkSession s(link, "identify", false);
  RunPrinter out(s, nullptr, link.verbose);
  std::optional<programmer::RunOutcome> outcome;
  s.session->prg->OnModuleDone = [&](const programmer::RunOutcome& o) { outcome = o; };
  s.Start({});
  s.ApplyTargetPage();
  s.ClickTarget(std::string(entry.Name));
  s.address.SetItemIndex(address);
  if (!s.session->controller->IdentifyChip()) {
    Error("identify: the run could not start (the status line shows \"" + s.status.PanelText(0) +
          "\")");
    return kExitFailed;
  }
  const bool ended = s.RunUntil([&] { return ControllerIdle(s) && s.SerialQuiet(); });
  out.ClearProgress();
  if (LinkSession::Interrupted()) {
    s.session->controller->StopAll("stopped (" + LinkSession::InterruptName() + ")");
    s.DrainSerial(1000);
    return InterruptedExit("identify");
  }
  if (!ended) {
    Error("identify: " + StopAtTimeout(s, link.timeoutSeconds));
    return kExitTimeout;
  }
  s.DrainSerial();
  if (!outcome || outcome->result != programmer::RunResult::Identified) {
    if (outcome)
      Error(outcome->entry + " #" + std::to_string(outcome->module) +
            " Failed: " + programmer::FailureText(*outcome));
    return kExitFailed;
  }
  for (const auto& fact : s.session->prg->Cpu().Identity)
    std::printf("%s: %s\n", fact.name.c_str(), fact.value.c_str());
  std::fflush(stdout);
  const std::string traceFailure = s.TraceFailure();
  if (!traceFailure.empty()) {
    Error("identify: " + traceFailure + " (the record of this run is incomplete)");
    return kExitFailed;
  }
  return kExitOk;
}

} // namespace vk::cli
