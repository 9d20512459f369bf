#include "cpu/ARM7.h"

namespace vk::cpu {

using programmer::CpuState;

void TCPU_ARM7::InitBegin(link::TComm* link, const std::string& param) {
  TCPU::InitBegin(link, param);
  Fail(programmer::FailReason::NoProtocol);
}

// Unlike the defaults these leave Step and Counter as they are: nothing reads them.
void TCPU_ARM7::EraseBegin() { Phase = 1; }
void TCPU_ARM7::EraseStep() { Phase = 2; }
void TCPU_ARM7::EraseEnd() {
  State = CpuState::Program;
  Phase = 0;
}
void TCPU_ARM7::ProgramBegin() { Phase = 1; }
void TCPU_ARM7::ProgramStep() { Phase = 2; }
void TCPU_ARM7::Finish() {}

} // namespace vk::cpu
