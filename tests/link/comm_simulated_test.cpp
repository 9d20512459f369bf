// The serial link in the simulated world: the worker stepped in virtual time over in-memory
// lines, so the timing rules (idle flush, quiet line, delivery pace) are exact.

#include "app/UserMessages.h"
#include "link/SerialLink.h"
#include "platform/IniSettings.h"
#include "platform/LinkTestSupport.h"
#include "platform/RecordingMessageBox.h"
#include "platform/SimulatedEventLoop.h"
#include "platform/SimulatedSerial.h"

#include <gtest/gtest.h>

#include <cerrno>

using vk::link::ListSelector;
using vk::link::SerialLink;
using vk::platform::Millis;
using vk::platform::PortState;
using vk::platform::SimulatedSerialLine;
using Event = vk::platform::SimulatedSerialLine::Event;

namespace {

class SimulatedLink : public ::testing::Test {
protected:
  void SetUp() override {
    settings = std::make_unique<vk::platform::IniSettings>(dir.File("vk.ini"));
  }
  void TearDown() override { comm.reset(); }

  // Makes the link, lists the ports and lets the worker open the chosen one.
  SerialLink& Start() {
    comm = std::make_unique<SerialLink>(loop, ports, settings.get(), vk::app::TellInBoxes(boxes));
    comm->OnReceive = [this](SerialLink&, const std::string& line) {
      delivered.push_back(line);
      deliveredAt.push_back(loop.Now());
    };
    comm->FillPortList(selector);
    loop.RunFor(1);
    return *comm;
  }
  // Every entry received so far: those delivered and those still waiting.
  std::vector<std::string> Received() const {
    auto all = delivered;
    for (auto& e : comm->RxLines.Snapshot()) all.push_back(e);
    return all;
  }
  // The writes on a line, in order.
  static std::vector<std::string> Writes(const SimulatedSerialLine& line) {
    std::vector<std::string> out;
    for (const auto& e : line.Events())
      if (e.kind == Event::Written) out.push_back(e.bytes);
    return out;
  }
  // The line's events from the n-th on, as short words: "9600/0" for settings, the bytes of a
  // write.
  static std::vector<std::string> EventWords(const SimulatedSerialLine& line, std::size_t from) {
    std::vector<std::string> out;
    const auto events = line.Events();
    for (std::size_t i = from; i < events.size(); ++i) {
      const auto& e = events[i];
      switch (e.kind) {
      case Event::Opened:
        out.push_back("open");
        break;
      case Event::Closed:
        out.push_back("close");
        break;
      case Event::Applied:
        out.push_back(std::to_string(e.settings.BaudRate) + "/" +
                      std::to_string(e.settings.Parity) + (e.settings.Dtr ? " DTR" : "") +
                      (e.settings.Rts ? " RTS" : ""));
        break;
      case Event::Written:
        out.push_back("write " + e.bytes);
        break;
      }
    }
    return out;
  }

  vk::test::TempDir dir;
  std::unique_ptr<vk::platform::IniSettings> settings;
  vk::platform::SimulatedEventLoop loop;
  vk::platform::SimulatedSerialPorts ports;
  vk::platform::RecordingMessageBox boxes;
  ListSelector selector;
  std::vector<std::string> delivered;
  std::vector<Millis> deliveredAt;
  std::unique_ptr<SerialLink> comm;
};

} // namespace

TEST(RememberedPort, OnlyComFollowedByANumberCounts) {
  EXPECT_EQ(SerialLink::ParseRememberedPort("COM3"), 3);
  EXPECT_EQ(SerialLink::ParseRememberedPort("COM12"), 12);
  EXPECT_EQ(SerialLink::ParseRememberedPort("COM0"), 0);
  EXPECT_EQ(SerialLink::ParseRememberedPort("COM-2"), -2);
  EXPECT_EQ(SerialLink::ParseRememberedPort("COM"), 0);
  EXPECT_EQ(SerialLink::ParseRememberedPort("COMx"), 0);
  EXPECT_EQ(SerialLink::ParseRememberedPort("COM3x"), 0);
  EXPECT_EQ(SerialLink::ParseRememberedPort("XYZ5"), 0);
  EXPECT_EQ(SerialLink::ParseRememberedPort("COM99999999999"), 0);
  EXPECT_EQ(SerialLink::ParseRememberedPort(std::nullopt), 0);
}

