#include "protocol/ProtocolKinds.h"

#include "platform/SerialDevice.h"

#include <array>

namespace vk::programmer {

namespace {
using platform::kNormalRate;

constexpr auto kKinds = std::to_array<ProtocolKind>({
#define VK_PROTOCOL_KIND(code, id, cls, name, plan, saveExt, filter, opFirst, erase, link, writes, \
                         sums, baud, ownBaud, eraseWords, upperErase, reads, chipErase, go,        \
                         unprotect)                                                                \
  {id,   name,    plan,       saveExt,    filter, opFirst,   erase, LinkKind::link, writes, sums,  \
   baud, ownBaud, eraseWords, upperErase, reads,  chipErase, go,    unprotect},
#include "protocol/ProtocolKinds.def"
#undef VK_PROTOCOL_KIND
});
} // namespace

std::span<const ProtocolKind> ProtocolKinds() { return kKinds; }

const ProtocolKind& KindOf(std::uint8_t kind) {
  for (const auto& k : kKinds)
    if (k.Kind == kind) return k;
  return KindOf(kKindBackplane);
}

} // namespace vk::programmer
