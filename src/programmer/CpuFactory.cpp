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

#include "cpu/ProgrammerUnit.h"

#include "protocol/ProtocolKinds.h"

namespace vk::programmer {

namespace {
using Make = std::unique_ptr<ProtocolBase> (*)(platform::IEventLoop&, link::ICanChannel*);

// The kind's link column says what the protocol is given: a CAN protocol its channel, a serial
// one only the loop (it is handed the line when a run begins).
template <class Cpu, LinkKind Link>
std::unique_ptr<ProtocolBase> Create(platform::IEventLoop& loop, link::ICanChannel* can) {
  if constexpr (Link == LinkKind::Can)
    return std::make_unique<Cpu>(loop, can);
  else
    return std::make_unique<Cpu>(loop);
}

struct KindClass {
  std::uint8_t kind;
  Make make;
};

constexpr KindClass kClasses[] = {
#define VK_PROTOCOL_KIND(code, id, cls, name, plan, saveExt, filter, opFirst, erase, link, ...)    \
  {id, &Create<cls, LinkKind::link>},
#include "protocol/ProtocolKinds.def"
#undef VK_PROTOCOL_KIND
};
} // namespace

CpuFactory MakeCpuFactory(link::ICanChannel* can) {
  return [can](std::uint8_t kind, platform::IEventLoop& loop) -> std::unique_ptr<ProtocolBase> {
    for (const auto& c : kClasses)
      if (c.kind == kind) return c.make(loop, can);
    // A code with no row: the backplane protocol, as for the entries behind the unit.
    return Create<TCPU_BACKPLANE, LinkKind::Serial>(loop, can);
  };
}

namespace {
struct KindEstimate {
  std::uint8_t kind;
  RunEstimate (*estimate)(const EstimateInput&);
};

// Every class in the table must give its estimate: a kind whose class has none does not compile.
constexpr KindEstimate kEstimates[] = {
#define VK_PROTOCOL_KIND(code, id, cls, ...) {id, &cls::Estimate},
#include "protocol/ProtocolKinds.def"
#undef VK_PROTOCOL_KIND
};
} // namespace

RunEstimate EstimateRun(std::uint8_t kind, EstimateInput in) {
  constexpr double kTick = 0.010; // the run controller's tick: a phase change waits for one
  // vkprog itself: from the port's opening to the run's first byte (traced: about 0.23 s).
  constexpr double kStartSeconds = 0.25;
  in.elapsed = kStartSeconds + 8 * kTick;
  if (KindOf(kind).OpFirst && !in.direct)
    in.elapsed += ProgrammerUnit::kTiming.afterSelectBeforeRunMs / 1000.0;
  for (const auto& e : kEstimates)
    if (e.kind == kind) return e.estimate(in);
  // A code with no row is served as a backplane module, as the factory serves it.
  return TCPU_BACKPLANE::Estimate(in);
}

} // namespace vk::programmer
