// The serial link end to end over real pseudo-terminals, with the real event loop and the
// worker on its own thread. Waits are for events, never for a measured time.

#include "app/UserMessages.h"
#include "link/SerialLink.h"
#include "platform/LinkTestSupport.h"
#include "platform/PosixSerial.h"
#include "platform/QtEventLoop.h"
#include "platform/RecordingMessageBox.h"
#include "platform/SettingsStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using vk::link::ListSelector;
using vk::link::SerialLink;
using vk::platform::PortMap;
using vk::platform::PosixSerialPorts;

namespace {

constexpr int kPatience = 10000; // ms; only a broken link ever waits this long

// Records boxes and whether each was shown on the tick thread.
class ThreadCheckingBox : public vk::platform::IMessageBox {
public:
  vk::platform::MsgAnswer Show(const std::string& text, const std::string& caption,
                               vk::platform::MsgButtons buttons,
                               vk::platform::MsgIcon icon) override {
    if (std::this_thread::get_id() != tickThread) ++shownElsewhere;
    return boxes.Show(text, caption, buttons, icon);
  }
  std::thread::id tickThread = std::this_thread::get_id();
  int shownElsewhere = 0;
  vk::platform::RecordingMessageBox boxes;
};

struct PtyLink {
  PtyLink()
      : settings(dir.File("vk.ini")),
        ports(PortMap({{5, five.SlavePath()}, {6, six.SlavePath()}}, false)) {}
  SerialLink& Start() {
    comm = std::make_unique<SerialLink>(loop, ports, &settings, vk::app::TellInBoxes(box));
    comm->OnReceive = [this](SerialLink&, const std::string& line) { delivered.push_back(line); };
    comm->FillPortList(selector);
    return *comm;
  }
  bool WaitFor(const std::function<bool()>& done) { return loop.RunUntil(done, kPatience); }

  struct AppFirst {
    AppFirst() { vk::test::App(); }
  } app; // before the loop
  vk::test::TempDir dir;
  vk::platform::SettingsStore settings;
  vk::test::PtyPair five, six;
  PosixSerialPorts ports;
  vk::platform::QtEventLoop loop;
  ThreadCheckingBox box;
  ListSelector selector;
  std::vector<std::string> delivered;
  std::unique_ptr<SerialLink> comm; // last: goes first
};

} // namespace

TEST(SerialLinkOverPty, BytesInEntriesOutStringsOutInOrder) {
  PtyLink w;
  ASSERT_TRUE(w.five.Ok() && w.six.Ok());
  SerialLink& comm = w.Start();
  ASSERT_EQ(w.selector.Count(), 3);
  EXPECT_EQ(w.selector.EntryText(1), "COM5");
  EXPECT_EQ(w.selector.EntryHint(1), w.five.SlavePath());
  EXPECT_EQ(w.selector.CurrentIndex(), 1);
  ASSERT_TRUE(w.WaitFor([&] { return comm.IsOpen(); }));

  // Bytes in, entries out: lines, "." and 0x06 entries, a frame, and a line without its end.
  w.five.Write("ID 12\r\n.1.5\r\x06~\x03"
               "ABCDE"
               "abc");
  ASSERT_TRUE(w.WaitFor([&] { return w.delivered.size() >= 6; }));
  const std::vector<std::string> expected = {"ID 12",
                                             ".",
                                             "1.5",
                                             "\x06",
                                             "~\x03"
                                             "ABCDE",
                                             "abc"};
  EXPECT_EQ(w.delivered, expected);

  // Queued strings out, in order, unchanged.
  comm.SendString("A\r");
  comm.SendString("OP0\r\r");
  comm.SendChar(0x00);
  comm.SendString(":0100000212EB");
  EXPECT_EQ(w.five.Read(21), std::string("A\rOP0\r\r\0:0100000212EB", 21));

  // A record far longer than 1,024 bytes goes out whole.
  std::string big;
  for (int i = 0; i < 3000; ++i) big += static_cast<char>('0' + i % 10);
  comm.SendString(big);
  EXPECT_EQ(w.five.Read(big.size()), big);

  // A bit-rate change is on the line before the next string is written.
  comm.SetBaudRate(9600);
  comm.SendString("X");
  EXPECT_EQ(w.five.Read(1), "X");
  const termios line = w.five.Line();
  EXPECT_EQ(cfgetospeed(&line), B9600);
  EXPECT_EQ(comm.GetBaudRate(), 9600u);
  // The terminal refused DTR and RTS (and keeps no parity); the link went on regardless.
  EXPECT_NE(comm.Thread().LastRefused() & vk::platform::kRefusedDtr, 0u);
  EXPECT_TRUE(w.box.boxes.boxes.empty());
}

