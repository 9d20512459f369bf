#pragma once
// TCPU_ARM7: the place of an ARM7 boot-loader protocol. It talks to no target and sends nothing
// on any link. Since nothing can be written, a run fails at its first tick with that reason
// rather than walking to Done and being reported as programmed.

#include "protocol/ProtocolBase.h"
#include "protocol/RunEstimate.h"

namespace vk::cpu {

class TCPU_ARM7 : public programmer::ProtocolBase {
public:
  using programmer::ProtocolBase::ProtocolBase;
  // This protocol's run time for vkprog program --dry-run (protocol/RunEstimate.h).
  static programmer::RunEstimate Estimate(const programmer::EstimateInput& c);

  void InitBegin(link::IProtocolLink* link, const std::string& param) override;
  // InitStep and ProgramEnd are the defaults.
  void EraseBegin() override;
  void EraseStep() override;
  void EraseEnd() override;
  void ProgramBegin() override;
  void ProgramStep() override;
  void Finish() override;
};

} // namespace vk::cpu
