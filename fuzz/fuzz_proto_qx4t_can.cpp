// The QX4T CAN loader over the CAN link: the link's start, the start frame, Erase, then each
// block as its address frame and 16 data frames, against the loader's model on the bus.

#include "ProtocolTarget.h"

#include "cpu/QX4T.h"

namespace {

using namespace vk;
using cpu::TCPU_QX4T;

const fuzz::ProtocolTarget kTarget{
    .entry = "QX4T - PCAN",
    .acknowledgements = std::string_view("\x00\x01", 2),
    .makeCanNode =
        [](FuzzedDataProvider& in) {
          devsim::Qx4tCanConfig c;
          c.eraseMs = in.ConsumeIntegralInRange<devsim::Millis>(0, 32000);
          c.blockMs = in.ConsumeIntegralInRange<devsim::Millis>(0, 40);
          auto node = std::make_unique<devsim::Qx4tCanLoader>(c);
          for (const auto& rule : fuzz::FaultRules(in, {"START", "ERASE", "BLOCK", ""},
                                                   {"silent", "X", "E", "R", "garbage", "hangup"}))
            VK_REQUIRE(node->AddFault(rule));
          return node;
        },
    .runLimitMs =
        [](int records) {
          constexpr auto t = TCPU_QX4T::kTiming;
          constexpr int kFrames = 17; // a block's address frame and its 16 data frames
          const fuzz::Millis start = link::CanLink::kInitWaitMs + t.afterLinkCloseMs +
                                     t.afterStartFrameMs + t.eraseAnswerLimitMs +
                                     t.afterProgramStartMs;
          // The checksum words go in blocks of their own.
          const fuzz::Millis blocks =
              (records + 2) *
              (t.beforeBlockMs + kFrames * link::CanLink::kPollIntervalMs + t.blockAnswerLimitMs);
          return start + blocks + t.afterRunMs;
        },
    .imageFrom = 0x1000,
    .imageSlots = 16,
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return vk::fuzz::RunProtocolTarget(data, size, kTarget);
}
