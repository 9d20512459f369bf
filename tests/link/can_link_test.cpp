// The CAN link: its texts and codes on their own, and end to end over Qt's virtual CAN bus
// with a second client acting as the node on the test's private bus; the QX4T controller's
// conversation rides on it as the application attaches it.

#include "app/UserMessages.h"
#include "cpu/QX4T.h"
#include "link/CanLink.h"
#include "link/SerialLink.h"
#include "platform/LinkTestSupport.h"
#include "platform/PosixSerial.h"
#include "platform/QtCanBus.h"
#include "platform/QtEventLoop.h"
#include "platform/RecordingMessageBox.h"
#include "platform/SimulatedEventLoop.h"
#include "support/PrivateCanBus.h"

#include <QCanBus>
#include <QCanBusDevice>

#include <gtest/gtest.h>

using namespace vk::link;
using vk::platform::Millis;
using vk::platform::RecordingMessageBox;

namespace {

CanMsg Msg(std::uint32_t id, std::initializer_list<std::uint8_t> data) {
  CanMsg m;
  m.ID = id;
  m.LEN = static_cast<std::uint8_t>(data.size());
  std::copy(data.begin(), data.end(), m.DATA);
  return m;
}

} // namespace

TEST(CanTexts, ValueTexts) {
  auto text = [](std::initializer_list<std::uint8_t> data, char separator = '.') {
    return vk::cpu::qx4t_can::ValueText(Msg(0x185, data), 'N', separator);
  };
  EXPECT_EQ(text({0x00, 0x00, 0xC0, 0x3F}), "N+1.500");
  EXPECT_EQ(text({0x2A, 0x00, 0x00, 0x00}), "N+42");
  EXPECT_EQ(text({0x00, 0x00, 0x10, 0xC0}), "N-2.250");
  EXPECT_EQ(text({0x00, 0x00, 0x10, 0xC0}, ','), "N-2,250");
  EXPECT_EQ(text({0xFF, 0xFF, 0xFF, 0x00}), "N+16777215");      // byte 3 zero: an integer
  EXPECT_EQ(text({0x00, 0x00, 0x00, 0x00, 0x99, 0x99}), "N+0"); // bytes 4-7 are not used
  EXPECT_EQ(text({0x00, 0x00, 0x00, 0x80}), "N+0.000");         // negative zero
  EXPECT_EQ(text({0x17, 0xB7, 0xD1, 0xB8}), "N-0.000");         // -0.0001
  EXPECT_EQ(text({0x79, 0xE9, 0xF6, 0x42}), "N+123.456");       // 123.456f
  EXPECT_EQ(text({0x28, 0x6B, 0x6E, 0x4E}), "N+1.0000000E+09"); // past 8 digits
  EXPECT_EQ(text({0x00, 0x00, 0xC0, 0x7F}), "N+NAN");
  EXPECT_EQ(text({0x00, 0x00, 0x80, 0xFF}), "N-INF");
  EXPECT_EQ(vk::cpu::qx4t_can::ValueText(Msg(0x185, {0x07, 0, 0, 0}), 'V', '.'), "V+7");
}

TEST(CanTexts, ErrorTextsAndBusTimings) {
  EXPECT_EQ(CanLink::ErrorText(0x0011), "Error Code = 0011\rCAN_ERR_XMTFULL\rCAN_ERR_BUSOFF\r");
  EXPECT_EQ(CanLink::ErrorText(0x0410), ""); // a handle error: no message
  EXPECT_EQ(CanLink::ErrorText(0x1C00), "");
  EXPECT_EQ(CanLink::ErrorText(0), "");
  EXPECT_EQ(CanLink::ErrorText(0xE3FF),
            "Error Code = E3FF\rCAN_ERR_XMTFULL\rCAN_ERR_OVERRUN\rCAN_ERR_BUSLIGHT\r"
            "CAN_ERR_BUSHEAVY\rCAN_ERR_BUSOFF\rCAN_ERR_QRCVEMPTY\rCAN_ERR_QOVERRUN\r"
            "CAN_ERR_QXMTFULL\rCAN_ERR_REGTEST\rCAN_ERR_NOVXD\rCAN_ERR_RESOURCE\r"
            "CAN_ERR_PARMTYP\rCAN_ERR_PARMVAL\r");
  EXPECT_EQ(CanLink::ErrorText(0x12345),
            "Error Code = 12345\rCAN_ERR_XMTFULL\rCAN_ERR_BUSLIGHT\rCAN_ERR_QOVERRUN\r"
            "CAN_ERR_REGTEST\rCAN_ERR_NOVXD\rCAN_ERR_RESOURCE\r");

  const std::uint32_t rates[] = {1000000, 500000, 250000, 125000, 100000,
                                 50000,   20000,  10000,  5000};
  ASSERT_EQ(CanLink::BaudTable().size(), 9u);
  for (std::size_t i = 0; i < 9; ++i) {
    EXPECT_EQ(BitRateOfBusTiming(CanLink::BaudTable()[i].Code), rates[i])
        << CanLink::BaudTable()[i].Name;
    EXPECT_EQ(CanLink::BaudTable()[i].BitRate, rates[i]) << CanLink::BaudTable()[i].Name;
  }
  EXPECT_EQ(BitRateOfBusTiming(0x0000), 0u);
}

