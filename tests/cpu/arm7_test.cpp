// The ARM7 entry: a run through every state without a word on the link.

#include "cpu/ARM7.h"
#include "programmer/CpuFactory.h"
#include "support/HexText.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

using vk::cpu::TCPU_ARM7;
using vk::programmer::CpuState;
using vk::test::SimWorld;

TEST(Arm7, RunsToDoneInEightTicksWithoutTraffic) {
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
    std::vector<std::pair<CpuState, int>> seen;
    int ticks = 0;
    while (p.prg.Cpu().State != CpuState::Done && ticks < 100) {
      p.Tick();
      ++ticks;
      seen.emplace_back(p.prg.Cpu().State, p.prg.Cpu().Phase);
    }
    EXPECT_EQ(ticks, 8) << "full image: " << fullImage;
    EXPECT_EQ(seen, (std::vector<std::pair<CpuState, int>>{{CpuState::Initialize, 1},
                                                           {CpuState::Erase, 0},
                                                           {CpuState::Erase, 1},
                                                           {CpuState::Erase, 2},
                                                           {CpuState::Program, 0},
                                                           {CpuState::Program, 1},
                                                           {CpuState::Program, 2},
                                                           {CpuState::Done, 0}}));
    p.Tick(); // the controller reports the result
    EXPECT_EQ(p.prg.Cpu().State, CpuState::Idle);
    EXPECT_EQ(p.log.Lines(), std::vector<std::string>{"CPU BOOT #0 Programmed OK"});
    w.loop.RunFor(50);
    EXPECT_TRUE(w.Written().empty());
    EXPECT_EQ(w.line->Events().size(), eventsBefore) << "not even a setting changed";
  }
}