TEST(SerialLinkOverPty, PortChangePortZeroAndTheRememberedPort) {
  PtyLink w;
  SerialLink& comm = w.Start();
  ASSERT_TRUE(w.WaitFor([&] { return comm.IsOpen(); }));
  w.selector.Pick(2); // COM6
  EXPECT_EQ(comm.PortNo(), 6);
  comm.SendString("to six");
  EXPECT_EQ(w.six.Read(6), "to six");
  EXPECT_EQ(w.five.ReadAvailable(), "");
  w.six.Write("from six\r");
  ASSERT_TRUE(w.WaitFor([&] { return !w.delivered.empty(); }));
  EXPECT_EQ(w.delivered.back(), "from six");

  // Port 0 ("PCAN"): closed; a string queued meanwhile is dropped, never sent to the next port.
  comm.SelectPort(0);
  ASSERT_TRUE(w.WaitFor([&] { return !comm.IsOpen(); }));
  comm.SendString("late");
  w.loop.RunFor(50);
  EXPECT_EQ(w.five.ReadAvailable() + w.six.ReadAvailable(), "");
  comm.SelectPort(5);
  comm.SendString("next");
  EXPECT_EQ(w.five.Read(4), "next");
  EXPECT_TRUE(comm.IsOpen());

  w.comm.reset();
  EXPECT_EQ(w.settings.Read("PORT"), "COM5");
  // At the next start the remembered port is chosen again.
  w.selector = {};
  w.settings.Write("PORT", "COM6");
  SerialLink& again = w.Start();
  EXPECT_EQ(again.PortNo(), 6);
  EXPECT_EQ(w.selector.CurrentIndex(), 2);
}

TEST(SerialLinkOverPty, FarEndHangingUpClosesThePortWithAMessage) {
  PtyLink w;
  SerialLink& comm = w.Start();
  ASSERT_TRUE(w.WaitFor([&] { return comm.IsOpen(); }));
  w.five.Write("partial");
  w.loop.RunFor(5);
  w.five.HangUp();
  ASSERT_TRUE(w.WaitFor([&] { return !w.box.boxes.boxes.empty(); }));
  w.loop.RunFor(20);
  ASSERT_EQ(w.box.boxes.boxes.size(), 1u);
  EXPECT_EQ(w.box.boxes.boxes[0].caption, "Connection lost");
  EXPECT_EQ(w.box.boxes.boxes[0].text, "COM5 (" + w.five.SlavePath() +
                                           ") has gone: reconnect it, then choose the port "
                                           "again\r(Input/output error)");
  EXPECT_EQ(w.box.boxes.boxes[0].icon, vk::platform::MsgIcon::Error);
  EXPECT_EQ(w.box.shownElsewhere, 0); // shown on the tick thread, not by the worker
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_EQ(comm.Thread().LostText(),
            "COM5 (" + w.five.SlavePath() + "): the device has gone (Input/output error)");
  comm.SendString("after");
  w.loop.RunFor(20);
  w.comm.reset(); // and the link goes away cleanly
}

TEST(SerialLinkOverPty, APortHeldByAnotherLinkIsReportedBusy) {
  PtyLink first;
  SerialLink& holder = first.Start();
  ASSERT_TRUE(first.WaitFor([&] { return holder.IsOpen(); }));

  ThreadCheckingBox box;
  ListSelector selector;
  PosixSerialPorts ports(PortMap({{5, first.five.SlavePath()}}, false));
  auto second = std::make_unique<SerialLink>(first.loop, ports, nullptr, vk::app::TellInBoxes(box));
  second->FillPortList(selector);
  ASSERT_EQ(selector.Count(), 2); // listed, though busy
  ASSERT_TRUE(first.WaitFor([&] { return !box.boxes.boxes.empty(); }));
  EXPECT_EQ(box.boxes.boxes[0].caption, "COM5");
  EXPECT_NE(box.boxes.boxes[0].text.find("COM5 (" + first.five.SlavePath() +
                                         ") is in use by another program"),
            std::string::npos);
  EXPECT_FALSE(second->IsOpen());
  // Once the holder lets go, the waiting link takes the port.
  first.comm.reset();
  ASSERT_TRUE(first.WaitFor([&] { return second->IsOpen(); }));
  EXPECT_EQ(box.boxes.boxes.size(), 1u);
  second.reset();
}

TEST(SerialLinkOverPty, StopsCleanlyWhileBusyInBothDirections) {
  for (int round = 0; round < 3; ++round) {
    PtyLink w;
    SerialLink& comm = w.Start();
    ASSERT_TRUE(w.WaitFor([&] { return comm.IsOpen(); }));
    std::atomic<bool> stop{false};
    std::thread talker([&] {
      while (!stop) {
        w.five.TryWrite("line of text\r\n");
        w.five.ReadAvailable();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
    for (int i = 0; i < 50; ++i) comm.SendString("string " + std::to_string(i) + "\r");
    w.loop.RunFor(10 + round * 10);
    w.comm.reset(); // worker stopped before the lists go
    stop = true;
    talker.join();
  }
}
