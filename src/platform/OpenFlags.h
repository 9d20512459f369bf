#pragma once
// Flags for ::open of the program's own files: not handed on to child programs, and on Windows
// in binary mode (its C library would otherwise translate line ends).

#include <fcntl.h>

namespace vk::platform {

#ifdef _WIN32
inline constexpr int kOpenPrivate = O_BINARY | O_NOINHERIT;
#else
inline constexpr int kOpenPrivate = O_CLOEXEC;
#endif

} // namespace vk::platform
