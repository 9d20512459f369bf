// End to end: the real serial link over a pseudo-terminal, the 8051 boot loader simulated by a
// separate vkdevsim process, Qt's event loop in real time.

#include "platform/PosixSerial.h"
#include "platform/QtEventLoop.h"
#include "programmer/CpuFactory.h"
#include "support/HexText.h"
#include "support/SimWorld.h"
#include "support/SpawnedProcess.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <csignal>

using vk::test::HexText;
using vk::test::Pattern;
using vk::test::SpawnedProcess;

namespace {

// One application object per process, whichever test makes it first.
void EnsureApp() {
  if (QCoreApplication::instance()) return;
  static int argc = 1;
  static char name[] = "cpu_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
}

struct Case {
  const char* variant;
  std::uint8_t cpuKind;
  std::uint32_t userBaud;  // set on the link before the run
  const char* syncedAt;    // what the loader measured
  std::uint32_t baudAfter; // the link's rate after the run
};

} // namespace

TEST(Isp8051EndToEnd, ProgramsTheChipOverAPseudoTerminal) {
  EnsureApp();
  for (const Case& c : {Case{"at89", 2, 9600, "synchronised at 9600 bit/s", 9600},
                        Case{"p89", 4, 57600, "synchronised at 19200 bit/s", 115200}}) {
    SCOPED_TRACE(c.variant);
    SpawnedProcess sim(std::string(VK_BIN_DIR) + "/vkdevsim",
                       {"isp8051", "--variant", c.variant, "--no-pace", "--fault", "record:2=X"});
    ASSERT_TRUE(sim.Started());
    const auto portLine = sim.ReadLine(5000);
    ASSERT_TRUE(portLine && portLine->rfind("PORT ", 0) == 0) << sim.Stderr();
    const std::string path = portLine->substr(5);

    vk::platform::QtEventLoop loop;
    vk::platform::PosixSerialPorts ports(vk::platform::PortMap({{1, path}}, false));
    vk::platform::RecordingMessageBox boxes;
    vk::link::TComm comm(loop, ports, nullptr, boxes);
    vk::link::ListSelector selector;
    comm.FillPortList(selector);
    ASSERT_TRUE(loop.RunUntil([&] { return comm.IsOpen(); }, 3000));

    vk::test::Programmer p(
        loop, comm,
        [&](const std::function<bool()>& done, vk::platform::Millis limit) {
          return loop.RunUntil(done, static_cast<int>(limit));
        },
        vk::programmer::MakeCpuFactory(nullptr));
    ASSERT_TRUE(p.LoadText(HexText(0x0800, Pattern(0x200))));
    for (auto& n : p.prg.Nodes())
      if (n.Name == "AT89C51RD2") n.CpuKind = c.cpuKind;
    p.Select("AT89C51RD2");
    comm.SetBaudRate(c.userBaud);
    p.Program(0);
    ASSERT_TRUE(p.RunToEnd(30000)) << "status: " << p.status.PanelText(0);
    EXPECT_EQ(p.log.Lines(), (std::vector<std::string>{"AT89C51RD2 #0 Programmed OK"}));
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(comm.GetBaudRate(), c.baudAfter);

    sim.Signal(SIGTERM);
    ASSERT_TRUE(sim.Wait(5000).has_value());
    const std::string summary = sim.Stderr();
    EXPECT_NE(summary.find(c.syncedAt), std::string::npos) << summary;
    // Four blocks, the second sent twice.
    EXPECT_NE(summary.find("4 record(s) programmed, 512 byte(s) in 0x0800-0x09FF, 1 refused, "
                           "end record x1"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("the application starts at reset"), std::string::npos) << summary;
  }
}
