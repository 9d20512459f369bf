#include "cli/CanDiagnostics.h"

#include "cli/InputFiles.h"

#if VK_WITH_QT
#include "platform/QtCanBus.h"
#endif

namespace vk::cli {

std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::vector<std::string> CanBackends() {
#if VK_WITH_QT
  return platform::QtCanBus::Backends();
#else
  return {};
#endif
}

std::string BackendList() {
  std::string list;
  for (const auto& name : CanBackends()) list += (list.empty() ? "" : ", ") + name;
  return list;
}

std::string CanProblem(const platform::CanBusChoice& choice, std::uint32_t bitRate,
                       const std::string& reason) {
  const std::string rate = std::to_string(bitRate);
  if (choice.backend == "socketcan") {
    const std::string sys = "/sys/class/net/" + choice.interface;
    if (!Exists(sys))
      return "PCAN: there is no CAN interface " + choice.interface +
             " (socketcan); plug in the adapter (or load its driver), then: ip link set " +
             choice.interface + " up type can bitrate " + rate;
    return "PCAN: the CAN interface " + choice.interface +
           " cannot be used (down?); bring it up: ip link set " + choice.interface +
           " up type can bitrate " + rate;
  }
  return "PCAN: " + OneLine(reason) +
         "; choose the back end and interface with --can BACKEND:INTERFACE (this machine's Qt "
         "offers: " +
         BackendList() + ")";
}

} // namespace vk::cli
