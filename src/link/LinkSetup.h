#pragma once
// The real devices behind the links, as the settings (and the environment) choose them: the
// serial ports numbered by the port map, and the CAN back end with its driver calls. The window
// and vkprog make one and hand its parts to SerialLink and CanLink.

#include "link/pcan_usb.h"
#include "platform/Native.h"

#include <memory>

#include <string>
#include <vector>

namespace vk::link {

class LinkDevices {
public:
  // settings may be null (then only the ranges, VK_SERIAL_PORTS and the CAN defaults apply).
  explicit LinkDevices(const platform::ISettings* settings);

  platform::NativeSerialPorts& Ports() { return ports_; }
  platform::ICanBus& CanBus() { return *canBus_; }
  IPcanUsb& CanDriver() { return driver_; }
  // Port map entries that could not be understood.
  const std::vector<std::string>& Problems() const { return problems_; }

private:
  std::vector<std::string> problems_;
  platform::NativeSerialPorts ports_;
  std::unique_ptr<platform::ICanBus> canBus_;
  PcanUsbOverCanBus driver_;
};

} // namespace vk::link
