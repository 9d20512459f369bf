#pragma once
// The folder of the running program (boot kernels and helper programs lie beside it).

#include <string>

namespace vk::platform {

// "" when the system cannot tell.
std::string ProgramFolder();

} // namespace vk::platform
