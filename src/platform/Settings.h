#pragma once
// The program's settings: string values under the company key, organisation "Velkor ApS.",
// application "Velkor Programmer". Names may hold one "/" for a group ("CAN/Backend").
// SettingsStore.h keeps them with QSettings.

#include <optional>
#include <string>
#include <vector>

namespace vk::platform {

class ISettings {
public:
  virtual ~ISettings() = default;
  // nullopt when the value is missing or the store cannot be read.
  virtual std::optional<std::string> Read(const std::string& name) const = 0;
  // false when the store could not be written.
  virtual bool Write(const std::string& name, const std::string& value) = 0;
  // The names of the values in a group, without the group ("COM5" for "SerialPorts/COM5").
  virtual std::vector<std::string> Names(const std::string& group) const = 0;
  // The value is the machine's decision (machine-wide settings hold it): the user's own
  // settings cannot change it.
  virtual bool DecidedByMachine(const std::string& name) const {
    (void)name;
    return false;
  }
};

} // namespace vk::platform
