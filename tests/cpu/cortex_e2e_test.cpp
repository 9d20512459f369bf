// End to end: the Cortex-M3 blank check over the real serial link and a pseudo-terminal, the boot
// loader simulated by a separate vkdevsim process, Qt's event loop in real time. A terminal
// carries no parity, so the simulator does not ask for it (the in-process tests do).

#include "programmer/CpuFactory.h"
#include "support/PtyBench.h"

#include <gtest/gtest.h>

#include <algorithm>

using vk::test::PtyBench;

TEST(CortexEndToEnd, ChecksTheChipOverAPseudoTerminal) {
  // A program from 0x300 on: four blocks are read, nothing is erased or written. The loader sends
  // each block right behind its "y".
  PtyBench bench({"cortex", "--no-pace", "--not-blank-from", "0x300"});
  ASSERT_TRUE(bench.Open());
  vk::link::TComm& comm = bench.Comm();

  vk::test::Programmer p(bench.loop, comm, bench.RunUntil(),
                         vk::programmer::MakeCpuFactory(nullptr));
  p.Select("Cortex-M3");
  p.Program(0);
  ASSERT_TRUE(p.RunToEnd(30000)) << "status: " << p.status.PanelText(0);
  EXPECT_EQ(p.log.Lines(), (std::vector<std::string>{
                               "Cortex-M3 #0 Not blank (data at 0300-03FF), nothing written"}));
  const auto texts = p.StatusTexts();
  EXPECT_EQ(std::find(texts.begin(), texts.end(), "Erasing Module"), texts.end());
  EXPECT_TRUE(bench.boxes.boxes.empty());
  EXPECT_EQ(comm.GetBaudRate(), 115200u);
  EXPECT_EQ(comm.GetParity(), 0);
  EXPECT_FALSE(comm.IsRawMode());

  const std::string summary = bench.sim.Stop();
  ASSERT_TRUE(bench.sim.Ended());
  EXPECT_NE(
      summary.find("synchronised 1 time(s); 4 read command(s); 4 block(s) sent (0x0000 .. 0x0300)"),
      std::string::npos)
      << summary;
}