TEST(CanLink, ADriverThatCannotStartIsReportedOnceArmed) {
  vk::test::App();
  vk::platform::SimulatedEventLoop loop; // the 200 ms wait costs nothing
  vk::platform::QtCanBus bus("nosuchbackend", "x");
  PcanUsbOverCanBus driver(bus);
  RecordingMessageBox boxes;
  {
    CanLink can(loop, driver, vk::app::TellInBoxes(boxes));
    can.ReportError(0x0011); // not armed yet
    EXPECT_TRUE(boxes.boxes.empty());
    const Millis before = loop.Now();
    EXPECT_EQ(can.SendMessage(0x780, "x"), CAN_ERR_ILLHW);
    EXPECT_EQ(loop.Now() - before, CanLink::kInitWaitMs);
    EXPECT_TRUE(can.IsOpen()); // counts as open all the same
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].caption, "USB2CAN ERROR");
    EXPECT_EQ(boxes.boxes[0].text, "Error Code = 0200\rCAN_ERR_NOVXD\r");
    EXPECT_EQ(boxes.boxes[0].icon, vk::platform::MsgIcon::Warning);
    EXPECT_EQ(boxes.boxes[0].buttons, vk::platform::MsgButtons::Ok);
    EXPECT_NE(driver.LastErrorText().find("nosuchbackend"), std::string::npos);
    can.ReportError(0x0410);
    EXPECT_EQ(boxes.boxes.size(), 1u);
    can.ReportError(0x0011);
    EXPECT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].text, "Error Code = 0011\rCAN_ERR_XMTFULL\rCAN_ERR_BUSOFF\r");
    // A second send does not initialise again.
    can.SendMessage(0x780, "y");
    EXPECT_EQ(boxes.boxes.size(), 2u);
  }
  // Destroyed: CAN_Close on a driver that never started is a handle error, not shown.
  EXPECT_EQ(boxes.boxes.size(), 2u);
}

namespace {

// A second client on the virtual bus: the node the link talks to.
class Node {
public:
  explicit Node(vk::platform::QtEventLoop& loop) : loop_(loop) {
    device_.reset(QCanBus::instance()->createDevice(
        "virtualcan", QString::fromStdString(vk::test::BusOfThisProcess())));
    if (device_) device_->connectDevice();
  }
  bool Connected() {
    return device_ &&
           loop_.RunUntil([&] { return device_->state() == QCanBusDevice::ConnectedState; }, 10000);
  }
  void Send(std::uint32_t id, const QByteArray& data) {
    device_->writeFrame(QCanBusFrame(id, data));
  }
  // Frames received so far, waiting until there are at least count.
  const std::vector<QCanBusFrame>& Frames(std::size_t count = 0) {
    loop_.RunUntil(
        [&] {
          while (device_->framesAvailable() > 0) frames_.push_back(device_->readFrame());
          return frames_.size() >= count;
        },
        count == 0 ? 0 : 10000);
    return frames_;
  }

private:
  vk::platform::QtEventLoop& loop_;
  std::unique_ptr<QCanBusDevice> device_;
  std::vector<QCanBusFrame> frames_;
};

QByteArray Bytes(std::initializer_list<std::uint8_t> data) {
  QByteArray out;
  for (auto b : data) out.append(static_cast<char>(b));
  return out;
}

} // namespace

