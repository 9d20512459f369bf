#pragma once
// What a run of one module costs in time, as vkprog program --dry-run says it. Each protocol class
// gives its own (a static Estimate(const EstimateInput&)), from its own timing table; the kind
// table reaches it by the class column, so a kind whose class has none does not compile.

#include "platform/SerialDevice.h"

#include <cstdint>

namespace vk::programmer {

struct EstimateInput {
  std::uint32_t records = 0;                  // data records (blocks) sent
  std::uint32_t bytes = 0;                    // image bytes in them
  std::uint32_t rate = platform::kNormalRate; // the rate the image travels at (CAN: the bus's)
  std::uint32_t bootRate = 9600;              // the H8's boot rate
  bool eraseOnly = false;
  bool direct = false; // the chip on the port itself: no "OP n" before the run
  // Seconds gone before the protocol's first byte (vkprog's start, the module's selection); set
  // by the kind table's lookup, which every protocol's estimate continues from.
  double elapsed = 0;
};

struct RunEstimate {
  double wireSeconds = 0; // the image on the wire, for a run that writes one
  double runSeconds = 0;  // the whole run: the wire and every wait
};

} // namespace vk::programmer
