#include "cli/LinkSession.h"

#include "cli/CanDiagnostics.h"
#include "cli/InputFiles.h"
#include "link/CanLink.h"
#include "platform/PortMap.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace vk::cli {

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

} // namespace

bool ResolvesToCan(const std::string& port) {
  return link::LinkKindOfEntry(port) == link::LinkKind::Can;
}

std::string SpeedList() {
  std::string list;
  for (const auto& i : app::SpeedItems()) list += (list.empty() ? "" : ", ") + i;
  return list;
}

std::uint32_t CanBitRate(const std::optional<std::string>& name) {
  const auto& table = link::CanLink::BaudTable();
  for (const auto& entry : table)
    if (name && *name == entry.Name) return entry.BitRate;
  return table[link::CanLink::kDefaultSpeedIndex].BitRate;
}

std::set<std::string> LinkValuedOptions() {
  return {"port", "speed", "can", "can-node", "can-bitrate", "trace", "timeout"};
}

std::set<std::string> LinkFlags() { return {"verbose"}; }

std::set<std::string> BootLoaderFlags() {
  auto flags = LinkFlags();
  flags.insert("direct");
  return flags;
}
LinkOptions ReadLinkOptions(const Args& args, double defaultTimeout) {
  // Started with stdout or stderr closed (2>&-), the next file opened would take its number:
  // the report, the trace or the serial device would then receive the status lines. The
  // numbers are held by /dev/null before anything is opened.
#ifndef _WIN32
  for (int fd = 0; fd <= 2; ++fd)
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
      if (null >= 0 && null != fd) ::close(null);
    }
#endif
  LinkOptions o;
  o.timeoutSeconds = defaultTimeout;
  const auto port = args.Value("port");
  if (!port || port->empty()) throw UsageError("--port is required (COMn, a device path or PCAN)");
  o.port = *port;
  o.verbose = args.Count("verbose");
  o.direct = args.Has("direct");

  if (auto speed = args.Value("speed")) {
    const auto& items = app::SpeedItems();
    if (std::find(items.begin(), items.end(), *speed) == items.end())
      throw UsageError("--speed: \"" + *speed + "\" is not one of " + SpeedList());
    o.speed = *speed;
  }
  if (auto can = args.Value("can")) {
    const auto colon = can->find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == can->size())
      throw UsageError("--can: \"" + *can + "\" is not BACKEND:INTERFACE (e.g. socketcan:can0)");
    o.canBackend = can->substr(0, colon);
    o.canInterface = can->substr(colon + 1);
    // A misspelt back end would otherwise surface as a driver error code after the start.
    const auto backends = CanBackends();
    if (!backends.empty() &&
        std::find(backends.begin(), backends.end(), *o.canBackend) == backends.end())
      throw UsageError("--can: there is no CAN back end \"" + *o.canBackend +
                       "\"; this machine's Qt offers: " + BackendList());
  }
  if (auto node = args.Value("can-node")) {
    const auto n = ParseNumber(*node, "--can-node", link::CanLink::kNodes);
    if (n < 1) throw UsageError("--can-node: CAN addresses go from 1 to 126");
    o.canNode = static_cast<int>(n);
  }
  if (auto rate = args.Value("can-bitrate")) {
    std::string name = Upper(*rate);
    if (name.rfind("CAN_BAUD_", 0) != 0) name = "CAN_BAUD_" + name;
    bool known = false;
    for (const auto& entry : link::CanLink::BaudTable()) known = known || name == entry.Name;
    if (!known)
      throw UsageError("--can-bitrate: \"" + *rate +
                       "\" is not a CAN bit rate (CAN_BAUD_1M, CAN_BAUD_500K, ... CAN_BAUD_5K)");
    o.canBitrate = name;
  }
  if (auto trace = args.Value("trace")) {
    if (trace->empty()) throw UsageError("--trace needs a file name");
    o.trace = *trace;
  }
  if (auto timeout = args.Value("timeout")) {
    char* end = nullptr;
    errno = 0;
    const double s = std::strtod(timeout->c_str(), &end);
    if (timeout->empty() || *end != '\0' || errno == ERANGE || !std::isfinite(s) || s <= 0 ||
        s > 1e6)
      throw UsageError("--timeout: \"" + *timeout + "\" is not a number of seconds above 0");
    o.timeoutSeconds = s;
  }
  return o;
}

