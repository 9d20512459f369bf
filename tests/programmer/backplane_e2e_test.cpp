// End to end: the real serial link over a pseudo-terminal, the programmer unit simulated by a
// separate vkdevsim process, Qt's event loop in real time.

#include "support/HexText.h"
#include "support/PtyBench.h"

#include <gtest/gtest.h>

using vk::test::HexText;
using vk::test::Pattern;
using vk::test::PtyBench;

TEST(BackplaneEndToEnd, ProgramsAModuleOverAPseudoTerminal) {
  PtyBench bench({"backplane", "--module", "7:136", "--erase-ms", "200", "--no-pace"});
  ASSERT_TRUE(bench.Open());

  vk::test::Programmer p(bench.loop, bench.Comm(), bench.RunUntil());
  auto data = Pattern(0x1000);
  ASSERT_TRUE(p.LoadText(HexText(0x1000, data)));
  p.Select("QRD14");
  p.Program(7);
  ASSERT_TRUE(p.RunToEnd(30000)) << "status: " << p.status.PanelText(0);
  EXPECT_EQ(p.log.Lines(), (std::vector<std::string>{"QRD14 #7 Programmed OK"}));
  EXPECT_TRUE(bench.boxes.boxes.empty());

  // Let "G" reach the unit, then ask it what it went through: the jump table, 32 blocks and the
  // checksum word.
  bench.loop.RunFor(200);
  const std::string summary = bench.sim.Stop();
  ASSERT_TRUE(bench.sim.Ended());
  EXPECT_NE(summary.find("erase1 x1, erase2 x0, 1 load(s), 34 record(s) programmed"),
            std::string::npos)
      << summary;
  EXPECT_NE(summary.find("started x1"), std::string::npos) << summary;
}
