#include "link/LinkSetup.h"

namespace vk::link {

LinkDevices::LinkDevices(const platform::ISettings* settings)
    : ports_(platform::NativePortMap(settings, &problems_)),
      canBus_(platform::MakeCanBus(platform::ReadCanBusChoice(settings))), driver_(*canBus_) {}

} // namespace vk::link
