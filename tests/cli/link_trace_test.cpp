// The link's trace hooks and the end-of-sending signal, with the trace file vkprog writes:
// the serial link over a real pseudo-terminal, the CAN driver calls over a bus in memory, the
// file's times from the simulated clock.

#include "app/UserMessages.h"
#include "cli/LinkSession.h"
#include "cli/ProgressDisplay.h"
#include "cli/TraceFile.h"
#include "link/LinkTrace.h"
#include "link/SerialLink.h"
#include "platform/PosixSerial.h"
#include "platform/QtEventLoop.h"
#include "platform/RecordingMessageBox.h"
#include "platform/SimulatedEventLoop.h"
#include "support/ImageTestUtil.h"
#include "support/QtApp.h"
#include "support/SimulatedCanBus.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

using vk::cli::TraceFile;
using vk::link::CanMsg;
using vk::test::EnsureApp;

namespace {

// A pseudo-terminal: the link opens SlavePath(); the test is the far end on the master side.
class Pty {
public:
  Pty() {
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
    path_ = name;
  }
  ~Pty() {
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
  }
  bool Ok() const { return master_ >= 0 && !path_.empty(); }
  const std::string& SlavePath() const { return path_; }
  void Write(const std::string& bytes) const {
    [[maybe_unused]] const ssize_t n = ::write(master_, bytes.data(), bytes.size());
  }
  // Reads until count bytes have come or timeoutMs pass without any.
  std::string Read(std::size_t count, int timeoutMs = 5000) const {
    std::string out;
    while (out.size() < count) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) break;
      char buffer[4096];
      const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - out.size()));
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }

private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

std::vector<std::string> FileLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// What the hooks report, kept in order.
class RecordingTrace : public vk::link::ILinkTrace {
public:
  void Sent(const std::string& bytes, std::uint32_t baud) override { Add("tx", bytes, baud); }
  void Received(const std::string& bytes, std::uint32_t baud) override { Add("rx", bytes, baud); }
  void CanFrame(bool sent, const CanMsg& msg, std::uint32_t rate) override {
    std::lock_guard lock(mutex_);
    frames.push_back({sent, msg, rate});
  }
  void Note(const std::string& text) override {
    std::lock_guard lock(mutex_);
    notes.push_back(text);
  }
  // All bytes of one direction, joined.
  std::string Bytes(const std::string& direction) {
    std::lock_guard lock(mutex_);
    std::string out;
    for (const auto& e : entries)
      if (e.direction == direction) out += e.bytes;
    return out;
  }
  struct Entry {
    std::string direction, bytes;
    std::uint32_t baud;
  };
  struct Frame {
    bool sent;
    CanMsg msg;
    std::uint32_t rate;
  };
  std::vector<Entry> Entries() {
    std::lock_guard lock(mutex_);
    return entries;
  }
  std::vector<Frame> frames;
  std::vector<std::string> notes;

private:
  void Add(const char* direction, const std::string& bytes, std::uint32_t baud) {
    std::lock_guard lock(mutex_);
    entries.push_back({direction, bytes, baud});
  }
  std::mutex mutex_;
  std::vector<Entry> entries;
};

} // namespace

TEST(TraceFile, WritesReadableEntries) {
  EXPECT_EQ(TraceFile::Render("OP 7\r"), "\"OP 7\\r\"");
  EXPECT_EQ(TraceFile::Render("say \"hi\"\\\t\x01\n"), "\"say \\\"hi\\\"\\\\\\t\\x01\\n\"");
  EXPECT_EQ(TraceFile::Render(std::string("\x55\xAA\x00\x13", 4)), "hex 55 AA 00 13");
  EXPECT_EQ(TraceFile::Render("y"), "\"y\"");

  vk::test::TempDir dir;
  const std::string path = dir.File("trace.txt");
  vk::platform::SimulatedEventLoop loop(5000); // times are counted from the file's opening
  {
    TraceFile trace(path, "vkprog test", [&] { return loop.Now() / 1000.0; });
    ASSERT_TRUE(trace.Ok());
    trace.Note("COM1 /dev/pts/9 opened");
    loop.RunFor(1);
    trace.Sent("ID\r", 115200);
    // Bytes read one at a time make one entry up to the line feed...
    for (char c : std::string("ID88\r\n")) trace.Received(std::string(1, c), 115200);
    // ...or up to a pause longer than three characters' time (3.125 ms at 9600 bit/s), or a
    // change of rate.
    trace.Received("O", 9600);
    loop.RunFor(3);
    trace.Received("K", 9600);
    loop.RunFor(4);
    trace.Received("!", 9600);
    trace.Received(".", 57600);
    loop.RunFor(2);
    CanMsg msg;
    msg.ID = 0x7A2;
    msg.LEN = 3;
    msg.DATA[0] = 0x01;
    msg.DATA[1] = 0xAB;
    msg.DATA[2] = 0xFF;
    trace.CanFrame(true, msg, 500000);
    msg.LEN = 0;
    trace.CanFrame(false, msg, 0);
  }
  const auto lines = FileLines(path);
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0].rfind("# V&K Programmer link trace: vkprog test, started ", 0), 0u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()),
            (std::vector<std::string>{
                "    0.000000 ---- COM1 /dev/pts/9 opened", "    0.001000 tx  @115200 \"ID\\r\"",
                "    0.001000 rx  @115200 \"ID88\\r\\n\"", "    0.001000 rx  @9600 \"OK\"",
                "    0.008000 rx  @9600 \"!\"", "    0.008000 rx  @57600 \".\"",
                "    0.010000 can tx @500000 id 0x7A2 len 3: 01 AB FF",
                "    0.010000 can rx @0 id 0x7A2 len 0:"}));
}

