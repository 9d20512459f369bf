#pragma once
// The protocol class of every CpuKind.

#include "programmer/RunController.h"
#include "protocol/RunEstimate.h"

namespace vk::link {
class ICanChannel;
}

namespace vk::programmer {

// can: the CAN channel of the kinds whose link is Can (QX4T); may be null where there is none.
CpuFactory MakeCpuFactory(link::ICanChannel* can);

// What a run of one module of this kind costs (vkprog program --dry-run): vkprog's start and the
// module's selection, then the kind's protocol class's own estimate (in.elapsed is set here).
RunEstimate EstimateRun(std::uint8_t kind, EstimateInput in);

} // namespace vk::programmer
