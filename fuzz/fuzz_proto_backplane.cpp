// The backplane programmer unit: the detection before the run ("OP n", "ID"), then the run (the
// key, the rate change, the erase, the records, "G"), against the unit's model.

#include "ProtocolTarget.h"

#include "cpu/Backplane.h"
#include "cpu/ProgrammerUnit.h"
#include "devsim/BackplaneUnit.h"

namespace {

using namespace vk;
using programmer::ModuleDetection;
using programmer::RecordLoader;
using programmer::TCPU_BACKPLANE;

constexpr int kModule = 7;
constexpr std::uint8_t kType = 145; // QRG19

// As the main controller does before a run: the detection's passes, then the run only for a
// module of the entry's type; any other finding drops the armed run with its reason.
fuzz::ProtocolTarget::Tick DetectThenRun(programmer::RunController& prg, link::SerialLink& link,
                                         platform::IEventLoop& loop) {
  auto detection = std::make_shared<ModuleDetection>(link, loop);
  detection->Start(kModule);
  prg.StartProgram();
  auto detecting = std::make_shared<bool>(true);
  return [&prg, detection, detecting](bool fromLink) {
    if (!*detecting) return prg.RunStep();
    using Result = ModuleDetection::Result;
    const Result r = detection->Tick(fromLink);
    if (r == Result::Pending) return true;
    *detecting = false;
    if (r == Result::Found && detection->Type() == kType) return true;
    prg.DropRun(r == Result::Found     ? programmer::FailReason::TypeMismatch
                : r == Result::Garbled ? programmer::FailReason::TypeUnknown
                                       : programmer::FailReason::ModuleNotFound,
                "detection", programmer::RunController::DropLog::Explained);
    return false;
  };
}

const fuzz::ProtocolTarget kTarget{
    .entry = "QRG19",
    .module = kModule,
    .acknowledgements = ".OK",
    .makeDevice =
        [](FuzzedDataProvider& in) {
          devsim::BackplaneConfig c;
          c.eraseMs = in.ConsumeIntegralInRange<devsim::Millis>(0, 22000);
          c.recordMs = in.ConsumeIntegralInRange<devsim::Millis>(0, 40);
          if (in.ConsumeBool()) c.absentReply = "OK";
          auto unit = std::make_unique<devsim::BackplaneUnit>(c);
          // Mostly the entry's module at the address; sometimes another type, or nothing there.
          const int shape = in.ConsumeIntegralInRange(0, 7);
          if (shape < 6) unit->AddModule(kModule, shape == 5 ? 136 : kType);
          for (const auto& rule : fuzz::FaultRules(in, {"OP", "ID", "QV", "ERASE", "L", "G", ""},
                                                   {"silent", "X", "E", "R", "garbage", "hangup"}))
            VK_REQUIRE(unit->Faults().Add(rule));
          return unit;
        },
    .runLimitMs =
        [](int records) {
          constexpr auto d = ModuleDetection::kTiming;
          constexpr auto b = TCPU_BACKPLANE::kTiming;
          constexpr auto r = RecordLoader::kRecordTiming;
          const fuzz::Millis detection =
              d.selectPasses * (d.beforeSelectMs + d.selectAnswerMs) + d.typeAsks * d.typeAnswerMs;
          const fuzz::Millis select =
              b.afterHostKeyMs + b.afterRateChangeMs + b.beforeSelectAgainMs + 2 * b.answerLimitMs;
          const fuzz::Millis load = b.afterEraseMs + b.eraseLimitMs +
                                    (records + 1 + TCPU_BACKPLANE::kMaxRetries) * b.answerLimitMs +
                                    r.beforeEndRecordMs + r.afterEndRecordMs;
          return detection + select + load;
        },
    .imageFrom = 0x1000,
    .imageSlots = 16,
    .start = DetectThenRun,
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return vk::fuzz::RunProtocolTarget(data, size, kTarget);
}
