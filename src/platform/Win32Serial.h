#pragma once
// Real serial devices on Windows: the communications API on "\\.\COMn", opened without sharing
// (so the system itself keeps a second program off the line). Reads never block: the read
// time-outs make ReadFile return at once with what has arrived, and the worker looks at the
// input queue while it waits. Writes wait at most the time the bytes need at the line's rate,
// and a second more.
//
// Which ports exist comes from the registry's list of serial ports
// (HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM), kept by the drivers; listing opens no
// device. Explicit entries of the port map (settings "SerialPorts/COMn", VK_SERIAL_PORTS) give
// a number another device name.

#include "platform/PortMap.h"
#include "platform/SerialDevice.h"

#include <set>

namespace vk::platform {

class Win32SerialPorts : public ISerialPorts {
public:
  static constexpr const char* kListKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

  explicit Win32SerialPorts(PortMap map) : map_(std::move(map)) {}

  // The explicit entry, else "\\.\COMn".
  std::string DeviceOf(int portNo) const override;
  // Present when the system lists the port's COM name (an entry naming another device is taken
  // as present); nothing is opened.
  PortState Probe(int portNo) override;
  OpenResult Open(int portNo) override;

  const PortMap& Map() const { return map_; }

  // The port names ("COM3") the registry lists.
  static std::set<std::string> ListedPorts();

private:
  PortMap map_;
};

} // namespace vk::platform
