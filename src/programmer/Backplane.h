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
  void ProgramStep() override;
  void ProgramEnd() override;

  static constexpr int kEraseWaitTicks = 2000;
  static constexpr int kMaxRetries = 5;

  // Records sent again during the current run.
  std::int32_t RetryCount = 0;

private:
  void SelectModule();
  void SendRecord();
};

} // namespace vk::programmer
