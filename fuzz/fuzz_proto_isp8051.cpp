// The 8051 ISP boot loader (AT89C51RX2): "U" and its echo, the erase when asked, the records
// with their echo and answer, the closing commands, against the loader's model.

#include "ProtocolTarget.h"

#include "cpu/AT89C51RX2.h"
#include "devsim/Isp8051Loader.h"

namespace {

using namespace vk;
using cpu::TCPU_ISP8051;

const fuzz::ProtocolTarget kTarget{
    .entry = "AT89C51RD2",
    .acknowledgements = "\x06.",
    .makeDevice =
        [](FuzzedDataProvider& in) {
          devsim::Isp8051Config c;
          c.echo = in.ConsumeIntegralInRange(0, 7) != 7;
          c.eraseMs = in.ConsumeIntegralInRange<devsim::Millis>(0, 120);
          c.recordMs = in.ConsumeIntegralInRange<devsim::Millis>(0, 40);
          c.locked = in.ConsumeIntegralInRange(0, 7) == 7;
          auto loader = std::make_unique<devsim::Isp8051Loader>(c);
          for (const auto& rule :
               fuzz::FaultRules(in, {"SYNC", "ERASE", "CLOSE", "END", ""},
                                {"silent", "X", "R", "L", "E", "garbage", "hangup"}))
            VK_REQUIRE(loader->AddFault(rule));
          return loader;
        },
    .runLimitMs =
        [](int records) {
          constexpr auto t = TCPU_ISP8051::kTiming;
          constexpr int kPoll = 10;
          const fuzz::Millis sync = (TCPU_ISP8051::kMaxSyncRetries + 1) *
                                    ((t.syncQuietPolls + 1) * kPoll + t.afterEchoMs);
          const fuzz::Millis erase =
              (TCPU_ISP8051::kMaxEraseRetries + 1) * (t.eraseQuietPolls + 1) * kPoll;
          const fuzz::Millis load = (records + 1 + TCPU_ISP8051::kMaxRecordRetries) *
                                    programmer::RecordLoader::kAnswerLimitMs;
          return sync + erase + load + 2 * (t.closingQuietPolls + 1) * kPoll;
        },
    .imageFrom = 0x0000,
    .imageSlots = 16,
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return vk::fuzz::RunProtocolTarget(data, size, kTarget);
}
