// vkprog's ports command: the port selector's entries without a window.

#include "cli/Args.h"
#include "cli/Commands.h"
#include "link/LinkSetup.h"
#include "link/SerialLink.h"
#include "platform/Native.h"

#include <cstdio>

namespace vk::cli {

namespace {

const char* StateWords(platform::PortState state) {
  switch (state) {
  case platform::PortState::Present:
    return "";
  case platform::PortState::Busy:
    return "in use by another program";
  case platform::PortState::NoPermission:
    return "no permission (join the device's group, e.g. dialout)";
  case platform::PortState::Absent:
    return "absent";
  }
  return "";
}

void PrintPort(int portNo, const std::string& device, platform::PortState state) {
  const std::string name = "COM" + std::to_string(portNo);
  const std::string words = StateWords(state);
  std::printf("%-7s %s%s\n", name.c_str(), device.empty() ? "-" : device.c_str(),
              words.empty() ? "" : ("  (" + words + ")").c_str());
}

} // namespace

int RunPorts(const std::vector<std::string>& argv) {
  Args args(argv, {}, {"all"});
  if (!args.Positional().empty()) throw UsageError("ports takes no file names");

  platform::NativeSettings settings;
  link::LinkDevices devices(&settings);
  for (const auto& problem : devices.Problems()) Error("ports: " + problem);

  const platform::CanBusChoice can = platform::ReadCanBusChoice(&settings);
  std::printf("%-7s CAN over %s %s\n", std::string(link::kCanPortEntry).c_str(),
              can.backend.c_str(), can.interface.c_str());
  auto& ports = devices.Ports();
  if (!args.Has("all")) {
    for (const auto& port : link::FindPresentPorts(ports, link::SerialLink::kFirstListedPort,
                                                   link::SerialLink::kLastListedPort))
      PrintPort(port.PortNo, port.Device, port.State);
    return kExitOk;
  }
  // Every number the list looks at, and the explicit entries beyond it.
  for (int n = link::SerialLink::kFirstListedPort; n <= link::SerialLink::kLastListedPort; ++n)
    PrintPort(n, ports.DeviceOf(n), ports.Probe(n));
  for (const auto& [n, device] : ports.Map().Entries())
    if (n > link::SerialLink::kLastListedPort || n < link::SerialLink::kFirstListedPort)
      PrintPort(n, device, ports.Probe(n));
  std::printf("\nSettings: %s\n", settings.Place().c_str());
  return kExitOk;
}

} // namespace vk::cli
