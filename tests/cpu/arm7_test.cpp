// The ARM7 entry: no boot-loader protocol, so a run fails without a word on the link.

#include "cpu/ARM7.h"
#include "programmer/CpuFactory.h"
#include "support/HexText.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

using vk::cpu::TCPU_ARM7;
using vk::programmer::CpuState;
using vk::test::SimWorld;

// Nothing can be written to an ARM7: the run fails at its first tick with that reason, never
// reported as programmed.
TEST(Arm7, FailsAtOnceWithoutTraffic) {
  for (const bool fullImage : {false, true}) {
    SimWorld w;
    vk::test::Programmer p(w, vk::programmer::MakeCpuFactory(nullptr));
    p.timer->SetEnabled(false); // ticked by hand below
    // No catalogue entry carries kind 6; give one to an entry.
    for (auto& n : p.prg.Nodes())
      if (n.Name == "CPU BOOT") n.CpuKind = 6;
    p.Select("CPU BOOT");
    ASSERT_NE(dynamic_cast<TCPU_ARM7*>(&p.prg.Cpu()), nullptr);
    if (fullImage) {
      ASSERT_TRUE(p.LoadText(vk::test::HexText(0, vk::test::Pattern(0x10000))));
    }
    w.loop.RunFor(50);
    const auto eventsBefore = w.line->Events().size();

    p.Program(0);
    p.Tick();
    EXPECT_EQ(p.prg.Cpu().State, CpuState::Failed) << "full image: " << fullImage;
    p.Tick(); // the controller reports the result
    EXPECT_EQ(p.prg.Cpu().State, CpuState::Idle);
    EXPECT_EQ(p.log.Lines(), std::vector<std::string>{"CPU BOOT #0 Failed"});
    EXPECT_EQ(p.prg.LastOutcome().reason, vk::programmer::FailReason::NoProtocol);
    w.loop.RunFor(50);
    EXPECT_TRUE(w.Written().empty());
    EXPECT_EQ(w.line->Events().size(), eventsBefore) << "not even a setting changed";
  }
}
