#include "cpu/ARM7.h"

namespace vk::cpu {

using programmer::CpuState;
using programmer::RunPhase;

void TCPU_ARM7::InitBegin(link::IProtocolLink* link, const std::string& param) {
  ProtocolBase::InitBegin(link, param);
  Fail(programmer::FailReason::NoProtocol);
}

// Unlike the defaults these leave Step and Counter as they are: nothing reads them.
void TCPU_ARM7::EraseBegin() { Phase = RunPhase::Step; }
void TCPU_ARM7::EraseStep() { Phase = RunPhase::End; }
void TCPU_ARM7::EraseEnd() {
  State = CpuState::Program;
  Phase = RunPhase::Begin;
}
void TCPU_ARM7::ProgramBegin() { Phase = RunPhase::Step; }
void TCPU_ARM7::ProgramStep() { Phase = RunPhase::End; }
void TCPU_ARM7::Finish() {}

} // namespace vk::cpu
