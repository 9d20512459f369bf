#pragma once
// The real platform this build runs on, under one set of names for the programs that use it
// (vkprog, the window): the event loop, the settings store, the serial ports and the CAN bus.
//
//   built with Qt (VK_WITH_QT)   Qt's event loop, QSettings, CAN over Qt SerialBus
//   built without Qt             the standard library's event loop; settings in the registry
//                                (Windows) or the INI file QSettings would use (elsewhere);
//                                CAN through PCAN-Basic (Windows)
//   Windows / elsewhere          the communications API / termios serial devices

#include "platform/CanBus.h"
#include "platform/PortMap.h"
#include "platform/Settings.h"

#if VK_WITH_QT
#include "platform/QtEventLoop.h"
#include "platform/SettingsStore.h"
#else
#include "platform/StdEventLoop.h"
#endif
#ifdef _WIN32
#include "platform/Win32Serial.h"
#else
#include "platform/PosixSerial.h"
#endif

#include <memory>
#include <string>
#include <vector>

namespace vk::platform {

#ifdef _WIN32
using NativeSerialPorts = Win32SerialPorts;
#else
using NativeSerialPorts = PosixSerialPorts;
#endif

#if VK_WITH_QT
using NativeEventLoop = QtEventLoop;
using NativeSettings = SettingsStore;
#else
using NativeEventLoop = StdEventLoop;

// The settings where the Qt build keeps them: VK_SETTINGS_FILE names an INI file of one's
// choosing (tests); else the registry (Windows) or
// $XDG_CONFIG_HOME/Velkor ApS./Velkor Programmer.ini.
class NativeSettings : public ISettings {
public:
  static constexpr const char* kEnvironmentVariable = "VK_SETTINGS_FILE";

  NativeSettings();
  ~NativeSettings() override;

  static std::string DefaultPlace();
  std::string Place() const { return place_; }

  std::optional<std::string> Read(const std::string& name) const override {
    return inner_->Read(name);
  }
  bool Write(const std::string& name, const std::string& value) override {
    return inner_->Write(name, value);
  }
  std::vector<std::string> Names(const std::string& group) const override {
    return inner_->Names(group);
  }

private:
  std::unique_ptr<ISettings> inner_;
  std::string place_;
};
#endif

// The port map of the settings and the environment. On Windows every number of the port list
// names its own "\\.\COMn" unless an entry gives it another device.
PortMap NativePortMap(const ISettings* settings, std::vector<std::string>* problems = nullptr);

// The CAN bus of the choice.
std::unique_ptr<ICanBus> MakeCanBus(const CanBusChoice& choice);
// false, with the reason in words, when this build or machine cannot have that bus at all
// (its library is not installed, the build has no such back end).
bool CanBusAvailable(const CanBusChoice& choice, std::string* why);

} // namespace vk::platform