TEST_F(SimulatedLink, PortListShowsPresentPortsAndOpensTheRememberedOne) {
  ports.Add(1);
  ports.Add(3);
  auto com4 = ports.Add(4);
  ports.AddUnopenable(6, PortState::Busy); // held elsewhere: listed all the same
  settings->Write("PORT", "COM3");
  Start();
  ASSERT_EQ(selector.Count(), 5);
  EXPECT_EQ(selector.EntryText(0), "PCAN");
  EXPECT_EQ(selector.EntryTag(0), std::nullopt);
  EXPECT_EQ(selector.EntryText(1), "COM1");
  EXPECT_EQ(selector.EntryText(2), "COM3");
  EXPECT_EQ(selector.EntryText(3), "COM4");
  EXPECT_EQ(selector.EntryText(4), "COM6");
  EXPECT_EQ(selector.EntryTag(3), 4);
  EXPECT_EQ(selector.EntryHint(3), "sim:COM4");
  EXPECT_EQ(selector.CurrentIndex(), 2);
  EXPECT_EQ(comm->PortNo(), 3);
  EXPECT_TRUE(ports.Line(3)->IsOpen());
  EXPECT_TRUE(comm->IsOpen());

  // The number comes from the entry, not from its position.
  selector.Pick(3);
  loop.RunFor(1);
  EXPECT_EQ(comm->PortNo(), 4);
  EXPECT_TRUE(com4->IsOpen());
  EXPECT_FALSE(ports.Line(3)->IsOpen());

  // A second fill changes nothing.
  comm->FillPortList(selector);
  EXPECT_EQ(selector.Count(), 5);

  comm.reset();
  EXPECT_EQ(settings->Read("PORT"), "COM4");
  EXPECT_FALSE(com4->IsOpen());
}

TEST_F(SimulatedLink, WithoutAUsableRememberedPortTheLowestIsChosen) {
  // A remembered port that is busy, and a lower one that is barred: neither opens.
  for (const char* remembered : {"COM7", "COM", "COMx", "", "COM3"}) {
    SCOPED_TRACE(remembered);
    ports = {};
    ports.AddUnopenable(1, vk::platform::PortState::NoPermission);
    ports.AddUnopenable(3, vk::platform::PortState::Busy);
    ports.Add(2);
    ports.Add(5);
    if (*remembered != '\0') settings->Write("PORT", remembered);
    selector = {};
    selector.AddEntry("PCAN"); // as the window does before filling
    Start();
    EXPECT_EQ(selector.Count(), 5); // PCAN, COM1, COM2, COM3, COM5
    EXPECT_EQ(selector.CurrentIndex(), 2);
    EXPECT_EQ(comm->PortNo(), 2);
    EXPECT_TRUE(ports.Line(2)->IsOpen());
    comm.reset();
  }
}

TEST_F(SimulatedLink, NoPortAtAllLeavesOnlyPcanAndTheWorkerWaiting) {
  Start();
  EXPECT_EQ(selector.Count(), 1);
  EXPECT_EQ(selector.CurrentIndex(), -1);
  EXPECT_EQ(comm->PortNo(), 0);
  EXPECT_FALSE(comm->IsOpen());
  comm->SendString("stale");
  // A port that appears later (as the device finder tries numbers) is opened; the string
  // queued while there was none is not for it.
  auto late = ports.Add(8);
  loop.RunFor(1000);
  EXPECT_TRUE(Writes(*late).empty());
  comm->SelectPort(8);
  comm->SendString("now");
  loop.RunFor(1);
  EXPECT_TRUE(comm->IsOpen());
  EXPECT_EQ(Writes(*late), std::vector<std::string>{"now"});
  EXPECT_TRUE(boxes.boxes.empty());
  comm.reset();
  EXPECT_EQ(settings->Read("PORT"), "COM8");
}

