// End to end: the real serial link over a pseudo-terminal, the 8051 boot loader simulated by a
// separate vkdevsim process, Qt's event loop in real time.

#include "programmer/CpuFactory.h"
#include "support/HexText.h"
#include "support/PtyBench.h"

#include <gtest/gtest.h>

using vk::test::HexText;
using vk::test::Pattern;
using vk::test::PtyBench;

namespace {

struct Case {
  const char* variant;
  std::uint8_t cpuKind;
  std::uint32_t userBaud;  // set on the link before the run
  const char* syncedAt;    // what the loader measured
  std::uint32_t baudAfter; // the link's rate after the run
};

} // namespace

TEST(Isp8051EndToEnd, ProgramsTheChipOverAPseudoTerminal) {
  for (const Case& c : {Case{"at89", 2, 9600, "synchronised at 9600 bit/s", 9600},
                        Case{"p89", 4, 57600, "synchronised at 19200 bit/s", 115200}}) {
    SCOPED_TRACE(c.variant);
    PtyBench bench({"isp8051", "--variant", c.variant, "--no-pace", "--fault", "record:2=X"});
    ASSERT_TRUE(bench.Open());
    vk::link::SerialLink& comm = bench.Comm();

    vk::test::Programmer p(bench.loop, comm, bench.RunUntil(),
                           vk::programmer::MakeCpuFactory(nullptr));
    ASSERT_TRUE(p.LoadText(HexText(0x0800, Pattern(0x200))));
    for (auto& n : p.prg.Nodes())
      if (n.Name == "AT89C51RD2") n.CpuKind = c.cpuKind;
    p.Select("AT89C51RD2");
    comm.SetBaudRate(c.userBaud);
    p.Program(0);
    ASSERT_TRUE(p.RunToEnd(30000)) << "status: " << p.status.PanelText(0);
    std::vector<std::string> log{"AT89C51RD2 #0 Programmed OK"};
    if (c.cpuKind == 2) log.insert(log.begin(), "AT89C51RD2 #0 Verified 512 bytes");
    EXPECT_EQ(p.log.Lines(), log);
    EXPECT_TRUE(bench.boxes.boxes.empty());
    EXPECT_EQ(comm.GetBaudRate(), c.baudAfter);

    const std::string summary = bench.sim.Stop();
    ASSERT_TRUE(bench.sim.Ended());
    EXPECT_NE(summary.find(c.syncedAt), std::string::npos) << summary;
    // Four blocks, the second sent twice.
    EXPECT_NE(summary.find("4 record(s) programmed, 512 byte(s) in 0x0800-0x09FF, 1 refused, "
                           "end record x1"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("the application starts at reset"), std::string::npos) << summary;
  }
}
