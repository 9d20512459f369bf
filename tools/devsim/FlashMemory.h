#pragma once
// Flash as the simulated chips program it: a write only clears bits, so a byte written over
// flash that is not erased does not come out as written.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vk::devsim {

// Programs `count` bytes at `address` of `flash` and widens [lowest, highest] over them; returns
// the first address that did not take its byte (not erased there), if any.
inline std::optional<std::uint32_t> ProgramFlash(std::uint8_t* flash, std::uint32_t address,
                                                 const std::uint8_t* data, std::size_t count,
                                                 std::uint32_t& lowest, std::uint32_t& highest) {
  std::optional<std::uint32_t> notErased;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t a = address + static_cast<std::uint32_t>(i);
    flash[a] &= data[i];
    if (flash[a] != data[i] && !notErased) notErased = a;
  }
  if (count > 0) {
    lowest = std::min(lowest, address);
    highest = std::max(highest, address + static_cast<std::uint32_t>(count) - 1);
  }
  return notErased;
}

} // namespace vk::devsim