TEST_F(SimulatedLink, ReceivedLinesAreDeliveredInTheMillisecondTheyArrive) {
  auto line = ports.Add(1);
  Start(); // now 11
  line->Send("ID 12\r\nOK\r\nthird\r\n");
  loop.RunFor(1);
  // Not at a later tick: the worker's arrival is acted on in the same turn, in order.
  EXPECT_EQ(delivered, (std::vector<std::string>{"ID 12", "OK", "third"}));
  EXPECT_EQ(deliveredAt, (std::vector<Millis>{12, 12, 12}));
  EXPECT_TRUE(comm->RxLines.Empty()); // the link removed what the handler left

  // With "PCAN" chosen (port 0) nothing is delivered.
  comm->SelectPort(0);
  loop.RunFor(5);
  comm->RxLines.Add("stays");
  loop.RunFor(50);
  EXPECT_EQ(delivered.size(), 3u);
  EXPECT_EQ(comm->RxLines.First(), "stays");
}

TEST_F(SimulatedLink, ALineArrivingWhileTheHandlerRunsIsNotLost) {
  auto line = ports.Add(1);
  Start();
  comm->OnReceive = [&](SerialLink& sender, const std::string& text) {
    delivered.push_back(text);
    if (text == "first") {
      sender.RxLines.DeleteFirst(); // the handler consumes its reply itself...
      line->Send("second\r");
      loop.Sleep(5); // ...and waits; the worker files the next line meanwhile
    }
  };
  line->Send("first\r");
  loop.RunFor(40);
  EXPECT_EQ(delivered, (std::vector<std::string>{"first", "second"}));
  EXPECT_TRUE(comm->RxLines.Empty());
}

TEST_F(SimulatedLink, PartialEntriesWaitThreeIdleReads) {
  auto line = ports.Add(1);
  Start();
  line->Send("abc");
  loop.RunFor(1); // read now
  const Millis readAt = loop.Now();
  loop.RunFor(29);
  EXPECT_TRUE(Received().empty());
  loop.RunFor(1); // 30 ms of silence: three read time-outs
  EXPECT_EQ(Received(), std::vector<std::string>{"abc"});
  EXPECT_EQ(loop.Now() - readAt, 3 * vk::link::SerialWorker::kReadTimeoutMs);

  // Raw blocks: 2500 bytes give 1024, 1024 and, after the silence, 452.
  comm->RxLines.Clear();
  delivered.clear();
  comm->SetRawMode(true);
  EXPECT_TRUE(comm->IsRawMode());
  line->Send(std::string(2500, '\x55'));
  loop.RunFor(1);
  EXPECT_EQ(Received().size(), 2u);
  loop.RunFor(30);
  const auto blocks = Received();
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0].size(), 1024u);
  EXPECT_EQ(blocks[1].size(), 1024u);
  EXPECT_EQ(blocks[2].size(), 452u);
  comm->SetRawMode(false);
  EXPECT_FALSE(comm->IsRawMode());
}

