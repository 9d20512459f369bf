#pragma once
// Settings in an INI file, written as QSettings writes its INI files (values outside a group in
// [General], "CAN/Backend" as Backend= under [CAN]), so the window built with Qt and vkprog
// built without it share one file. Only plain string values are understood.

#include "platform/Settings.h"

#include <map>
#include <string>

namespace vk::platform {

// The user's settings file where QSettings keeps it on Linux:
// $XDG_CONFIG_HOME (or ~/.config)/Velkor ApS./Velkor Programmer.ini.
std::string UserIniPlace();

class IniSettings : public ISettings {
public:
  explicit IniSettings(std::string fileName) : fileName_(std::move(fileName)) {}

  const std::string& FileName() const { return fileName_; }

  // The file is read again on every call, so values another program wrote are seen.
  std::optional<std::string> Read(const std::string& name) const override;
  bool Write(const std::string& name, const std::string& value) override;
  std::vector<std::string> Names(const std::string& group) const override;

private:
  using Sections = std::map<std::string, std::map<std::string, std::string>>;
  Sections Load() const;

  std::string fileName_;
};

} // namespace vk::platform
