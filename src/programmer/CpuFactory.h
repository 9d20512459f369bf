#pragma once
// The protocol class of every CpuKind.

#include "programmer/Programmer.h"

namespace vk::link {
class TUSB2CAN;
}

namespace vk::programmer {

// can: the CAN link the QX4T protocol talks over (may be null where there is none).
CpuFactory MakeCpuFactory(link::TUSB2CAN* can);

} // namespace vk::programmer
