#include "platform/CanBus.h"

#include "platform/Settings.h"

#include <cstdlib>

namespace vk::platform {

CanBusChoice ReadCanBusChoice(const ISettings* settings) {
#ifdef _WIN32
  CanBusChoice choice{"peakcan", "usb0"};
#else
  CanBusChoice choice{"socketcan", "can0"};
#endif
  if (settings != nullptr) {
    if (auto b = settings->Read("CAN/Backend"); b && !b->empty()) choice.backend = *b;
    if (auto i = settings->Read("CAN/Interface"); i && !i->empty()) choice.interface = *i;
  }
  if (const char* b = std::getenv("VK_CAN_BACKEND"); b != nullptr && *b != '\0') choice.backend = b;
  if (const char* i = std::getenv("VK_CAN_INTERFACE"); i != nullptr && *i != '\0')
    choice.interface = i;
  return choice;
}

} // namespace vk::platform
