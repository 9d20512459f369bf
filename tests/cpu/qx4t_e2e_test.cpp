// End to end, real time: the QX4T protocols with the real links against a separate vkdevsim
// process; the serial boot loader over a pseudo-terminal, the CAN loader over Qt's virtual CAN
// bus.

#include "app/UserMessages.h"
#include "cpu/Qx4tCanSupport.h"
#include "link/CanLink.h"
#include "programmer/CpuFactory.h"
#include "support/HexText.h"
#include "support/PtyBench.h"

#include <gtest/gtest.h>

using vk::test::HexText;
using vk::test::Pattern;
using vk::test::PtyBench;
using vk::test::RunUntilOn;
using vk::test::Simulator;

namespace {

// Asks the simulator to end and returns its summary.
std::string Summary(Simulator& sim) {
  const std::string summary = sim.Stop();
  EXPECT_TRUE(sim.Ended());
  return summary;
}

} // namespace

TEST(Qx4tEndToEnd, BootLoaderOverAPseudoTerminal) {
  vk::test::App();
  PtyBench bench({"qx4t-boot", "--no-pace"});
  ASSERT_TRUE(bench.Open());
  vk::link::TComm& comm = bench.Comm();

  vk::test::Programmer p(bench.loop, comm, bench.RunUntil(),
                         vk::programmer::MakeCpuFactory(nullptr));
  auto data = Pattern(0x200);
  std::fill(data.begin() + 0x80, data.begin() + 0x100, 0xFF); // a blank block
  ASSERT_TRUE(p.LoadText(HexText(0x1000, data)));
  p.Select("QX4T - BOOT");
  p.Program(0);
  ASSERT_TRUE(p.RunToEnd(30000)) << "status: " << p.status.PanelText(0);
  EXPECT_EQ(p.log.Lines(), (std::vector<std::string>{"QX4T - BOOT #0 Programmed OK"}));
  EXPECT_TRUE(bench.boxes.boxes.empty());
  EXPECT_EQ(comm.GetBaudRate(), 115200u);

  const std::string summary = Summary(bench.sim);
  EXPECT_NE(summary.find("entered x1 (erased x1), 3 record(s) programmed, 384 byte(s) in "
                         "0x1000-0x11FF, 0 refused, end record x1, started x1"),
            std::string::npos)
      << summary;
  EXPECT_NE(summary.find("lost to a rate mismatch (the loader listens at 57600 bit/s): in 0"),
            std::string::npos)
      << summary;
}

TEST(Qx4tEndToEnd, CanLoaderOverTheVirtualCanBus) {
  // The simulator, started first, serves the bus.
  const std::string busName = vk::test::NewPrivateBus();
  Simulator sim({"qx4t-can", "--interface", busName, "--node", "3"});
  ASSERT_TRUE(sim.Started());
  ASSERT_EQ(sim.FirstLine(), "CAN virtualcan " + busName + " node 3") << sim.Stderr();

  vk::platform::QtEventLoop loop;
  vk::platform::RecordingMessageBox boxes;
  vk::platform::QtCanBus bus("virtualcan", busName);
  vk::link::PcanUsbOverCanBus driver(bus);
  {
    vk::link::TUSB2CAN can(loop, driver, vk::app::TellInBoxes(boxes));
    vk::link::ListSelector address, speed;
    can.FillAddressList(address);
    can.FillSpeedList(speed);
    address.SetCurrentIndex(2); // node 3
    vk::platform::PosixSerialPorts ports(vk::platform::PortMap({}, false));
    vk::link::TComm comm(loop, ports, nullptr, vk::app::TellInBoxes(boxes), &can);

    vk::test::Programmer p(loop, comm, RunUntilOn(loop), vk::programmer::MakeCpuFactory(&can));
    ASSERT_TRUE(p.LoadText(HexText(0x0400, Pattern(0x180))));
    p.Select("QX4T - PCAN");
    p.Program(0);
    ASSERT_TRUE(p.RunToEnd(30000)) << "status: " << p.status.PanelText(0);
    EXPECT_EQ(p.log.Lines(), (std::vector<std::string>{"QX4T - PCAN #0 Programmed OK"}));
    EXPECT_TRUE(boxes.boxes.empty());
  }

  // Three blocks of data and a fourth with the two checksum words at 0x0580.
  const std::string summary = Summary(sim);
  EXPECT_NE(summary.find("node 3 (commands 783, answers 703): started x2, erased x1, 4 block(s) "
                         "programmed, 512 byte(s) in 0x0400-0x05FF, 0 refused"),
            std::string::npos)
      << summary;
}
