// The H8 boot mode and its kernel: the rate match, the kernel's download paced by its echoes,
// the kernel's start, then the records at the kernel's rate, against the chip's model.

#include "ProtocolTarget.h"

#include "cpu/H8_3664.h"
#include "devsim/H8BootMode.h"

namespace {

using namespace vk;
using cpu::TCPU_H8_3664;

const fuzz::ProtocolTarget kTarget{
    .entry = "H8/3664",
    .kernelNo = 2,
    .acknowledgements = "\x06.",
    .makeDevice =
        [](FuzzedDataProvider& in) {
          devsim::H8BootConfig c;
          c.flashSize = 0x8000;
          c.matchZeros = in.ConsumeIntegralInRange(1, 4);
          c.recordMs = in.ConsumeIntegralInRange<devsim::Millis>(0, 40);
          auto chip = std::make_unique<devsim::H8BootMode>(c);
          for (const auto& rule : fuzz::FaultRules(in, {"SYNC", "CONFIRM", "KERNEL", "END", ""},
                                                   {"silent", "X", "E", "R", "garbage", "hangup"}))
            VK_REQUIRE(chip->Faults().Add(rule));
          return chip;
        },
    .runLimitMs =
        [](int records) {
          constexpr auto t = TCPU_H8_3664::kTiming;
          constexpr int kPoll = 10;
          // Each byte of the size and the kernel may take its whole echo limit (a missing echo
          // ends the attempt at once, so the sum is generous), then the ROM's erase.
          const fuzz::Millis attempt =
              3 * t.rateSettleMs + 2 * t.answerPolls * kPoll + 2 * t.afterConfirmMs +
              (2 + TCPU_H8_3664::kKernelSize) * (t.echoLimitMs + kPoll) + t.eraseLimitMs + kPoll;
          const fuzz::Millis load = (records + 1 + TCPU_H8_3664::kMaxRecordRetries) *
                                    programmer::RecordLoader::kAnswerLimitMs;
          return (TCPU_H8_3664::kBootRetries + 1) * attempt + load;
        },
    .imageFrom = 0x0000,
    .imageSlots = 16,
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return vk::fuzz::RunProtocolTarget(data, size, kTarget);
}
