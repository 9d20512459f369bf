#pragma once
// Which device a port number names. The selector shows "COM" and a number, as on the program's
// home platform; on Linux this stable rule turns the number into a device:
//
//   COM1  .. COM16   /dev/ttyS0   .. /dev/ttyS15    (built-in and PCI serial ports)
//   COM17 .. COM32   /dev/ttyUSB0 .. /dev/ttyUSB15  (USB serial converters: FTDI, CP210x, ...)
//   COM33 .. COM48   /dev/ttyACM0 .. /dev/ttyACM15  (USB CDC-ACM devices)
//   any number       an explicit entry, which wins over the ranges
//
// Explicit entries come from the settings (values "SerialPorts/COMn" = device path) and then
// from the environment variable VK_SERIAL_PORTS ("COM5=/dev/pts/3;COM49=/dev/serial/by-id/..."),
// which wins over the settings. So any path can be given a number: a pseudo-terminal, a stable
// /dev/serial/by-id name, a device outside the ranges. The port list looks at COM1 .. COM49.

#include <map>
#include <string>
#include <vector>

namespace vk::platform {

class ISettings;

class PortMap {
public:
  static constexpr const char* kEnvironmentVariable = "VK_SERIAL_PORTS";
  static constexpr const char* kSettingsGroup = "SerialPorts";

  // ranges: whether the ttyS/ttyUSB/ttyACM ranges apply (tests switch them off so that the
  // machine's own ports do not show up).
  explicit PortMap(std::map<int, std::string> entries = {}, bool ranges = true);

  // The entries of the settings, then those of VK_SERIAL_PORTS. Malformed entries are skipped
  // and described in problems.
  static PortMap FromSettingsAndEnvironment(const ISettings* settings,
                                            std::vector<std::string>* problems = nullptr);

  // "COM5=/dev/pts/3;6=/dev/ttyUSB1": entries separated by ";" or line breaks; "COM" optional.
  static std::map<int, std::string> ParseEntries(const std::string& text,
                                                 std::vector<std::string>* problems = nullptr);

  // The device of COM<portNo>, "" when the number names none.
  std::string DeviceOf(int portNo) const;
  // The device the ranges give the number, "" outside them.
  static std::string RangeDevice(int portNo);

  const std::map<int, std::string>& Entries() const { return entries_; }
  bool Ranges() const { return ranges_; }

private:
  std::map<int, std::string> entries_;
  bool ranges_;
};

} // namespace vk::platform