TEST_F(SimulatedLink, StringsGoOutInOrderOneWriteEachWithSettingsFirst) {
  auto line = ports.Add(1);
  line->SetRefused(vk::platform::kRefusedDtr | vk::platform::kRefusedRts); // as a pty does
  Start();
  const std::size_t mark = line->Events().size();
  EXPECT_EQ(EventWords(*line, 0), (std::vector<std::string>{"open", "115200/0 DTR RTS"}));

  comm->SendString("A\r");
  comm->SendString("B\r");
  comm->SendString(""); // an empty string is one (empty) write
  comm->SendChar(0x00);
  loop.RunFor(1); // a quiet line: all go out at once, one write each
  EXPECT_EQ(EventWords(*line, mark), (std::vector<std::string>{"write A\r", "write B\r", "write ",
                                                               std::string("write \0", 7)}));

  // A string longer than any write buffer goes out whole, in one write.
  const std::string record(3000, 'R');
  comm->SendString(record);
  loop.RunFor(1);
  EXPECT_EQ(Writes(*line).back(), record);

  // Settings changed after a string was queued still come first.
  std::size_t from = line->Events().size();
  comm->SendString("X");
  comm->SetBaudRate(9600);
  comm->SetParity(2);
  loop.RunFor(1);
  EXPECT_EQ(EventWords(*line, from), (std::vector<std::string>{"9600/2 DTR RTS", "write X"}));
  EXPECT_EQ(comm->GetBaudRate(), 9600u);
  EXPECT_EQ(line->Settings().BaudRate, 9600u);
  EXPECT_NE(comm->Thread().LastRefused() & vk::platform::kRefusedDtr, 0u);

  // The same bit rate again changes nothing; DTR on while on still writes the settings.
  from = line->Events().size();
  comm->SetBaudRate(9600);
  comm->SetParity(2);
  comm->SendString("Y");
  loop.RunFor(1);
  comm->SetDTR(true);
  comm->SendString("Z");
  loop.RunFor(1);
  comm->SetRTS(false);
  comm->SetDTR(false);
  loop.RunFor(1);
  EXPECT_EQ(EventWords(*line, from),
            (std::vector<std::string>{"write Y", "9600/2 DTR RTS", "write Z", "9600/2"}));
}

TEST_F(SimulatedLink, NothingIsWrittenWhileBytesKeepArriving) {
  auto line = ports.Add(1);
  Start();
  std::vector<Millis> writtenAt;
  line->SetOnWrite([&](const std::string&) { writtenAt.push_back(loop.Now()); });
  // At 9600 bit/s a character takes 1.04 ms: a byte every millisecond keeps the line busy.
  comm->SetBaudRate(9600);
  comm->SendString("P");
  loop.RunFor(2);
  writtenAt.clear();
  const Millis start = loop.Now();
  // The device talks for 20 ms, one byte every millisecond.
  const int talker = loop.AddPoller([&](Millis now) {
    if (now < start + 20) line->Send("x");
  });
  loop.RunFor(1);
  comm->SendString("Q");
  loop.RunFor(40);
  loop.RemovePoller(talker);
  // The last byte came at start + 19 and was read a millisecond later; the string waited for
  // the line to be quiet for three characters (3.1 ms).
  ASSERT_EQ(writtenAt.size(), 1u);
  EXPECT_EQ(writtenAt[0], start + 24);
}

