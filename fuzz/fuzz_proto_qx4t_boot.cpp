// The QX4T serial boot loader: the rate change, "BM" and the erase it starts, the records, "GN",
// against the loader's model.

#include "ProtocolTarget.h"

#include "cpu/QX4T.h"
#include "devsim/Qx4tBootLoader.h"

namespace {

using namespace vk;
using cpu::TCPU_QX4T_BOOT;

const fuzz::ProtocolTarget kTarget{
    .entry = "QX4T - BOOT",
    .acknowledgements = "\x06.K",
    .makeDevice =
        [](FuzzedDataProvider& in) {
          devsim::Qx4tBootConfig c;
          c.eraseMs = in.ConsumeIntegralInRange<devsim::Millis>(0, 12000);
          c.recordMs = in.ConsumeIntegralInRange<devsim::Millis>(0, 40);
          auto loader = std::make_unique<devsim::Qx4tBootLoader>(c);
          for (const auto& rule : fuzz::FaultRules(in, {"BM", "GN", "END", ""},
                                                   {"silent", "X", "E", "R", "garbage", "hangup"}))
            VK_REQUIRE(loader->AddFault(rule));
          return loader;
        },
    .runLimitMs =
        [](int records) {
          constexpr auto t = TCPU_QX4T_BOOT::kTiming;
          const fuzz::Millis enter =
              t.afterRateChangeMs +
              TCPU_QX4T_BOOT::kEnterAnswers * (t.afterEnterMs + t.enterAnswerLimitMs) +
              t.afterEnteredMs;
          const fuzz::Millis load = (records + 1) * (t.beforeRecordMs + t.recordAnswerLimitMs);
          return enter + load + t.beforeStartMs + t.beforeRateBackMs + t.afterRateBackMs;
        },
    .imageFrom = 0x0000,
    .imageSlots = 16,
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return vk::fuzz::RunProtocolTarget(data, size, kTarget);
}
