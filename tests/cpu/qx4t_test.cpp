// The QX4T serial boot-loader protocol against the simulated boot loader, in virtual time; and
// the CAN protocol where there is no CAN bus to talk over.

#include "app/UserMessages.h"
#include "cpu/QX4T.h"
#include "devsim/Qx4tBootLoader.h"
#include "link/CanLink.h"
#include "platform/LinkTestSupport.h"
#include "platform/QtCanBus.h"
#include "programmer/CpuFactory.h"
#include "support/HexText.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <cstdio>

using vk::cpu::TCPU_QX4T_BOOT;
using vk::devsim::Qx4tBootConfig;
using vk::devsim::Qx4tBootLoader;
using vk::devsim::TranscriptEntry;
using vk::programmer::FailReason;
using vk::test::HexText;
using vk::test::Pattern;
using vk::test::SimWorld;

namespace {

using Lines = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;

const std::string kEnd = ":00000001FF\r";

// A 128-byte data record as the loader must receive it, ended by a carriage return.
std::string Record(std::uint32_t addr, const std::uint8_t* data) {
  char buf[16];
  std::snprintf(buf, sizeof buf, ":80%04X00", addr & 0xFFFF);
  std::string text = buf;
  unsigned sum = 0x80 + (addr >> 8 & 0xFF) + (addr & 0xFF);
  for (int i = 0; i < 128; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", data[i]);
    text += buf;
    sum += data[i];
  }
  std::snprintf(buf, sizeof buf, "%02X\r", (0x100 - (sum & 0xFF)) & 0xFF);
  return text + buf;
}

struct BootBench {
  explicit BootBench(Qx4tBootConfig config = {})
      : loader(std::move(config)), p(w, vk::programmer::MakeCpuFactory(nullptr)) {
    w.Attach(loader);
    p.Select("QX4T - BOOT");
  }
  bool Run(std::uint32_t addr, const Bytes& data) {
    p.image.Clear(); // loading adds to what the image holds
    EXPECT_TRUE(p.LoadText(HexText(addr, data)));
    p.Program(0);
    const bool ended = p.RunToEnd();
    w.loop.RunFor(50); // the last bytes reach the loader
    return ended;
  }
  std::string Result() const { return p.log.Lines().empty() ? "" : p.log.Lines().back(); }
  Lines Records(std::initializer_list<std::uint32_t> addrs) const {
    Lines out;
    for (const auto a : addrs) out.push_back(Record(a, p.image.Image() + a));
    return out;
  }
  // What the loader received, write by write, with the time (ms) and the rate of each.
  struct Write {
    double at;
    std::uint32_t baud;
    std::string bytes;
  };
  std::vector<Write> Writes() const {
    std::vector<Write> out;
    for (const auto& e : loader.Transcript())
      if (e.kind == TranscriptEntry::Kind::FromHost)
        out.push_back({static_cast<double>(e.at) / 1000.0, e.baud, e.bytes});
    return out;
  }
  // When the loader received each write equal to bytes, in ms.
  std::vector<double> Times(const std::string& bytes) const {
    std::vector<double> out;
    for (const auto& wr : Writes())
      if (wr.bytes == bytes) out.push_back(wr.at);
    return out;
  }
  std::uint32_t Baud() const { return w.line->Settings().BaudRate; }
  TCPU_QX4T_BOOT& Cpu() { return dynamic_cast<TCPU_QX4T_BOOT&>(p.prg.Cpu()); }

