#include "platform/SettingsStore.h"

#include "platform/IniSettings.h"

#include <QSettings>
#include <QStringList>

#include <cstdlib>

namespace vk::platform {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::unique_ptr<QSettings> MachineSettings() {
  const char* file = std::getenv(SettingsStore::kSystemEnvironmentVariable);
  if (file != nullptr && *file != '\0')
    return std::make_unique<QSettings>(QString::fromLocal8Bit(file), QSettings::IniFormat);
#ifdef _WIN32
  return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::SystemScope,
                                     SettingsStore::kOrganization, SettingsStore::kApplication);
#else
  return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::SystemScope,
                                     SettingsStore::kOrganization, SettingsStore::kApplication);
#endif
}

std::optional<std::string> ReadValue(QSettings& settings, const std::string& name) {
  settings.sync(); // pick up what another program (or another store) wrote
  if (!settings.contains(Q(name))) return std::nullopt;
  const QVariant value = settings.value(Q(name));
  // An INI value with a comma reads back as a list; the program's values are plain strings.
  if (value.typeId() == QMetaType::QStringList) return value.toStringList().join(",").toStdString();
  return value.toString().toStdString();
}

} // namespace

SettingsStore::SettingsStore() : machine_(MachineSettings()) {
  const char* file = std::getenv(kEnvironmentVariable);
  if (file != nullptr && *file != '\0') {
    settings_ = std::make_unique<QSettings>(QString::fromLocal8Bit(file), QSettings::IniFormat);
    return;
  }
#ifdef _WIN32
  settings_ = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::SystemScope,
                                          kOrganization, kApplication);
#else
  settings_ = std::make_unique<QSettings>(Q(DefaultPlace()), QSettings::IniFormat);
#endif
}

SettingsStore::SettingsStore(const std::string& iniFile)
    : settings_(std::make_unique<QSettings>(Q(iniFile), QSettings::IniFormat)),
      machine_(MachineSettings()) {}

SettingsStore::~SettingsStore() = default;

std::string SettingsStore::DefaultPlace() {
#ifdef _WIN32
  return std::string("HKEY_LOCAL_MACHINE\\Software\\") + kOrganization + "\\" + kApplication;
#else
  return UserIniPlace();
#endif
}

std::string SettingsStore::Place() const { return settings_->fileName().toStdString(); }

std::string SettingsStore::MachinePlace() const { return machine_->fileName().toStdString(); }

bool SettingsStore::IsMachinePolicy(const std::string& name) { return name == kUntypedSetting; }

std::optional<std::string> SettingsStore::Read(const std::string& name) const {
  if (IsMachinePolicy(name))
    if (auto value = ReadValue(*machine_, name)) return value;
  return ReadValue(*settings_, name);
}

bool SettingsStore::DecidedByMachine(const std::string& name) const {
  return IsMachinePolicy(name) && ReadValue(*machine_, name).has_value();
}

bool SettingsStore::Write(const std::string& name, const std::string& value) {
  settings_->setValue(Q(name), Q(value));
  settings_->sync();
  return settings_->status() == QSettings::NoError;
}

std::vector<std::string> SettingsStore::Names(const std::string& group) const {
  settings_->sync();
  settings_->beginGroup(Q(group));
  const QStringList keys = settings_->childKeys();
  settings_->endGroup();
  std::vector<std::string> out;
  for (const auto& k : keys) out.push_back(k.toStdString());
  return out;
}

} // namespace vk::platform
