#pragma once
// Windows: the settings in the registry, HKEY_LOCAL_MACHINE\Software\Velkor ApS.\Velkor
// Programmer, as the window built with Qt keeps them (a group is a subkey: "CAN/Backend" is the
// value Backend under ...\CAN). Where the machine's key cannot be written (a user without
// administrator rights), values go to the same key under HKEY_CURRENT_USER, and a value there
// wins when reading, so the user reads back what was written.

#include "platform/Settings.h"

#include <string>

namespace vk::platform {

class RegistrySettings : public ISettings {
public:
  static constexpr const char* kKey = "Software\\Velkor ApS.\\Velkor Programmer";

  // key: below HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER (tests use a key of their own).
  explicit RegistrySettings(std::string key = kKey) : key_(std::move(key)) {}

  // "HKEY_LOCAL_MACHINE\<key>".
  std::string Place() const;

  std::optional<std::string> Read(const std::string& name) const override;
  bool Write(const std::string& name, const std::string& value) override;
  std::vector<std::string> Names(const std::string& group) const override;

private:
  std::string key_;
};

} // namespace vk::platform