  SimWorld w;
  Qx4tBootLoader loader;
  vk::test::Programmer p;
};

Lines Concat(std::initializer_list<Lines> parts) {
  Lines out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Qx4tBootConfig EnterReplies(std::map<std::uint64_t, std::string> replies) {
  Qx4tBootConfig c;
  c.enterReplies = std::move(replies);
  return c;
}

} // namespace

TEST(Qx4tBoot, FullRunProgramsEveryNonBlankBlockAndStartsTheApplication) {
  BootBench b;
  ASSERT_NE(dynamic_cast<TCPU_QX4T_BOOT*>(&b.p.prg.Cpu()), nullptr) << "CpuKind 8";
  // Five blocks from 0; the third is blank.
  Bytes data = Pattern(0x280);
  std::fill(data.begin() + 0x100, data.begin() + 0x180, 0xFF);
  ASSERT_TRUE(b.Run(0x0000, data));
  EXPECT_EQ(b.Result(), "QX4T - BOOT #0 Programmed OK");
  EXPECT_EQ(b.p.status.PanelText(0), "Module Programmed OK");
  EXPECT_EQ(b.w.Written(),
            Concat({{"BM\r"}, b.Records({0x000, 0x080, 0x180, 0x200}), {kEnd, "GN\r"}}));

  // "BM", the records and "GN" at 57600 bit/s; the link back at 115200 afterwards.
  for (const auto& wr : b.Writes()) EXPECT_EQ(wr.baud, 57600u) << wr.bytes.substr(0, 12);
  EXPECT_EQ(b.Baud(), 115200u);
  // Each record goes out the loader's 100 ms after the answer to the one before (the end record
  // 10 ms more); the first also waits for the loader to settle after "BM".
  vk::devsim::Micros answered = 0;
  std::vector<double> quietMs;
  for (const auto& e : b.loader.Transcript()) {
    if (e.kind == TranscriptEntry::Kind::ToHost) answered = e.end;
    if (e.kind == TranscriptEntry::Kind::FromHost && e.bytes.front() == ':')
      quietMs.push_back(static_cast<double>(e.at - answered) / 1000.0);
  }
  ASSERT_EQ(quietMs.size(), 5u);
  EXPECT_GE(quietMs[0], 300.0);
  for (std::size_t i = 1; i < 4; ++i) {
    EXPECT_GE(quietMs[i], 100.0) << "record " << i;
    EXPECT_LT(quietMs[i], 105.0) << "record " << i;
  }
  EXPECT_GE(quietMs[4], 110.0);
  EXPECT_LT(quietMs[4], 115.0);

  for (std::uint32_t a = 0; a < 0x280; ++a)
    ASSERT_EQ(b.loader.Flash()[a], b.p.image.Image()[a]) << a;
  EXPECT_EQ(b.loader.Flash()[0x280], 0xFF);
  EXPECT_EQ(b.loader.Counters().enters, 1u);
  EXPECT_EQ(b.loader.Counters().programmed, 4u);
  EXPECT_EQ(b.loader.Counters().endRecords, 1u);
  EXPECT_EQ(b.loader.Counters().starts, 1u);
  EXPECT_FALSE(b.loader.InLoader());
  EXPECT_EQ(b.Cpu().EndAddr, 0x280u) << "no checksum word over the serial boot loader";
}

TEST(Qx4tBoot, AStopDuringAPauseEndsTheRunBeforeAnythingMoreIsSent) {
  // The writes made when the stop comes: in the pause before "BM", in the one after it, and in
  // the loader's 100 ms before the second record. Before, each was a sleep that a stop waited for.
  for (const std::size_t writtenBefore : {0u, 1u, 2u}) {
    BootBench b;
    b.p.image.Clear();
    ASSERT_TRUE(b.p.LoadText(HexText(0, Pattern(0x400))));
    b.p.Program(0);
    ASSERT_TRUE(b.w.loop.RunUntil(
        [&] { return b.Cpu().Pausing() && b.w.Written().size() == writtenBefore; }, 5000))
        << writtenBefore;
    b.p.prg.StopRun();
    EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::StoppedByUser);
    b.w.loop.RunFor(2000);
    EXPECT_EQ(b.w.Written().size(), writtenBefore) << "nothing after the stop";
    EXPECT_EQ(b.Baud(), 115200u);
  }
}

TEST(Qx4tBoot, AllErasedImageSendsOnlyTheEndRecordAndAcknowledgeMayBe06) {
  Qx4tBootConfig c;
  c.recordAck = '\x06';
  BootBench b(c);
  ASSERT_TRUE(b.Run(0x0000, Bytes(0x100, 0xFF)));
  EXPECT_EQ(b.Result(), "QX4T - BOOT #0 Programmed OK");
  EXPECT_EQ(b.w.Written(), (Lines{"BM\r", kEnd, "GN\r"}));
  EXPECT_EQ(b.loader.Counters().programmed, 0u);

  // Now a real image: every record answered by 0x06 alone.
  ASSERT_TRUE(b.Run(0x0100, Pattern(0x100)));
  EXPECT_EQ(b.Result(), "QX4T - BOOT #0 Programmed OK");
  EXPECT_EQ(b.loader.Counters().programmed, 2u);
}