TEST(TraceFile, KeepsLinesWholeWhenTwoThreadsWrite) {
  vk::test::TempDir dir;
  const std::string path = dir.File("trace.txt");
  constexpr int kEach = 2000;
  {
    TraceFile trace(path, "threads");
    std::thread worker([&] {
      for (int i = 0; i < kEach; ++i) {
        trace.Received("ab", 115200);
        trace.Received("\n", 115200);
      }
    });
    for (int i = 0; i < kEach; ++i) {
      trace.Sent("OP " + std::to_string(i) + "\r", 115200);
      trace.Note("note");
    }
    worker.join();
  }
  int tx = 0, rx = 0, notes = 0;
  const std::regex entry(
      R"(^ +[0-9]+\.[0-9]{6} (tx  @115200 "OP [0-9]+\\r"|rx  @115200 "(ab|\\n)+"|---- note)$)");
  std::string received;
  for (const auto& line : FileLines(path)) {
    if (line[0] == '#') continue;
    ASSERT_TRUE(std::regex_match(line, entry)) << line;
    if (line.find(" tx ") != std::string::npos) ++tx;
    if (line.find(" rx ") != std::string::npos) {
      ++rx;
      received += line.substr(line.find('"'));
    }
    if (line.find("---- note") != std::string::npos) ++notes;
  }
  EXPECT_EQ(tx, kEach);
  EXPECT_EQ(notes, kEach);
  // Every received byte is in the file once: kEach times "ab\n", however the entries fell.
  std::size_t ab = 0;
  for (std::size_t at = received.find("ab"); at != std::string::npos;
       at = received.find("ab", at + 2))
    ++ab;
  EXPECT_EQ(ab, static_cast<std::size_t>(kEach));
  // A write of the other thread may end a group of received bytes early, never split a byte.
  EXPECT_LE(rx, 2 * kEach);
}

