#pragma once
// The settings kept with QSettings, organisation "Velkor ApS.", application "Velkor Programmer".
//
// On Windows: the registry, HKEY_LOCAL_MACHINE\Software\Velkor ApS.\Velkor Programmer.
// Elsewhere: an INI file, by default $XDG_CONFIG_HOME/Velkor ApS./Velkor Programmer.ini
// (~/.config/... when XDG_CONFIG_HOME is not set). The environment variable VK_SETTINGS_FILE
// names another file; tests use it so that they never touch the user's settings.
//
// Machine-wide settings come first for the values that are the machine's policy
// ("AllowUntypedProgram"): where the machine-wide settings hold such a value, the user's file
// cannot override it. They are QSettings' system scope: on Linux
// /etc/xdg/Velkor ApS./Velkor Programmer.ini (the first folder of $XDG_CONFIG_DIRS); on Windows
// the same registry key. The environment variable VK_SYSTEM_SETTINGS_FILE names another file.
//
// Values the program keeps: "PORT" (the chosen port, "COM3"), "AllowUntypedProgram",
// "WindowGeometry", "Speed" and "Address" (the window as it was left),
// "SerialPorts/COMn" (a port's device, see PortMap.h), "CAN/Backend" and "CAN/Interface"
// (CanBus.h).

#include "platform/Settings.h"

#include <memory>

class QSettings;

namespace vk::platform {

class SettingsStore : public ISettings {
public:
  static constexpr const char* kOrganization = "Velkor ApS.";
  static constexpr const char* kApplication = "Velkor Programmer";
  static constexpr const char* kEnvironmentVariable = "VK_SETTINGS_FILE";
  static constexpr const char* kSystemEnvironmentVariable = "VK_SYSTEM_SETTINGS_FILE";
  static constexpr const char* kUntypedSetting = "AllowUntypedProgram";

  // The place VK_SETTINGS_FILE names, else the default place.
  SettingsStore();
  // An INI file of one's own choosing.
  explicit SettingsStore(const std::string& iniFile);
  ~SettingsStore() override;

  // The place used when VK_SETTINGS_FILE is not set.
  static std::string DefaultPlace();
  // Where this store keeps its values (a file name, or the registry key).
  std::string Place() const;
  // Where the machine-wide values are looked for.
  std::string MachinePlace() const;
  // Values only the machine-wide settings decide when they hold them.
  static bool IsMachinePolicy(const std::string& name);

  std::optional<std::string> Read(const std::string& name) const override;
  bool Write(const std::string& name, const std::string& value) override;
  std::vector<std::string> Names(const std::string& group) const override;
  bool DecidedByMachine(const std::string& name) const override;

private:
  std::unique_ptr<QSettings> settings_;
  std::unique_ptr<QSettings> machine_;
};

} // namespace vk::platform
