#pragma once
// TCPU_BACKPLANE: the maker's programmer unit on the module backplane. Selects the module
// ("OP n"), identifies itself ("QV550274"), moves the link to 115200 bit/s, erases, then loads
// Intel HEX records, each answered by the unit, and closes with "G".

#include "programmer/Cpu.h"

namespace vk::programmer {

class TCPU_BACKPLANE : public TCPU {
public:
  using TCPU::TCPU;

  void InitBegin(link::TComm* link, const std::string& param) override;
  void EraseBegin() override;
  void EraseStep() override;
  void ProgramBegin() override;
  void ProgramStep() override;
  void ProgramEnd() override;

  static constexpr int kEraseWaitTicks = 2000;
  static constexpr int kMaxRetries = 5;

  // The steps of EraseBegin: the module is selected and the link brought to speed.
  enum class Select : std::int32_t {
    SendSelect = 0,    // "OP n"
    AwaitSelected = 1, // "OK"; then "QV550274"
    ChooseRate = 2,    // already at 115200 bit/s, or not
    ToFastRate = 3,    // 115200 bit/s
    SelectAgain = 4,   // "OP n" at the new rate
    Selected = 5,      // on to EraseStep
    AwaitSelectedAgain = 6, // "OK" at the new rate, or the run fails
  };
  // The steps of EraseStep.
  enum class Erasing : std::int32_t {
    SendErase = 0,   // "erase1" or "erase2"
    AwaitErased = 1, // "OK": on to programming
  };

  // Records sent again during the current run.
  std::int32_t RetryCount = 0;

private:
  void SelectModule();
};

} // namespace vk::programmer