// The serial link over a real pseudo-terminal, its devices handed out by TracedSerialPorts.
TEST(LinkTrace, SerialHookSeesEveryByteAndAllSentWaitsForTheWrite) {
  EnsureApp();
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  vk::platform::QtEventLoop loop;
  vk::platform::PosixSerialPorts real(vk::platform::PortMap({{3, pty.SlavePath()}}, false));
  RecordingTrace trace;
  vk::link::TracedSerialPorts ports(real, trace);
  vk::platform::RecordingMessageBox boxes;
  vk::link::SerialLink comm(loop, ports, nullptr, vk::app::TellInBoxes(boxes));
  vk::link::ListSelector selector;
  comm.FillPortList(selector);
  ASSERT_TRUE(loop.RunUntil([&] { return comm.IsOpen(); }, 3000));
  EXPECT_TRUE(comm.Thread().AllSent());

  comm.SetBaudRate(57600);
  comm.SendString("OP 7\r");
  EXPECT_EQ(pty.Read(5), "OP 7\r");
  pty.Write("OK\r\n");
  ASSERT_TRUE(loop.RunUntil([&] { return trace.Bytes("rx") == "OK\r\n"; }, 3000));
  EXPECT_EQ(trace.Bytes("tx"), "OP 7\r");
  const auto entries = trace.Entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.front().baud, 57600u);
  EXPECT_EQ(entries.back().baud, 57600u);
  ASSERT_GE(trace.notes.size(), 2u);
  EXPECT_EQ(trace.notes[0], "COM3 " + pty.SlavePath() + " opened");
  // A pseudo-terminal refuses low latency: said once, right after the open.
  EXPECT_EQ(trace.notes[1].rfind("COM3 low latency refused by the driver (", 0), 0u);
  EXPECT_EQ(std::count_if(trace.notes.begin(), trace.notes.end(),
                          [](const std::string& n) { return n.find("low latency") != n.npos; }),
            1);
  EXPECT_NE(std::find(trace.notes.begin(), trace.notes.end(), "line 57600 bit/s, parity none"),
            trace.notes.end());

  // A string larger than the terminal's buffer: the write waits for the far end to read, and
  // until it is written whole the link is not done sending, though nothing waits in the queue.
  const std::string big(512 * 1024, 'x');
  comm.SendString(big);
  EXPECT_FALSE(comm.Thread().AllSent());
  loop.RunFor(300);
  EXPECT_TRUE(comm.Thread().TxLines.Empty());
  EXPECT_FALSE(comm.Thread().AllSent()) << "the far end has not read anything yet";
  std::string far;
  std::thread reader([&] { far = pty.Read(big.size() + 2, 5000); });
  const bool sent = loop.RunUntil([&] { return comm.Thread().AllSent(); }, 10000);
  comm.SendString("G\r");
  loop.RunUntil([&] { return comm.Thread().AllSent(); }, 3000);
  reader.join();
  EXPECT_TRUE(sent);
  EXPECT_EQ(far.size(), big.size() + 2);
  EXPECT_EQ(far.substr(far.size() - 2), "G\r");
  EXPECT_EQ(trace.Bytes("tx"), "OP 7\r" + big + "G\r");
  EXPECT_TRUE(boxes.boxes.empty());
}

// The CAN driver calls over a bus in memory, with another node on it.
TEST(LinkTrace, CanHookSeesFramesBothWays) {
  vk::test::SimulatedCanBus wire;
  const auto node = wire.Join();
  ASSERT_TRUE(node->Open(250000));
  const auto bus = wire.Join();
  vk::link::PcanUsbOverCanBus driver(*bus);
  RecordingTrace trace;
  vk::link::TracedPcanUsb traced(driver, trace);
  ASSERT_EQ(traced.CAN_Init(0x011C, vk::link::CAN_INIT_TYPE_ST), vk::link::CAN_ERR_OK);
  ASSERT_FALSE(trace.notes.empty());
  EXPECT_EQ(trace.notes.back(), "CAN opened at bus timing 0x011C (250000 bit/s)");

  CanMsg out;
  out.ID = 0x6A3;
  out.LEN = 2;
  out.DATA[0] = 0x12;
  out.DATA[1] = 0x34;
  EXPECT_EQ(traced.CAN_Write(out), vk::link::CAN_ERR_OK);
  unsigned errors = 0;
  const auto heard = node->Receive(errors);
  ASSERT_TRUE(heard);
  EXPECT_EQ(heard->id, 0x6A3u);
  vk::platform::CanFrame back;
  back.id = 0x5A4;
  back.length = 3;
  back.data = {0x07, 0x08, 0x09};
  ASSERT_TRUE(node->Send(back));
  CanMsg in;
  ASSERT_EQ(traced.CAN_Read(in), vk::link::CAN_ERR_OK);
  EXPECT_EQ(in.ID, 0x5A4u);
  traced.CAN_Close();

  const auto sent = std::find_if(trace.frames.begin(), trace.frames.end(),
                                 [](const auto& f) { return f.sent && f.msg.ID == 0x6A3; });
  ASSERT_NE(sent, trace.frames.end());
  EXPECT_EQ(sent->rate, 250000u);
  EXPECT_EQ(sent->msg.LEN, 2);
  const auto got = std::find_if(trace.frames.begin(), trace.frames.end(),
                                [](const auto& f) { return !f.sent && f.msg.ID == 0x5A4; });
  ASSERT_NE(got, trace.frames.end());
  EXPECT_EQ(got->msg.LEN, 3);
  EXPECT_EQ(got->msg.DATA[2], 0x09);
  EXPECT_EQ(trace.notes.back(), "CAN closed");
}