TEST_F(SimulatedLink, PortZeroClosesAndAnotherPortReopens) {
  auto one = ports.Add(1);
  auto two = ports.Add(2);
  Start();
  one->Send("partial");
  loop.RunFor(1);
  comm->SelectPort(0);
  loop.RunFor(1);
  EXPECT_FALSE(comm->IsOpen());
  EXPECT_FALSE(one->IsOpen());
  // What had arrived from the old port is handed over, not joined to the next port's bytes.
  EXPECT_EQ(comm->RxLines.Snapshot(), std::vector<std::string>{"partial"});
  // A string queued while no port is open ("PCAN" chosen) never reaches the port opened next.
  comm->SendString("stale");
  loop.RunFor(2000);
  EXPECT_TRUE(Writes(*one).empty());
  EXPECT_TRUE(Writes(*two).empty());
  EXPECT_TRUE(comm->Thread().AllSent()) << "nothing waits for a dropped string";
  comm->SelectPort(2);
  comm->SendString("fresh");
  loop.RunFor(1);
  EXPECT_TRUE(two->IsOpen());
  EXPECT_EQ(Writes(*two), std::vector<std::string>{"fresh"});
  // Nor does one queued for a chosen port that will not open.
  ports.AddUnopenable(3, vk::platform::PortState::Busy);
  comm->SelectPort(3);
  loop.RunFor(1);
  comm->SendString("stale too");
  loop.RunFor(1);
  comm->SelectPort(2);
  loop.RunFor(1);
  EXPECT_EQ(Writes(*two), std::vector<std::string>{"fresh"});
  boxes.Reset();
  // The settings go to the new port as they stand.
  comm->SetBaudRate(38400);
  comm->SelectPort(1);
  loop.RunFor(1);
  EXPECT_EQ(one->Settings().BaudRate, 38400u);
  EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(SimulatedLink, OpenFailuresAreReportedOncePerChoiceOnTheTickThread) {
  ports.Add(1);
  ports.AddUnopenable(3, PortState::Busy);
  ports.Add(4);
  Start();
  comm->SelectPort(3);
  loop.RunFor(2000); // retried every 500 ms, reported once
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].caption, "COM3");
  EXPECT_EQ(boxes.boxes[0].text, "COM3 (sim:COM3) is in use by another program.");
  EXPECT_EQ(boxes.boxes[0].icon, vk::platform::MsgIcon::Error);
  EXPECT_FALSE(comm->IsOpen());
  comm->SelectPort(3); // chosen again: said again
  loop.RunFor(10);
  EXPECT_EQ(boxes.boxes.size(), 2u);

  // A number the list did not show (the device finder tries them all) fails quietly...
  comm->SelectPort(9);
  loop.RunFor(600);
  EXPECT_EQ(boxes.boxes.size(), 2u);
  // ...but a listed port that has gone is worth saying.
  ports.AddUnopenable(4, PortState::Absent);
  comm->SelectPort(4);
  loop.RunFor(10);
  ASSERT_EQ(boxes.boxes.size(), 3u);
  EXPECT_EQ(boxes.boxes[2].text, "COM4 (sim:COM4) is not present.");
  // A working port is opened at once, whatever failed before.
  comm->SelectPort(1);
  loop.RunFor(1);
  EXPECT_TRUE(comm->IsOpen());
}

TEST_F(SimulatedLink, AFailedReadClosesThePortUntilItIsChosenAgain) {
  auto line = ports.Add(1);
  Start();
  line->Send("OK\r");
  loop.RunFor(1);
  line->HangUp(EIO);
  EXPECT_TRUE(boxes.boxes.empty());
  loop.RunFor(5);
  ASSERT_EQ(boxes.boxes.size(), 1u);
  // The port's fault: the box names the port and its device and says what to do.
  EXPECT_EQ(boxes.boxes[0].caption, "Connection lost");
  // The simulated line fails with EIO's number, whose text differs between systems.
  const std::string error = vk::platform::SystemErrorText(EIO);
  EXPECT_EQ(boxes.boxes[0].text,
            "COM1 (sim:COM1) has gone: reconnect it, then choose the port again\r(" + error + ")");
  EXPECT_EQ(boxes.boxes[0].icon, vk::platform::MsgIcon::Error);
  EXPECT_FALSE(comm->IsOpen()) << "the port shows as closed";
  EXPECT_TRUE(comm->Thread().Lost());
  // The reason in brackets is the system's text for the error, as in the box above.
  EXPECT_EQ(comm->Thread().LostText(), "COM1 (sim:COM1): the device has gone (" + error + ")");
  comm->SendString("never");
  loop.RunFor(100);
  EXPECT_TRUE(Writes(*line).empty());
  EXPECT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(delivered, std::vector<std::string>{"OK"});

  // The adapter is plugged in again: choosing the port opens it, no restart needed.
  auto back = ports.Add(1);
  comm->SelectPort(1);
  loop.RunFor(5);
  EXPECT_TRUE(comm->IsOpen());
  EXPECT_FALSE(comm->Thread().Lost());
  comm->SendString("again");
  loop.RunFor(20);
  EXPECT_EQ(Writes(*back), std::vector<std::string>{"again"});
}
