#pragma once
// The protocol class of every CpuKind.

#include "programmer/RunController.h"

namespace vk::link {
class ICanChannel;
}

namespace vk::programmer {

// can: the CAN channel of the kinds whose link is Can (QX4T); may be null where there is none.
CpuFactory MakeCpuFactory(link::ICanChannel* can);

} // namespace vk::programmer
