#pragma once
// TCPU_BACKPLANE: the maker's programmer unit on the module backplane. Selects the module
// ("OP n"), identifies itself ("QV550274"), moves the link to 115200 bit/s, erases, then loads
// Intel HEX records, each answered by the unit, and closes with "G". The unit's own commands
// (selection, key, what counts as "OK") are ProgrammerUnit's; the wire story is in
// Backplane.cpp.

#include "protocol/RecordLoader.h"
#include "protocol/RunEstimate.h"

namespace vk::programmer {

struct BackplaneTiming {
  int afterHostKeyMs = 100;      // after "QV550274", before the rate is looked at
  int afterRateChangeMs = 100;   // after the link moved to 115200 bit/s
  int beforeSelectAgainMs = 500; // before "OP n" at the new rate
  int afterEraseMs = 100;        // after "erase1"/"erase2", before its answer is looked for
  int answerLimitMs = 5000;      // "OP n" or a record unanswered this long: the run fails
  // The erase unanswered this long: the run fails (2000 polls of the 10 ms tick).
  int eraseLimitMs = 20000;
  // How long the unit typically takes to answer "erase1"/"erase2" (a bench's unit; vkdevsim's
  // default): what vkprog program --dry-run counts for the erase.
  int typicalEraseMs = 1500;
};

class TCPU_BACKPLANE : public RecordLoader {
public:
  using RecordLoader::RecordLoader;

  void InitBegin(link::IProtocolLink* link, const std::string& param) override;
  void EraseBegin() override;
  void EraseStep() override;
  void ProgramBegin() override;
  void ProgramStep() override;
  void ProgramEnd() override;

  static constexpr BackplaneTiming kTiming{};
  // This protocol's run time for vkprog program --dry-run (protocol/RunEstimate.h).
  static RunEstimate Estimate(const EstimateInput& c);
  static constexpr int kMaxRetries = 5; // records sent again per run
  // An image from here on is erased with "erase2" (the unit's upper flash), else "erase1".
  static constexpr std::uint32_t kUpperEraseFrom = 0xC000;
  // For an image from imageStart: when "erase2" keeps part of what the checksum word counts
  // (the region below kUpperEraseFrom), what the run says about it; "" otherwise.
  static std::string PartialEraseWarning(std::uint32_t imageStart, std::uint32_t regionStart);

  // The steps of EraseBegin: the module is selected and the link brought to speed.
  enum class Select : std::int32_t {
    SendSelect,         // "OP n"
    AwaitSelected,      // "OK"; then "QV550274"
    ChooseRate,         // already at 115200 bit/s, or not
    ToFastRate,         // 115200 bit/s
    SelectAgain,        // "OP n" at the new rate
    Selected,           // on to EraseStep
    AwaitSelectedAgain, // "OK" at the new rate, or the run fails
  };
  // The steps of EraseStep.
  enum class Erasing : std::int32_t {
    SendErase,   // "erase1" or "erase2"
    AwaitErased, // "OK": on to programming
  };

  // Records sent again during the current run.
  std::int32_t RetryCount = 0;

private:
  // Drops stale answers, sends "OP n" and starts the clock of its answer.
  void SelectModule();
  // 'no answer to "OP n"'
  std::string NoAnswerTo() const;
};

} // namespace vk::programmer
