#include "programmer/CpuFactory.h"

#include "cpu/Backplane.h"
// The header of every protocol class named in ProtocolKinds.def.
#include "cpu/ARM7.h"
#include "cpu/AT89C51RX2.h"
#include "cpu/CortexM3Flash.h"
#include "cpu/Cortex_M3.h"
#include "cpu/H8_3664.h"
#include "cpu/P89C51RX2.h"
#include "cpu/QX4T.h"

#include <type_traits>

namespace vk::programmer {

namespace {
using Make = std::unique_ptr<ProtocolBase> (*)(platform::IEventLoop&, link::CanLink*);

// A protocol that talks over CAN is given the CAN link; the others need only the loop.
template <class Cpu>
std::unique_ptr<ProtocolBase> Create(platform::IEventLoop& loop, link::CanLink* can) {
  if constexpr (std::is_constructible_v<Cpu, platform::IEventLoop&, link::CanLink*>)
    return std::make_unique<Cpu>(loop, can);
  else
    return std::make_unique<Cpu>(loop);
}

struct KindClass {
  std::uint8_t kind;
  Make make;
};

constexpr KindClass kClasses[] = {
#define VK_PROTOCOL_KIND(code, id, cls, ...) {id, &Create<cls>},
#include "protocol/ProtocolKinds.def"
#undef VK_PROTOCOL_KIND
};
} // namespace

CpuFactory MakeCpuFactory(link::CanLink* can) {
  return [can](std::uint8_t kind, platform::IEventLoop& loop) -> std::unique_ptr<ProtocolBase> {
    for (const auto& c : kClasses)
      if (c.kind == kind) return c.make(loop, can);
    // A code with no row: the backplane protocol, as for the entries behind the unit.
    return Create<TCPU_BACKPLANE>(loop, can);
  };
}

} // namespace vk::programmer
