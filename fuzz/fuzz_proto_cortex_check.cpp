// The Cortex-M3 check: the synchronisation, then blocks read with Read Memory until data is found
// or the checked range is blank, against ST's boot loader model. Nothing is written, so the rule
// is on what the check says: over an untouched line, "Blank" only for blank memory and "Not
// blank" only where there is data.

#include "ProtocolTarget.h"

#include "cpu/Cortex_M3.h"
#include "devsim/CortexBootLoader.h"

#include <algorithm>
#include <string_view>

namespace {

using namespace vk;
using cpu::TCPU_CORTEX;

// "Cortex-M3 #0 Blank (08000000-080020FF checked), nothing written": the last address checked,
// as an offset into the flash.
std::optional<std::uint32_t> CheckedUpTo(const std::vector<std::string>& log) {
  constexpr std::string_view kFrom = "Blank (08000000-";
  for (const auto& line : log) {
    const auto at = line.find(kFrom);
    if (at != std::string::npos)
      return std::stoul(line.substr(at + kFrom.size(), 8), nullptr, 16) - 0x08000000u;
  }
  return std::nullopt;
}

// ST's loader sends read data without a check byte unless the model adds one: data its script
// spoils is then wrong in a way no host can see, as over an altered line. Set by makeDevice.
bool dataMaySpoil = false;

void CheckWhatWasSaid(const fuzz::RunFacts& f) {
  VK_REQUIRE(f.outcome.result != fuzz::RunResult::Programmed);
  VK_REQUIRE(f.outcome.bytesWritten == 0);
  if (f.lineAltered || dataMaySpoil) return;
  const auto& memory = static_cast<const devsim::CortexBootLoader*>(f.device)->Memory();
  const auto blankUpTo = [&](std::uint32_t last) {
    return std::all_of(memory.begin(), memory.begin() + last + 1, [](auto b) { return b == 0xFF; });
  };
  if (f.outcome.result == fuzz::RunResult::Blank) {
    const auto last = CheckedUpTo(f.log);
    VK_REQUIRE(last.has_value());
    VK_REQUIRE(blankUpTo(*last));
  }
  if (f.outcome.result == fuzz::RunResult::NotBlank)
    VK_REQUIRE(!blankUpTo(TCPU_CORTEX::kLastBlock + TCPU_CORTEX::kBlockSize - 1));
}

const fuzz::ProtocolTarget kTarget{
    .entry = "Cortex-M3",
    .acknowledgements = "y",
    .makeDevice =
        [](FuzzedDataProvider& in) {
          devsim::CortexConfig c;
          c.checkByte = in.ConsumeBool();
          c.dataDelayMs = in.ConsumeIntegralInRange<devsim::Millis>(0, 300);
          auto loader = std::make_unique<devsim::CortexBootLoader>(c);
          switch (in.ConsumeIntegralInRange(0, 3)) {
          case 1:
            loader->SetNotBlankFrom(in.ConsumeIntegralInRange<std::uint32_t>(0, 0x2200));
            break;
          case 2:
            loader->PutMemory(in.ConsumeIntegralInRange<std::uint32_t>(0, 0x2200),
                              {in.ConsumeIntegralInRange<std::uint8_t>(0, 0xFE)});
            break;
          default:
            break;
          }
          dataMaySpoil = false;
          for (const auto& rule :
               fuzz::FaultRules(in, {"SYNC", "READ", "ADDRESS", "LENGTH", "DATA", ""},
                                {"silent", "X", "E", "R", "garbage", "hangup"})) {
            VK_REQUIRE(loader->Faults().Add(rule));
            if (!c.checkByte && rule.ends_with("=garbage")) dataMaySpoil = true;
          }
          return loader;
        },
    .runLimitMs =
        [](int) {
          constexpr auto t = TCPU_CORTEX::kTiming;
          constexpr int kPoll = 10;
          const fuzz::Millis sync =
              (TCPU_CORTEX::kSyncRetries + 1) * (t.syncQuietPolls + 1) * kPoll;
          const fuzz::Millis block = (TCPU_CORTEX::kMaxRereads + 1) *
                                     (4 * (t.answerQuietPolls + 1) * kPoll + t.checkByteQuietMs);
          const fuzz::Millis blocks = TCPU_CORTEX::kLastBlock / TCPU_CORTEX::kBlockSize + 1;
          return 2 * t.settleMs + (TCPU_CORTEX::kResyncs + 1) * sync + blocks * block;
        },
    .imageFrom = 0x0000,
    .imageSlots = 16,
    .check = CheckWhatWasSaid,
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return vk::fuzz::RunProtocolTarget(data, size, kTarget);
}