TEST(Qx4tBoot, AnswersToBm) {
  {
    SCOPED_TRACE("\"K\" among other characters starts programming; a lone character is ignored");
    BootBench b(EnterReplies({{1, "Z\r\nQX4T boot V2 - OK\r\n"}}));
    ASSERT_TRUE(b.Run(0x0000, Pattern(0x80)));
    EXPECT_EQ(b.Result(), "QX4T - BOOT #0 Programmed OK");
    EXPECT_EQ(b.Times("BM\r").size(), 1u) << "the lone \"Z\" asks for nothing";
  }
  {
    SCOPED_TRACE("three answers without \"K\" are asked again; the fourth may still say \"K\"");
    BootBench b(EnterReplies({{1, "NO\r\n"}, {2, "NO\r\n"}, {3, "NO\r\n"}, {4, "OK\r\n"}}));
    ASSERT_TRUE(b.Run(0x0000, Pattern(0x80)));
    EXPECT_EQ(b.Result(), "QX4T - BOOT #0 Programmed OK");
    EXPECT_EQ(b.Times("BM\r").size(), 4u);
  }
  {
    SCOPED_TRACE("the fourth answer without \"K\" fails the run after three repeats of BM");
    BootBench b(EnterReplies({{1, "NO\r\n"}, {2, "NO\r\n"}, {3, "NO\r\n"}, {4, "NO\r\n"}}));
    ASSERT_TRUE(b.Run(0x0000, Pattern(0x80)));
    EXPECT_EQ(b.Result(), "QX4T - BOOT #0 Failed");
    EXPECT_EQ(b.p.status.PanelText(0), "Module Programming Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().reason, FailReason::NoSync);
    EXPECT_EQ(b.w.Written(), (Lines{"BM\r", "BM\r", "BM\r", "BM\r"})) << "and no \"GN\"";
    EXPECT_EQ(b.Baud(), 115200u);
  }
  {
    SCOPED_TRACE("only a lone character, or nothing: waits for the limit, asks nothing again");
    for (const char* reply : {"?\r\n", ""}) {
      BootBench b(EnterReplies({{1, reply}}));
      ASSERT_TRUE(b.Run(0x0000, Pattern(0x80)));
      EXPECT_EQ(b.Result(), "QX4T - BOOT #0 Failed");
      EXPECT_EQ(b.w.Written(), (Lines{"BM\r"}));
      const double waited = static_cast<double>(b.w.loop.Now()) - b.Times("BM\r").at(0);
      EXPECT_GE(waited, TCPU_QX4T_BOOT::kTiming.enterAnswerLimitMs);
      EXPECT_LE(waited, TCPU_QX4T_BOOT::kTiming.enterAnswerLimitMs + 1000);
    }
  }
  {
    SCOPED_TRACE("a boot loader at another rate hears nothing");
    Qx4tBootConfig c;
    c.baud = 19200;
    BootBench b(c);
    ASSERT_TRUE(b.Run(0x0000, Pattern(0x80)));
    EXPECT_EQ(b.Result(), "QX4T - BOOT #0 Failed");
    EXPECT_EQ(b.loader.Counters().enters, 0u);
  }
}

TEST(Qx4tBoot, RecordAnswersDecide) {
  {
    SCOPED_TRACE("an answer holding an acknowledge among other characters goes on");
    Qx4tBootConfig c;
    c.recordReplies = {{1, "ok.\x06\r\n"}};
    BootBench b(c);
    ASSERT_TRUE(b.Run(0x0000, Pattern(0x100)));
    EXPECT_EQ(b.Result(), "QX4T - BOOT #0 Programmed OK");
    EXPECT_EQ(b.loader.Counters().programmed, 2u);
  }
  {
    SCOPED_TRACE("the last character recognised decides: an acknowledge followed by another fails");
    Qx4tBootConfig c;
    c.recordReplies = {{2, "ok.X\r\n"}};
    BootBench b(c);
    ASSERT_TRUE(b.Run(0x0000, Pattern(0x200)));
    EXPECT_EQ(b.p.prg.LastOutcome().detail, "record at 0x0080 refused");
    EXPECT_EQ(b.w.Written(), Concat({{"BM\r"}, b.Records({0x000, 0x080})}));
  }
  for (const char* rule : {"record:2=X", "record:2=garbage", "record:2=R"}) {
    SCOPED_TRACE(rule);
    BootBench b;
    ASSERT_TRUE(b.loader.AddFault(rule));
    ASSERT_TRUE(b.Run(0x0000, Pattern(0x200)));
    EXPECT_EQ(b.Result(), "QX4T - BOOT #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().reason, FailReason::RecordRefused);
    // No record is sent again, and no "GN" starts the half-written application.
    EXPECT_EQ(b.w.Written(), Concat({{"BM\r"}, b.Records({0x000, 0x080})}));
    EXPECT_EQ(b.p.prg.LastOutcome().detail, "record at 0x0080 refused");
    EXPECT_EQ(b.Baud(), 115200u);
  }
  {
    SCOPED_TRACE("an unanswered record fails the run at the limit");
    BootBench b;
    ASSERT_TRUE(b.loader.AddFault("record:2=silent"));
    ASSERT_TRUE(b.Run(0x0000, Pattern(0x200)));
    EXPECT_EQ(b.Result(), "QX4T - BOOT #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().reason, FailReason::RecordUnanswered);
    const double waited = static_cast<double>(b.w.loop.Now()) - b.Writes().at(2).at;
    EXPECT_GE(waited, TCPU_QX4T_BOOT::kTiming.recordAnswerLimitMs);
    EXPECT_LE(waited, TCPU_QX4T_BOOT::kTiming.recordAnswerLimitMs + 1000);
  }
  {
    SCOPED_TRACE("an image reaching into the boot loader is refused before anything is sent");
    BootBench b;
    ASSERT_TRUE(b.Run(0xDF80, Pattern(0x100)));
    EXPECT_EQ(b.Result(), "QX4T - BOOT #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().detail,
              "the image's data at E000-E07F lies outside the region 0000-DFFF; nothing written");
    EXPECT_TRUE(b.w.Written().empty());
    EXPECT_EQ(b.loader.Counters().programmed, 0u);
    EXPECT_EQ(b.loader.Flash()[0xE000], 0xFF);
  }
}

TEST(Qx4tCanWithoutBus, RunFailsAtOnce) {
  {
    SCOPED_TRACE("no CAN link at all");
    SimWorld w;
    vk::test::Programmer p(w, vk::programmer::MakeCpuFactory(nullptr));
    p.Select("QX4T - PCAN");
    ASSERT_NE(dynamic_cast<vk::cpu::TCPU_QX4T*>(&p.prg.Cpu()), nullptr) << "CpuKind 7";
    ASSERT_TRUE(p.LoadText(HexText(0x0400, Pattern(0x80))));
    p.Program(0);
    const auto start = w.loop.Now();
    ASSERT_TRUE(p.RunToEnd());
    EXPECT_LT(w.loop.Now() - start, 500);
    EXPECT_EQ(p.log.Lines(), (Lines{"QX4T - PCAN #0 Failed"}));
    EXPECT_EQ(p.prg.LastOutcome().reason, FailReason::LinkLost);
    EXPECT_TRUE(w.Written().empty());
  }
  {
    SCOPED_TRACE("a CAN back end that cannot start: reported, and Erase never goes out");
    vk::test::App();
    SimWorld w;
    vk::platform::QtCanBus bus("nosuchbackend", "can0");
    vk::link::PcanUsbOverCanBus driver(bus);
    vk::link::CanLink can(w.loop, driver, vk::app::TellInBoxes(w.boxes));
    vk::test::Programmer p(w, vk::programmer::MakeCpuFactory(&can));
    p.Select("QX4T - PCAN");
    ASSERT_TRUE(p.LoadText(HexText(0x0400, Pattern(0x80))));
    p.Program(0);
    const auto start = w.loop.Now();
    ASSERT_TRUE(p.RunToEnd());
    EXPECT_LT(w.loop.Now() - start, 1000) << "no wait for an answer to a frame never sent";
    EXPECT_EQ(p.log.Lines(), (Lines{"QX4T - PCAN #0 Failed"}));
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0].text, "Error Code = 0200\rCAN_ERR_NOVXD\r");
  }
}
