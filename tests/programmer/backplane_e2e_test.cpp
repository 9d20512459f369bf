// End to end: the real serial link over a pseudo-terminal, the programmer unit simulated by a
// separate vkdevsim process, Qt's event loop in real time.

#include "devsim/BackplaneUnit.h"
#include "platform/PosixSerial.h"
#include "platform/QtEventLoop.h"
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
QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "programmer_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}
} // namespace

TEST(BackplaneEndToEnd, ProgramsAModuleOverAPseudoTerminal) {
  App();
  SpawnedProcess sim(std::string(VK_BIN_DIR) + "/vkdevsim",
                     {"backplane", "--module", "7:136", "--erase-ms", "200", "--no-pace"});
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

  vk::test::Programmer p(loop, comm,
                         [&](const std::function<bool()>& done, vk::platform::Millis limit) {
                           return loop.RunUntil(done, static_cast<int>(limit));
                         });
  auto data = Pattern(0x1000);
  ASSERT_TRUE(p.LoadText(HexText(0x1000, data)));
  p.Select("QRD14");
  p.Program(7);
  ASSERT_TRUE(p.RunToEnd(30000)) << "status: " << p.status.PanelText(0);
  EXPECT_EQ(p.log.Lines(), (std::vector<std::string>{"QRD14 #7 Programmed OK"}));
  EXPECT_TRUE(boxes.boxes.empty());

  // Let "G" reach the unit, then ask it what it went through: the jump table, 32 blocks and the
  // checksum word.
  loop.RunFor(200);
  sim.Signal(SIGTERM);
  ASSERT_TRUE(sim.Wait(5000).has_value());
  const std::string summary = sim.Stderr();
  EXPECT_NE(summary.find("erase1 x1, erase2 x0, 1 load(s), 34 record(s) programmed"),
            std::string::npos)
      << summary;
  EXPECT_NE(summary.find("started x1"), std::string::npos) << summary;
}
