// End to end: the Cortex-M3 blank check over the real serial link and a pseudo-terminal, the boot
// loader simulated by a separate vkdevsim process, Qt's event loop in real time. A terminal
// carries no parity, so the simulator does not ask for it (the in-process tests do).

#include "platform/PosixSerial.h"
#include "platform/QtEventLoop.h"
#include "programmer/CpuFactory.h"
#include "support/SimWorld.h"
#include "support/SpawnedProcess.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

using vk::test::SpawnedProcess;

namespace {
void EnsureApp() {
  if (QCoreApplication::instance()) return;
  static int argc = 1;
  static char name[] = "cpu_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
}
} // namespace

TEST(CortexEndToEnd, ChecksTheChipOverAPseudoTerminal) {
  EnsureApp();
  // A program from 0x300 on: four blocks are read, and the run passes through Erase.
  SpawnedProcess sim(std::string(VK_BIN_DIR) + "/vkdevsim",
                     {"cortex", "--no-pace", "--not-blank-from", "0x300"});
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
  p.Select("Cortex-M3");
  p.Program(0);
  ASSERT_TRUE(p.RunToEnd(30000)) << "status: " << p.status.PanelText(0);
  EXPECT_EQ(p.log.Lines(), (std::vector<std::string>{"Cortex-M3 #0 Programmed OK"}));
  const auto texts = p.StatusTexts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Erasing Module"), texts.end());
  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_EQ(comm.GetBaudRate(), 115200u);
  EXPECT_EQ(comm.GetParity(), 0);
  EXPECT_FALSE(comm.IsRawMode());

  sim.Signal(SIGTERM);
  ASSERT_TRUE(sim.Wait(5000).has_value());
  const std::string summary = sim.Stderr();
  EXPECT_NE(
      summary.find("synchronised 1 time(s); 4 read command(s); 4 block(s) sent (0x0000 .. 0x0300)"),
      std::string::npos)
      << summary;
}
