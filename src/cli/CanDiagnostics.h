#pragma once
// What vkprog says when the CAN link cannot be had: one line that names the interface and the
// remedy instead of the driver's error codes.

#include "platform/CanBus.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vk::cli {

// Message texts use "\r" between their lines; on one stderr line they become spaces.
std::string OneLine(std::string text);
// The CAN back ends this build offers; empty where it cannot tell (no Qt).
std::vector<std::string> CanBackends();
// "socketcan, virtualcan, ..."
std::string BackendList();
// One line that names the interface and what to do, instead of the driver's codes.
std::string CanProblem(const platform::CanBusChoice& choice, std::uint32_t bitRate,
                       const std::string& reason);

} // namespace vk::cli
