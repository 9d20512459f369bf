#include "programmer/CpuFactory.h"

#include "programmer/Backplane.h"
// Protocol headers (one per class) go here.
#include "cpu/AT89C51RX2.h"
#include "cpu/P89C51RX2.h"
#include "cpu/H8_3664.h"
#include "cpu/Cortex_M3.h"
#include "cpu/ARM7.h"
#include "cpu/QX4T.h"

namespace vk::programmer {

CpuFactory MakeCpuFactory(link::TUSB2CAN* can) {
  (void)can;
  return [can](std::uint8_t kind, platform::IEventLoop& loop) -> std::unique_ptr<TCPU> {
    (void)can;
    switch (kind) {
    // One case per protocol class; kinds without a class of their own (0, 1 and any other
    // value) are served by the backplane protocol.
    case 2:
      return std::make_unique<cpu::TCPU_AT89C51RX2>(loop);
    case 4:
      return std::make_unique<cpu::TCPU_P89C51RX2>(loop);
    case 3:
      return std::make_unique<cpu::TCPU_CORTEX>(loop);
    case 5:
      return std::make_unique<cpu::TCPU_H8_3664>(loop);
    case 6:
      return std::make_unique<cpu::TCPU_ARM7>(loop);
    case 7:
      return std::make_unique<cpu::TCPU_QX4T>(loop, can);
    case 8:
      return std::make_unique<cpu::TCPU_QX4T_BOOT>(loop);
    default:
      return std::make_unique<TCPU_BACKPLANE>(loop);
    }
  };
}

} // namespace vk::programmer