PortChoice ResolvePort(const std::string& text, const platform::PortMap& map) {
  PortChoice c;
  c.kind = link::LinkKindOfEntry(text);
  if (c.OverCan()) return c;
  const std::string upper = Upper(text);
  if (upper.size() > 3 && upper.compare(0, 3, "COM") == 0) {
    const std::string digits = upper.substr(3);
    if (!std::all_of(digits.begin(), digits.end(),
                     [](unsigned char ch) { return std::isdigit(ch) != 0; }) ||
        digits.size() > 3)
      throw UsageError("--port: \"" + text + "\" is not COMn, a device path or PCAN");
    const int n = std::atoi(digits.c_str());
    if (n < link::SerialLink::kFirstListedPort || n > link::SerialLink::kLastListedPort)
      throw UsageError("--port: the port list goes from COM1 to COM49; give a device beyond "
                       "them by its path");
    c.portNo = n;
    c.device = map.DeviceOf(n);
    if (c.device.empty())
      throw std::runtime_error("COM" + std::to_string(n) +
                               " names no device (see vkprog ports --all)");
    return c;
  }
  if (text.find('/') == std::string::npos)
    throw UsageError("--port: \"" + text + "\" is not COMn, a device path or PCAN");

  // Opening it would fail with "not present (Is a directory)", which sends the user to plug in
  // a device that is not missing.
  if (std::error_code ec; std::filesystem::is_directory(text, ec))
    throw std::runtime_error("--port: " + text +
                             " is a directory, not a serial device (see vkprog ports)");
  c.device = text;
  // The number the port map already gives that device, so messages name the port the user
  // knows it by.
  for (const auto& [n, device] : map.Entries())
    if (n >= link::SerialLink::kFirstListedPort && n <= link::SerialLink::kLastListedPort &&
        SameFile(device, text)) {
      c.portNo = n;
      return c;
    }
  // The number the rule gives the path (/dev/ttyUSB7 is COM24), by its name even while the
  // device is unplugged, or by what it leads to (a /dev/serial/by-id link).
  const std::string normal = std::filesystem::path(text).lexically_normal().string();
  if (map.Ranges())
    for (int n = link::SerialLink::kFirstListedPort; n <= link::SerialLink::kLastListedPort; ++n) {
      const std::string ruled = platform::PortMap::RangeDevice(n);
      if (!map.Entries().count(n) && !ruled.empty() &&
          (ruled == normal || (Exists(ruled) && SameFile(ruled, text)))) {
        c.portNo = n;
        return c;
      }
    }
  // Otherwise the lowest number that names nothing on this machine, for this run only.
  for (int n = link::SerialLink::kFirstListedPort; n <= link::SerialLink::kLastListedPort; ++n)
    if (!Exists(map.DeviceOf(n))) {
      c.portNo = n;
      c.mapped = true;
      return c;
    }
  throw std::runtime_error("every number from COM1 to COM49 names a device; give " + text +
                           " one in VK_SERIAL_PORTS and use that number");
}

PortChoice CheckPort(const LinkOptions& options) {
  platform::NativeSettings store;
  ReadOnlySettings settings(store);
  std::vector<std::string> problems;
  const auto map = platform::PortMap::FromSettingsAndEnvironment(&settings, &problems);
  for (const auto& p : problems) std::fprintf(stderr, "vkprog: port map: %s\n", p.c_str());
  PortChoice port = ResolvePort(options.port, map);
  if (port.OverCan()) {
    // The interface is opened and closed again: no frame goes out.
    EnsureCoreApplication();
    const platform::CanBusChoice choice =
        options.canBackend ? platform::CanBusChoice{*options.canBackend, *options.canInterface}
                           : platform::ReadCanBusChoice(&settings);
    if (std::string why; !platform::CanBusAvailable(choice, &why))
      throw std::runtime_error(OneLine(why));
    const auto bus = platform::MakeCanBus(choice);
    const std::uint32_t bitRate = CanBitRate(options.canBitrate);
    if (!bus->Open(bitRate))
      throw std::runtime_error(CanProblem(choice, bitRate, bus->ErrorText()));
    port.device = choice.backend + ":" + choice.interface;
    return port;
  }
  auto entries = map.Entries();
  if (port.mapped) entries[port.portNo] = port.device;
  platform::NativeSerialPorts ports(platform::PortMap(entries, map.Ranges()));
  auto r = ports.Open(port.portNo);
  if (!r.device) throw std::runtime_error(OneLine(r.message));
  return port;
}

std::optional<std::string> ReadOnlySettings::Read(const std::string& name) const {
  if (auto it = written_.find(name); it != written_.end()) return it->second;
  return inner_.Read(name);
}

bool ReadOnlySettings::Write(const std::string& name, const std::string& value) {
  written_[name] = value;
  return true;
}

} // namespace vk::cli
