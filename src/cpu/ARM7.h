#pragma once
// TCPU_ARM7: the place of an ARM7 boot-loader protocol. It talks to no target and sends nothing
// on any link; a run walks Initialize, Erase and Program in eight ticks and ends in Done.

#include "programmer/Cpu.h"

namespace vk::cpu {

class TCPU_ARM7 : public programmer::TCPU {
public:
  using programmer::TCPU::TCPU;

  // InitBegin, InitStep and ProgramEnd are the defaults.
  void EraseBegin() override;
  void EraseStep() override;
  void EraseEnd() override;
  void ProgramBegin() override;
  void ProgramStep() override;
  void Finish() override;
};

} // namespace vk::cpu