TEST(CanLinkOverVirtualCan, NodeTalksWithTheLink) {
  vk::test::App();
  vk::platform::QtEventLoop loop;
  Node node(loop);
  ASSERT_TRUE(node.Connected());
  RecordingMessageBox boxes;
  vk::platform::QtCanBus bus("virtualcan", vk::test::BusOfThisProcess());
  PcanUsbOverCanBus driver(bus);
  {
    SCOPED_TRACE("driver calls");
    CanMsg m = Msg(0x123, {1});
    EXPECT_EQ(driver.CAN_Write(m), CAN_ERR_ILLHW);
    EXPECT_EQ(driver.CAN_Read(m), CAN_ERR_ILLHW);
    EXPECT_EQ(driver.CAN_Close(), CAN_ERR_ILLHW);
    EXPECT_EQ(driver.CAN_Init(0x0000, CAN_INIT_TYPE_ST), CAN_ERR_PARMVAL);
    ASSERT_EQ(driver.CAN_Init(0x001C, CAN_INIT_TYPE_ST), CAN_ERR_OK) << driver.LastErrorText();
    EXPECT_EQ(driver.CAN_Read(m), CAN_ERR_QRCVEMPTY);
    m.LEN = 9;
    EXPECT_EQ(driver.CAN_Write(m), CAN_ERR_PARMVAL);
    EXPECT_EQ(driver.CAN_Close(), CAN_ERR_OK);
  }

  std::size_t seen = 0;
  {
    SCOPED_TRACE("the first message initialises the interface; no start message");
    CanLink can(loop, driver, vk::app::TellInBoxes(boxes));
    ListSelector address, speed;
    can.FillAddressList(address);
    can.FillSpeedList(speed);
    ASSERT_EQ(address.Count(), 126);
    EXPECT_EQ(address.EntryText(0), "CAN_ADDR_1");
    EXPECT_EQ(address.EntryText(125), "CAN_ADDR_126");
    EXPECT_EQ(address.CurrentIndex(), 0);
    ASSERT_EQ(speed.Count(), 9);
    EXPECT_EQ(speed.EntryText(speed.CurrentIndex()), "CAN_BAUD_500K");
    EXPECT_FALSE(address.Enabled());
    EXPECT_FALSE(speed.Enabled());

    address.SetCurrentIndex(4); // node 5
    EXPECT_EQ(can.SendMessage(0x780, "0123456789"), CAN_ERR_OK);
    EXPECT_EQ(can.SendMessage(0x7FF, ""), CAN_ERR_OK); // only bits 7-10 of the code count
    EXPECT_EQ(can.SendMessage(0x100, "\x11"), CAN_ERR_OK);
    const auto& frames = node.Frames(3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].frameId(), 0x785u);
    EXPECT_EQ(frames[0].payload(), QByteArray("01234567"));
    EXPECT_FALSE(frames[0].hasExtendedFrameFormat());
    EXPECT_EQ(frames[1].frameId(), 0x785u);
    EXPECT_EQ(frames[1].payload().size(), 0);
    EXPECT_EQ(frames[2].frameId(), 0x105u);
    seen = 3;

    // What the node sends: value texts, the mailbox, and groups that are not passed on.
    std::vector<std::string> texts;
    vk::cpu::qx4t_can::Attach(
        can, [&](const std::string& t) { texts.push_back(t); }, '.');
    node.Send(0x185, Bytes({0x00, 0x00, 0xC0, 0x3F}));
    node.Send(0x181, Bytes({0x2A, 0x00, 0x00, 0x00, 9, 9, 9, 9}));
    node.Send(0x1FF, Bytes({0x00, 0x00, 0x10, 0xC0}));
    node.Send(0x581, Bytes({0x07}));
    node.Send(0x281, Bytes({0x09})); // group 5: not for the program
    ASSERT_TRUE(loop.RunUntil([&] { return texts.size() >= 3 && can.ReplyMsg.LEN != 0; }, 10000));
    EXPECT_EQ(texts, (std::vector<std::string>{"N+1.500\r", "N+42\r", "N-2.250\r"}));
    EXPECT_EQ(can.ReplyMsg.ID, 0x581u);
    EXPECT_EQ(can.ReplyMsg.LEN, 1);
    EXPECT_EQ(can.ReplyMsg.DATA[0], 7);
    can.ReplyMsg.LEN = 0; // as the protocol does before a request
    for (std::uint32_t id : {0x000u, 0x2ABu, 0x3FFu, 0x480u}) node.Send(id, Bytes({1}));
    node.Send(0x180, Bytes({1, 0, 0, 0})); // a marker behind them
    ASSERT_TRUE(loop.RunUntil([&] { return texts.size() == 4; }, 10000));
    EXPECT_EQ(can.ReplyMsg.LEN, 0); // none of them reached the mailbox
    node.Send(0x080, Bytes({2}));
    ASSERT_TRUE(loop.RunUntil([&] { return can.ReplyMsg.LEN != 0; }, 10000));
    EXPECT_EQ(can.ReplyMsg.ID, 0x080u);

    // Another bit rate: the interface closes and a box names the rate and its code.
    speed.Pick(2);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].caption, "CAN_BAUD_250K");
    EXPECT_EQ(boxes.boxes[0].text, "011C");
    EXPECT_EQ(boxes.boxes[0].buttons, vk::platform::MsgButtons::Ok);
    EXPECT_FALSE(can.IsOpen());
    EXPECT_EQ(can.SelectedBusTiming(), 0x011C);
    EXPECT_EQ(can.SendMessage(0x780, "again"), CAN_ERR_OK); // reopened at the new rate
    EXPECT_TRUE(can.IsOpen());
    ASSERT_GE(node.Frames(seen + 1).size(), seen + 1);
    EXPECT_EQ(node.Frames()[seen].payload(), QByteArray("again"));
    seen = node.Frames().size();
  }
  EXPECT_EQ(boxes.boxes.size(), 1u); // closing at the end went well

  {
    SCOPED_TRACE("choosing PCAN in the port selector starts the CAN link, a COM port stops it");
    vk::test::PtyPair pty;
    vk::platform::PosixSerialPorts ports(vk::platform::PortMap({{5, pty.SlavePath()}}, false));
    CanLink can(loop, driver, vk::app::TellInBoxes(boxes));
    vk::cpu::qx4t_can::Attach(can, nullptr);
    ListSelector address, speed, portSelector;
    can.FillAddressList(address);
    can.FillSpeedList(speed);
    SerialLink comm(loop, ports, nullptr, vk::app::TellInBoxes(boxes), &can);
    comm.FillPortList(portSelector);
    ASSERT_EQ(portSelector.Count(), 2);
    EXPECT_EQ(comm.PortNo(), 5);
    EXPECT_FALSE(can.IsOpen());
    EXPECT_FALSE(address.Enabled());

    portSelector.Pick(0); // PCAN
    EXPECT_EQ(comm.PortNo(), 0);
    EXPECT_TRUE(can.IsOpen());
    EXPECT_TRUE(address.Enabled());
    EXPECT_TRUE(speed.Enabled());
    const auto& started = node.Frames(seen + 1);
    ASSERT_EQ(started.size(), seen + 1);
    EXPECT_EQ(started[seen].frameId(), 0u);
    EXPECT_EQ(started[seen].payload(), Bytes({0x01}));
    ASSERT_TRUE(loop.RunUntil([&] { return !comm.IsOpen(); }, 10000));

    portSelector.Pick(1); // COM5
    EXPECT_EQ(comm.PortNo(), 5);
    EXPECT_FALSE(can.IsOpen());
    EXPECT_FALSE(address.Enabled());
    EXPECT_FALSE(speed.Enabled());
    const auto& stopped = node.Frames(seen + 2);
    ASSERT_EQ(stopped.size(), seen + 2);
    EXPECT_EQ(stopped[seen + 1].frameId(), 0u);
    EXPECT_EQ(stopped[seen + 1].payload(), Bytes({0x02}));
    ASSERT_TRUE(loop.RunUntil([&] { return comm.IsOpen(); }, 10000));

    // A COM port chosen while the CAN link is closed sends nothing on the bus.
    portSelector.Pick(1);
    comm.SendString("marker");
    EXPECT_EQ(pty.Read(6), "marker");
    loop.RunFor(100);
    EXPECT_EQ(node.Frames().size(), seen + 2);
  }
  EXPECT_EQ(boxes.boxes.size(), 1u);
}
