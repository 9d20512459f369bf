#pragma once
// Whether a serial device is there, found from the system's own device list, never by opening
// it: on Linux an open raises DTR and RTS, which resets many boards on ports nobody chose. The
// port list of the window, `vkprog ports` and the device finder all come from here. Another
// platform gives this one function its own source.
//
// Linux: a name the kernel lists in <sysfs>/class/tty is present when it has a device behind
// it (ttyS ports the 8250 driver made for absent UARTs have type 0 and do not count); a path
// the kernel does not list there (a pseudo-terminal, a named entry) is present when it is a
// character device. A present device the user may not read and write is NoPermission; one
// another program holds with a lock (as this program holds its open port) is Busy. Busy
// through TIOCEXCL alone, or a device that refuses to open, is found when the port is chosen.
// The sysfs root is /sys, or VK_SYSFS_ROOT (tests give a fake tree).

#include "platform/SerialDevice.h"

#include <string>

namespace vk::platform {

inline constexpr const char* kSysfsRootVariable = "VK_SYSFS_ROOT";

PortState ListedPortState(const std::string& devicePath);

} // namespace vk::platform
