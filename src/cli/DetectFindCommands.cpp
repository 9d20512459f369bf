// vkprog detect and find: the Detect button and the device finder, each driving the window's
// own engine through headless controls.

#include "cli/Args.h"
#include "cli/Commands.h"
#include "cli/LinkSession.h"
#include "cli/RunOutput.h"
#include "protocol/Catalogue.h"

#include <cstdio>

namespace vk::cli {

using programmer::RunController;

int RunDetect(const std::vector<std::string>& argv) {
  auto valued = LinkValuedOptions();
  valued.insert("address");
  Args args(argv, valued, LinkFlags());
  const LinkOptions link = ReadLinkOptions(args, 60);
  if (!args.Positional().empty()) throw UsageError("detect takes no file names");
  // The unit that selects modules by address sits on a serial port; over CAN the run would end
  // with a misleading "no module found".
  if (ResolvesToCan(link.port))
    throw UsageError("--port: detect asks the programmer unit on a serial port; PCAN has none");
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
  s.session->ButtonPressed(RunController::kDetect);
  const bool ended = s.RunUntil([&] { return ControllerIdle(s) && s.SerialQuiet(); });
  out.ClearProgress(); // ends a status line left open on a terminal
  if (LinkSession::Interrupted()) return InterruptedExit("detect");
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
  // The search tries every rate of the list in turn; a rate given would silently do nothing.
  if (link.speed)
    throw UsageError("--speed: find tries every rate itself (" + SpeedList() + "); it takes none");
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
  if (LinkSession::Interrupted()) return InterruptedExit("find");
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
