#pragma once
// The protocol class of every CpuKind.

#include "programmer/RunController.h"

namespace vk::link {
class CanLink;
}

namespace vk::programmer {

// can: the CAN link the QX4T protocol talks over (may be null where there is none).
CpuFactory MakeCpuFactory(link::CanLink* can);

} // namespace vk::programmer
