#include "platform/Native.h"

#include "platform/IniSettings.h"
#if VK_WITH_QT
#include "platform/QtCanBus.h"
#endif
#ifdef _WIN32
#include "platform/PcanBasicBus.h"
#include "platform/RegistrySettings.h"
#endif

#include <cstdlib>

namespace vk::platform {

#if !VK_WITH_QT
NativeSettings::NativeSettings() {
  const char* file = std::getenv(kEnvironmentVariable);
  if (file != nullptr && *file != '\0') {
    inner_ = std::make_unique<IniSettings>(file);
    place_ = file;
    return;
  }
#ifdef _WIN32
  auto registry = std::make_unique<RegistrySettings>();
  place_ = registry->Place();
  inner_ = std::move(registry);
#else
  place_ = DefaultPlace();
  inner_ = std::make_unique<IniSettings>(place_);
#endif
}

NativeSettings::~NativeSettings() = default;

std::string NativeSettings::DefaultPlace() {
#ifdef _WIN32
  return RegistrySettings().Place();
#else
  return UserIniPlace();
#endif
}
#endif

PortMap NativePortMap(const ISettings* settings, std::vector<std::string>* problems) {
  PortMap map = PortMap::FromSettingsAndEnvironment(settings, problems);
#ifdef _WIN32
  auto entries = map.Entries();
  for (int n = 1; n <= 49; ++n)
    if (!entries.count(n)) entries[n] = "\\\\.\\COM" + std::to_string(n);
  return PortMap(entries, false);
#else
  return map;
#endif
}

#if !VK_WITH_QT
namespace {

// A bus this build cannot have: every open fails with the reason.
class UnavailableCanBus : public ICanBus {
public:
  explicit UnavailableCanBus(std::string why) : why_(std::move(why)) {}
  bool Open(std::uint32_t) override { return false; }
  bool IsOpen() const override { return false; }
  bool Send(const CanFrame&) override { return false; }
  std::optional<CanFrame> Receive(unsigned&) override { return std::nullopt; }
  void Close() override {}
  std::string ErrorText() const override { return why_; }

private:
  std::string why_;
};

std::string NoBackend(const CanBusChoice& choice) {
#ifdef _WIN32
  return "CAN back end \"" + choice.backend + "\" is not available in this build; use peakcan";
#else
  return "CAN back end \"" + choice.backend +
         "\" is not available: this vkprog was built without Qt, which carries the CAN back ends";
#endif
}

} // namespace
#endif

std::unique_ptr<ICanBus> MakeCanBus(const CanBusChoice& choice) {
#if VK_WITH_QT
  return std::make_unique<QtCanBus>(choice);
#else
#ifdef _WIN32
  if (choice.backend == "peakcan") return std::make_unique<PcanBasicBus>(choice.interface);
#endif
  return std::make_unique<UnavailableCanBus>(NoBackend(choice));
#endif
}

bool CanBusAvailable(const CanBusChoice& choice, std::string* why) {
#if VK_WITH_QT
  (void)choice;
  (void)why;
  return true; // Qt tells when the bus is opened
#else
#ifdef _WIN32
  if (choice.backend == "peakcan") return PcanBasicBus::Available(why);
#endif
  if (why) *why = NoBackend(choice);
  return false;
#endif
}

} // namespace vk::platform