TEST(VkprogPorts, DevicePathsGetANumberAndCOMNumbersNeedADevice) {
  using vk::cli::ResolvePort;
  using vk::cli::UsageError;
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  // No ranges: only the explicit entries name devices.
  const vk::platform::PortMap map({{4, "/dev/null"}, {7, pty.SlavePath()}}, false);

  auto c = ResolvePort("pcan", map);
  EXPECT_TRUE(c.OverCan());
  c = ResolvePort("COM4", map);
  EXPECT_EQ(c.portNo, 4);
  EXPECT_EQ(c.device, "/dev/null");
  EXPECT_FALSE(c.mapped);
  // A path the map already numbers keeps its number.
  c = ResolvePort(pty.SlavePath(), map);
  EXPECT_EQ(c.portNo, 7);
  EXPECT_FALSE(c.mapped);
  // Another path gets the lowest number that names nothing.
  c = ResolvePort("/dev/ttyVK0", map);
  EXPECT_EQ(c.portNo, 1);
  EXPECT_TRUE(c.mapped);
  const vk::platform::PortMap busy({{1, "/dev/null"}, {2, "/dev/null"}}, false);
  EXPECT_EQ(ResolvePort("/dev/ttyVK0", busy).portNo, 3);

  EXPECT_THROW(ResolvePort("COM5", map), std::runtime_error); // names no device
  EXPECT_THROW(ResolvePort("COM50", map), UsageError);
  EXPECT_THROW(ResolvePort("COM", map), UsageError);
  EXPECT_THROW(ResolvePort("COM1x", map), UsageError);
  EXPECT_THROW(ResolvePort("ttyUSB0", map), UsageError);
}

TEST(ProgressDisplay, BarAndPlainLines) {
  using vk::cli::ProgressDisplay;
  // 0x1000..0xD000: 48 KiB in 192 blocks; half of it done at 8 KiB/s leaves 3 seconds.
  EXPECT_EQ(ProgressDisplay::BarText("QRD14 #7", 16, 208, 112, 8192),
            "QRD14 #7 [###############---------------]  50%  24.0/48.0 KiB  8.0 KiB/s  0:03 left");
  EXPECT_EQ(ProgressDisplay::BarText("X #0", 0, 8, 0, 0),
            "X #0 [------------------------------]   0%  0.0/2.0 KiB");
  // On a narrow terminal the rate goes before the bar gets short, then the bar shrinks, then
  // the line is cut: it never reaches the last column, so it never wraps.
  EXPECT_EQ(ProgressDisplay::BarText("QRD14 #7", 16, 208, 112, 8192, 256, 60),
            "QRD14 #7 [##############--------------]  50%  24.0/48.0 KiB");
  EXPECT_EQ(ProgressDisplay::BarText("QRD14 #7", 16, 208, 112, 8192, 256, 40),
            "QRD14 #7 [####----]  50%  24.0/48.0 KiB");
  EXPECT_EQ(ProgressDisplay::BarText("QRD14 #7", 16, 208, 112, 8192, 256, 20),
            "QRD14 #7 []  50%  2");

  vk::test::TempDir dir;
  const std::string path = dir.File("progress.txt");
  {
    std::FILE* f = std::fopen(path.c_str(), "w");
    ProgressDisplay lines(f, ProgressDisplay::Style::Lines);
    for (int p = 16; p <= 32; ++p) lines.Update("QRD14 #7", 16, 32, p, p);
    lines.Update("QRD14 #7", 16, 32, 16, 40); // set back at the end of the run
    lines.Finished(true);
    // The next module starts over in blocks larger than a tenth, and its last record is refused.
    for (const int p : {20, 25, 32}) lines.Update("QRD14 #8", 16, 32, p, 41);
    lines.Finished(false);
    std::fclose(f);
  }
  const auto out = FileLines(path);
  // Each tenth in turn, 0 % to 100 % once the module was taken; never 100 % for the refused one.
  ASSERT_EQ(out.size(), 21u);
  EXPECT_EQ(out[0], "progress: QRD14 #7 0% (256 of 4096 bytes)");
  EXPECT_EQ(out[5], "progress: QRD14 #7 50% (2048 of 4096 bytes)");
  EXPECT_EQ(out[10], "progress: QRD14 #7 100% (4096 of 4096 bytes)");
  for (int tenth = 0; tenth < 10; ++tenth)
    EXPECT_EQ(out[11 + tenth].rfind("progress: QRD14 #8 " + std::to_string(tenth * 10) + "% (", 0),
              0u)
        << out[11 + tenth];
  // The bar stops short of 100 % too: all bytes sent are not all bytes taken.
  EXPECT_EQ(ProgressDisplay::BarText("X #0", 0, 8, 8, 0),
            "X #0 [##############################]  99%  2.0/2.0 KiB");
}
