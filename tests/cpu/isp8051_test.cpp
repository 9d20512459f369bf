// The two 8051 boot-loader protocols against the simulated loader, in virtual time.

#include "cpu/AT89C51RX2.h"
#include "cpu/P89C51RX2.h"
#include "devsim/Isp8051Loader.h"
#include "devsim/Transcript.h"
#include "programmer/CpuFactory.h"
#include "support/HexText.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace vk::cpu;
using vk::devsim::Isp8051Chip;
using vk::devsim::Isp8051Config;
using vk::devsim::Isp8051Loader;
using vk::devsim::TranscriptEntry;
using vk::programmer::CpuState;
using vk::test::HexText;
using vk::test::Pattern;
using vk::test::SimWorld;

namespace {

using Lines = std::vector<std::string>;

const std::string kEnd = ":00000001FF\r";
const std::string kAt89Close = ":03000003060000F4";
const std::string kP89Close1 = ":020000030400F7";
const std::string kP89Close2 = ":030000030601FCF7";
const std::string kOsc = ":0100000212EB";
const std::string kErase = ":0100000307F5";

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

Lines Concat(std::initializer_list<Lines> parts) {
  Lines out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The AT89C51RD2 entry with the loader of the chosen chip behind COM1. The P89C51RX2 has no
// entry of its own: the entry is given its CpuKind.
struct Bench {
  explicit Bench(Isp8051Chip chip, Isp8051Config config = {})
      : loader(WithChip(config, chip)), p(w, vk::programmer::MakeCpuFactory(nullptr)) {
    w.Attach(loader);
    if (chip == Isp8051Chip::P89C51RX2) {
      for (auto& n : p.prg.Nodes())
        if (n.Name == "AT89C51RD2") n.CpuKind = 4;
    }
    p.Select("AT89C51RD2");
  }
  static Isp8051Config WithChip(Isp8051Config c, Isp8051Chip chip) {
    c.chip = chip;
    return c;
  }
  void Load(const std::string& hex) { ASSERT_TRUE(p.LoadText(hex)); }
  TCPU_ISP8051& Cpu() { return dynamic_cast<TCPU_ISP8051&>(p.prg.Cpu()); }
  bool Run(vk::platform::Millis limit = 120000) {
    p.Program(0);
    return p.RunToEnd(limit);
  }
  std::string Result() const { return p.log.Lines().empty() ? "" : p.log.Lines().back(); }
  // When each "U" went out, in ms.
  std::vector<double> SyncTimes() const { return Times("U"); }
  // When the loader received each write equal to bytes, in ms. Without pacing a write arrives
  // at one instant; the echo splits it into many transcript entries.
  std::vector<double> Times(const std::string& bytes) const {
    std::vector<std::pair<vk::devsim::Micros, std::string>> writes;
    for (const auto& e : loader.Transcript()) {
      if (e.kind != TranscriptEntry::Kind::FromHost) continue;
      if (writes.empty() || writes.back().first != e.at)
        writes.emplace_back(e.at, e.bytes);
      else
        writes.back().second += e.bytes;
    }
    std::vector<double> out;
    for (const auto& [at, text] : writes)
      if (text == bytes) out.push_back(static_cast<double>(at) / 1000.0);
    return out;
  }
  Lines Records(std::initializer_list<std::uint32_t> addrs) const {
    Lines out;
    for (const auto a : addrs) out.push_back(Record(a, p.image.Image() + a));
    return out;
  }
  std::uint32_t Baud() const { return w.line->Settings().BaudRate; }

  SimWorld w;
  Isp8051Loader loader;
  vk::test::Programmer p;
};

// Blocks at 0x000, 0x080, 0x100 and 0x400; the blocks between are blank.
std::string TwoPieces() {
  std::string first = HexText(0x0000, Pattern(0x180, 3));
  first.resize(first.size() - std::string(":00000001FF\r\n").size());
  return first + HexText(0x0400, Pattern(0x80, 9));
}

void ExpectStepsApart(const std::vector<double>& times, double ms, const char* what) {
  for (std::size_t i = 1; i < times.size(); ++i)
    EXPECT_NEAR(times[i] - times[i - 1], ms, 1.0) << what << " #" << i;
}

} // namespace

TEST(Isp8051, FullRunAt89) {
  Bench b(Isp8051Chip::AT89C51RX2);
  ASSERT_NE(dynamic_cast<TCPU_AT89C51RX2*>(&b.p.prg.Cpu()), nullptr) << "CpuKind 2";
  b.w.comm->SetBaudRate(9600); // the user's rate: the protocol keeps it
  b.Load(TwoPieces());
  ASSERT_TRUE(b.Run());
  // The blank blocks between are written too: nothing older may stay inside the range.
  EXPECT_EQ(
      b.w.Written(),
      Concat({{"U", "\r"},
              b.Records({0x000, 0x080, 0x100, 0x180, 0x200, 0x280, 0x300, 0x380, 0x400}),
              {kEnd, TCPU_ISP8051::DisplayCommand(0, 0x3FF), ":050000040400047F0070", kAt89Close}}))
      << "the whole range read back before the closing command";
  EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Programmed OK");
  EXPECT_EQ(b.p.status.PanelText(0), "Module Programmed OK");
  for (std::uint32_t a = 0; a < 0x480; ++a)
    ASSERT_EQ(b.loader.Flash()[a], b.p.image.Image()[a]) << a;
  EXPECT_EQ(b.loader.Flash()[0x480], 0xFF);
  EXPECT_EQ(b.loader.Counters().programmed, 9u);
  EXPECT_TRUE(b.loader.StartsApplication());
  EXPECT_EQ(b.loader.SyncedBaud(), 9600u);
  EXPECT_EQ(b.Baud(), 9600u);
  EXPECT_EQ(b.loader.Counters().wrongRate, 0u);

  // Another image over this one, without an erase: each page write erases its page, and a
  // blank block of the new image leaves nothing of the old one.
  auto newer = Pattern(0x180, 5);
  std::fill(newer.begin() + 0x80, newer.begin() + 0x100, 0xFF);
  b.Load(HexText(0x0000, newer));
  const auto writes = b.w.Written().size();
  ASSERT_TRUE(b.Run());
  EXPECT_EQ(b.w.Written()[writes], "U") << "the next run synchronises again";
  EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Programmed OK");
  EXPECT_EQ(b.loader.Counters().erases, 0u);
  for (std::uint32_t a = 0; a < 0x180; ++a) ASSERT_EQ(b.loader.Flash()[a], newer[a]) << a;
}

// The AT89C51RX2 proves what it wrote: a stuck bit fails the run, which then leaves the chip in
// its boot loader (no closing command).
TEST(Isp8051, ReadBackVerifiesTheWrittenBlocks) {
  using vk::programmer::FailReason;
  const auto data = Pattern(0x1000, 7);
  {
    Bench b(Isp8051Chip::AT89C51RX2);
    b.Load(HexText(0x1000, data));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.p.log.Lines(),
              (Lines{"AT89C51RD2 #0 Verified 4096 bytes", "AT89C51RD2 #0 Programmed OK"}));
    EXPECT_TRUE(b.p.prg.LastOutcome().verified);
    EXPECT_EQ(b.p.prg.LastOutcome().bytesVerified, 4096u);
    EXPECT_EQ(b.loader.Counters().displays, 4u) << "at most 1 KiB a display command";
  }
  std::uint32_t at = 0x1000;
  while (data[at - 0x1000] & 1) ++at; // a byte whose bit 0 must clear
  Isp8051Config c;
  c.stuckBitAt = at;
  Bench b(Isp8051Chip::AT89C51RX2, c);
  b.Load(HexText(0x1000, data));
  ASSERT_TRUE(b.Run());
  EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Failed");
  const auto& outcome = b.p.prg.LastOutcome();
  EXPECT_EQ(outcome.reason, FailReason::VerifyFailed);
  char detail[80];
  std::snprintf(detail, sizeof detail, "verify: flash differs at 0x%04X (read %02X, expected %02X)",
                at, data[at - 0x1000] | 1, data[at - 0x1000]);
  EXPECT_EQ(outcome.detail, detail);
  EXPECT_FALSE(outcome.verified);
  const Lines written = b.w.Written();
  EXPECT_EQ(std::count(written.begin(), written.end(), kAt89Close), 0);
  EXPECT_FALSE(b.loader.StartsApplication());
}

// Read and compare runs write nothing and leave the chip in its boot loader.
TEST(Isp8051, ReadAndCompareRuns) {
  using vk::programmer::RunResult;
  const auto data = Pattern(0x300, 5);
  Bench b(Isp8051Chip::AT89C51RX2);
  b.loader.Preload(0x2000, data);
  b.p.prg.StartRead(0x2000, 0x2300);
  b.p.running = true;
  ASSERT_TRUE(b.p.RunToEnd());
  EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Read 768 bytes (2000-22FF)");
  EXPECT_EQ(b.p.image.MemStart(), 0x2000u);
  EXPECT_EQ(b.p.image.MemEnd(), 0x2300u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), b.p.image.Image() + 0x2000));

  b.p.prg.StartCompare();
  b.p.running = true;
  ASSERT_TRUE(b.p.RunToEnd());
  EXPECT_EQ(b.p.prg.LastOutcome().result, RunResult::Same);
  EXPECT_EQ(b.p.log.Lines().end()[-2], "AT89C51RD2 #0 Verified 768 bytes");

  b.p.image.Image()[0x2101] ^= 0x80;
  b.p.prg.StartCompare();
  b.p.running = true;
  ASSERT_TRUE(b.p.RunToEnd());
  EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::VerifyFailed);
  // A blank block of the image is compared too: the chip's data there is a difference.
  std::fill(b.p.image.Image() + 0x2100, b.p.image.Image() + 0x2180, 0xFF);
  b.p.prg.StartCompare();
  b.p.running = true;
  ASSERT_TRUE(b.p.RunToEnd());
  EXPECT_EQ(b.p.prg.LastOutcome().detail.substr(0, 34), "verify: flash differs at 0x2100 (r");
  EXPECT_EQ(b.loader.Counters().records, 0u);
  EXPECT_EQ(b.loader.Counters().closingCommands, 0u);
}

TEST(Isp8051, FullRunP89) {
  Isp8051Config c;
  c.recordAck = '\x06';
  Bench b(Isp8051Chip::P89C51RX2, c);
  ASSERT_NE(dynamic_cast<TCPU_P89C51RX2*>(&b.p.prg.Cpu()), nullptr) << "CpuKind 4";
  b.Load(TwoPieces());
  ASSERT_TRUE(b.Run());
  EXPECT_EQ(b.w.Written(), Concat({{"U", "\r", kOsc},
                                   b.Records({0x000, 0x080, 0x100, 0x400}),
                                   {kEnd, kP89Close1, kP89Close2}}));
  EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Programmed OK");
  for (std::uint32_t a = 0; a < 0x480; ++a)
    ASSERT_EQ(b.loader.Flash()[a], b.p.image.Image()[a]) << a;
  EXPECT_EQ(b.loader.OscillatorMHz(), 18);
  EXPECT_EQ(b.loader.StatusByte(), 0x00);
  EXPECT_EQ(b.loader.BootVector(), 0xFC);
  EXPECT_EQ(b.loader.SyncedBaud(), 19200u) << "the loader is addressed at 19200";
  EXPECT_EQ(b.Baud(), 115200u);

  // A second run synchronises again and programs the same image over itself.
  const auto writes = b.w.Written().size();
  ASSERT_TRUE(b.Run());
  EXPECT_EQ(b.w.Written()[writes], "U");
  EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Programmed OK");
  EXPECT_EQ(b.loader.Counters().syncs, 2u);
}

TEST(Isp8051, SilentChipGivesUp) {
  {
    Bench b(Isp8051Chip::AT89C51RX2);
    ASSERT_TRUE(b.loader.AddFault("silent"));
    b.Load(TwoPieces());
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::NoSync);
    EXPECT_EQ(b.w.Written(), Lines(21, "U"));
    // Sent, then six ticks of 10 ms without an echo, then sent again.
    const auto times = b.SyncTimes();
    ASSERT_EQ(times.size(), 21u);
    ExpectStepsApart(times, 70.0, "U");
  }
  {
    // The oscillator command unanswered: its repeats count on from those of "U" (two here), and
    // each waits its six ticks.
    Bench b(Isp8051Chip::P89C51RX2);
    ASSERT_TRUE(b.loader.AddFault("command:OSC=silent"));
    b.loader.AddFault("command:SYNC#1=silent");
    b.loader.AddFault("command:SYNC#2=silent");
    b.w.comm->SetBaudRate(57600);
    b.Load(TwoPieces());
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Failed");
    EXPECT_EQ(b.w.Written(), Concat({Lines(3, "U"), {"\r"}, Lines(19, kOsc)}));
    const auto times = b.Times(kOsc);
    ASSERT_EQ(times.size(), 19u);
    ExpectStepsApart(times, 70.0, "oscillator command");
    EXPECT_EQ(b.Baud(), 115200u) << "a failed run also leaves the link at 115200";
  }
}

TEST(Isp8051, EchoIsFoundAnywhereInTheLine) {
  {
    Isp8051Config c;
    c.syncReplies[1] = "\x80?zU"; // noise before the echo
    Bench b(Isp8051Chip::AT89C51RX2, c);
    b.Load(HexText(0x200, Pattern(0x10)));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Programmed OK");
    EXPECT_EQ(b.SyncTimes().size(), 1u);
  }
  {
    Isp8051Config c;
    c.syncReplies[1] = "\x80?z"; // no "U" in it: not an echo
    c.echo = false;
    Bench b(Isp8051Chip::P89C51RX2, c);
    b.Load(HexText(0x200, Pattern(0x10)));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Programmed OK");
    EXPECT_EQ(b.SyncTimes().size(), 2u);
  }
}

TEST(Isp8051, TheLastRecognisedCharacterDecides) {
  for (const auto chip : {Isp8051Chip::AT89C51RX2, Isp8051Chip::P89C51RX2}) {
    Isp8051Config c;
    c.recordReplies[2] = ".X"; // the second block again
    c.recordReplies[4] = "X."; // the third block taken
    Bench b(chip, c);
    b.Load(HexText(0x1000, Pattern(0x200)));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Programmed OK");
    const Lines written = b.w.Written();
    Lines records;
    for (const auto& s : written)
      if (s.rfind(":80", 0) == 0) records.push_back(s);
    EXPECT_EQ(records, b.Records({0x1000, 0x1080, 0x1080, 0x1100, 0x1180}));
    EXPECT_EQ(b.Cpu().RecordRepeats, 1);
  }
  {
    // "L" is fatal only for the AT89C51RX2; the P89C51RX2 ignores it and takes the ".".
    for (const auto chip : {Isp8051Chip::AT89C51RX2, Isp8051Chip::P89C51RX2}) {
      Isp8051Config c;
      c.recordReplies[2] = ".L";
      Bench b(chip, c);
      b.Load(HexText(0x1000, Pattern(0x200)));
      ASSERT_TRUE(b.Run());
      const bool at89 = chip == Isp8051Chip::AT89C51RX2;
      EXPECT_EQ(b.Result(), at89 ? "AT89C51RD2 #0 Failed" : "AT89C51RD2 #0 Programmed OK");
      EXPECT_EQ(b.loader.Counters().records, at89 ? 2u : 4u);
    }
  }
}

// A block sent again after a late "X" may get two answers; the later one, behind the echo of
// that earlier block, must not acknowledge the block that follows it.
TEST(Isp8051, AnAnswerBehindAnotherBlocksEchoIsNotTaken) {
  for (const auto chip : {Isp8051Chip::AT89C51RX2, Isp8051Chip::P89C51RX2}) {
    const auto data = Pattern(0x100);
    Isp8051Config c;
    // The second block is refused, but the late answer to the first arrives before the "R".
    c.recordReplies[2] = "\r\n" + Record(0x1000, data.data()) + ".\r\nR";
    Bench b(chip, c);
    b.Load(HexText(0x1000, data));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::RecordRefused);
  }
}

TEST(Isp8051, FatalAnswersEndTheRun) {
  struct Case {
    Isp8051Chip chip;
    const char* fault;
    bool locked;
  };
  for (const Case& k : {Case{Isp8051Chip::AT89C51RX2, "record:2=R", false},
                        Case{Isp8051Chip::AT89C51RX2, "record:2=L", false},
                        Case{Isp8051Chip::AT89C51RX2, nullptr, true},
                        Case{Isp8051Chip::P89C51RX2, "record:2=R", false},
                        Case{Isp8051Chip::P89C51RX2, nullptr, true}}) {
    Isp8051Config c;
    c.locked = k.locked;
    Bench b(k.chip, c);
    if (k.fault) {
      ASSERT_TRUE(b.loader.AddFault(k.fault));
    }
    b.Load(HexText(0x1000, Pattern(0x200)));
    ASSERT_TRUE(b.Run());
    const std::string what = k.fault ? k.fault : "locked";
    EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Failed") << what;
    EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::RecordRefused) << what;
    EXPECT_EQ(b.loader.Counters().records, k.locked ? 1u : 2u) << what;
    const Lines written = b.w.Written();
    EXPECT_EQ(std::count(written.begin(), written.end(), kEnd), 0) << what;
  }
}

TEST(Isp8051, FiveRepeatsPerRun) {
  for (const int repeats : {5, 6}) {
    Bench b(Isp8051Chip::AT89C51RX2);
    // Every other record refused, so no single record is repeated twice.
    for (int i = 1; i <= repeats; ++i)
      ASSERT_TRUE(b.loader.AddFault("record:" + std::to_string(2 * i) + "=X"));
    b.Load(HexText(0x2000, Pattern(0x400)));
    ASSERT_TRUE(b.Run());
    if (repeats == 5) {
      EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Programmed OK");
      EXPECT_EQ(b.loader.Counters().records, 13u);
      for (std::uint32_t a = 0x2000; a < 0x2400; ++a)
        ASSERT_EQ(b.loader.Flash()[a], b.p.image.Image()[a]);
    } else {
      EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Failed");
      EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::RecordRefused);
      EXPECT_EQ(b.loader.Counters().records, 12u) << "the sixth repeat is not sent";
      EXPECT_EQ(b.w.Written().back().substr(0, 7), ":802300") << "the last record sent";
    }
  }
}

TEST(Isp8051, BlankImageIsWrittenOnlyWhereTheChipReplacesPages) {
  for (const auto chip : {Isp8051Chip::AT89C51RX2, Isp8051Chip::P89C51RX2}) {
    Isp8051Config c;
    c.echo = false;
    Bench b(chip, c);
    b.Load(HexText(0x100, std::vector<std::uint8_t>(0x200, 0xFF)));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Programmed OK");
    // The AT89C51RX2 writes even a blank range, which then holds nothing older.
    const bool at89 = chip == Isp8051Chip::AT89C51RX2;
    if (!at89) EXPECT_EQ(b.w.Written(), (Lines{"U", "\r", kOsc, kEnd, kP89Close1, kP89Close2}));
    EXPECT_EQ(b.loader.Counters().records, at89 ? 4u : 0u);
  }
}

TEST(Isp8051, EraseFirst) {
  for (const auto chip : {Isp8051Chip::AT89C51RX2, Isp8051Chip::P89C51RX2}) {
    Bench b(chip);
    b.loader.Preload(0x0000, std::vector<std::uint8_t>(0x300, 0x00)); // an earlier program
    b.Load(HexText(0x0100, Pattern(0x100)));
    b.p.prg.Cpu().EraseFirst = true;
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Programmed OK");
    const Lines sync = chip == Isp8051Chip::AT89C51RX2 ? Lines{"U", "\r"} : Lines{"U", "\r", kOsc};
    const Lines close =
        chip == Isp8051Chip::AT89C51RX2 ? Lines{kAt89Close} : Lines{kP89Close1, kP89Close2};
    const Lines readBack =
        chip == Isp8051Chip::AT89C51RX2 ? Lines{":05000004010001FF00F6"} : Lines{};
    EXPECT_EQ(b.w.Written(),
              Concat({sync, {kErase}, b.Records({0x100, 0x180}), {kEnd}, readBack, close}));
    const auto statuses = b.p.StatusTexts();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Erasing Module"), statuses.end());
    EXPECT_EQ(b.loader.Counters().erases, 1u);
    for (std::uint32_t a = 0; a < 0x300; ++a)
      ASSERT_EQ(b.loader.Flash()[a], b.p.image.Image()[a]) << a;
  }
  {
    // The erase echoed (heard) but never acknowledged: it is not sent to a chip that may be
    // erasing, and the run fails after the erase's time limit without a record (the chip may
    // hold anything).
    Bench b(Isp8051Chip::AT89C51RX2);
    ASSERT_TRUE(b.loader.AddFault("command:ERASE=silent"));
    b.Load(HexText(0x0100, Pattern(0x100)));
    b.p.prg.Cpu().EraseFirst = true;
    ASSERT_TRUE(b.Run());
    const Lines written = b.w.Written();
    EXPECT_EQ(std::count(written.begin(), written.end(), kErase), 1);
    EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::EraseFailed);
    EXPECT_EQ(written.back(), kErase);
  }
}

TEST(Isp8051, EraseOnlyRunErasesTheChip) {
  // Erase-only runs must reach the chip: "Erased OK" after the erase command was acknowledged.
  Bench b(Isp8051Chip::AT89C51RX2);
  b.loader.Preload(0x0000, std::vector<std::uint8_t>(0x100, 0x00));
  b.Load(HexText(0x0100, Pattern(0x100)));
  b.p.Erase(0);
  ASSERT_TRUE(b.p.RunToEnd());
  EXPECT_EQ(b.Result(), "Module #0 Erased OK");
  EXPECT_EQ(b.loader.Counters().erases, 1u);
  EXPECT_EQ(b.w.Written(), (Lines{"U", "\r", kErase}));
  EXPECT_EQ(b.loader.Flash()[0x10], 0xFF);
  // The next run programs without erasing again.
  ASSERT_TRUE(b.Run());
  EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Programmed OK");
  EXPECT_EQ(b.loader.Counters().erases, 1u);
}

TEST(Isp8051, AChipEraseOfSixSecondsIsWaitedForAfterItsEcho) {
  // Atmel: the full chip erase takes about 6 s. The echo of the command comes at once, its "."
  // only then; the command goes once.
  Isp8051Config slow;
  slow.eraseMs = 6000;
  Bench b(Isp8051Chip::AT89C51RX2, slow);
  b.Load(HexText(0x0100, Pattern(0x100)));
  b.p.Erase(0);
  ASSERT_TRUE(b.p.RunToEnd());
  EXPECT_EQ(b.Result(), "Module #0 Erased OK");
  EXPECT_EQ(b.w.Written(), (Lines{"U", "\r", kErase}));
}

TEST(Isp8051, BitRates) {
  for (const std::uint32_t before : {9600u, 57600u, 115200u}) {
    Bench p89(Isp8051Chip::P89C51RX2);
    p89.w.comm->SetBaudRate(before);
    p89.Load(HexText(0x0000, Pattern(0x40)));
    ASSERT_TRUE(p89.Run());
    EXPECT_EQ(p89.Result(), "AT89C51RD2 #0 Programmed OK") << before;
    EXPECT_EQ(p89.loader.SyncedBaud(), 19200u) << before;
    EXPECT_EQ(p89.Baud(), 115200u) << before;

    Bench at89(Isp8051Chip::AT89C51RX2);
    at89.w.comm->SetBaudRate(before);
    at89.Load(HexText(0x0000, Pattern(0x40)));
    ASSERT_TRUE(at89.Run());
    EXPECT_EQ(at89.Result(), "AT89C51RD2 #0 Programmed OK") << before;
    EXPECT_EQ(at89.loader.SyncedBaud(), before);
    EXPECT_EQ(at89.Baud(), before);
  }
}

TEST(Isp8051, UnansweredClosingCommandFailsTheRun) {
  {
    Bench b(Isp8051Chip::AT89C51RX2);
    ASSERT_TRUE(b.loader.AddFault("command:CLOSE=silent"));
    b.Load(HexText(0x0000, Pattern(0x80)));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Failed");
    const auto sent = b.Times(kAt89Close);
    ASSERT_EQ(sent.size(), 1u);
    // About kCloseWaitTicks ticks of 10 ms after the command.
    const double waited = static_cast<double>(b.w.loop.Now()) - sent[0];
    EXPECT_GT(waited, 4900);
    EXPECT_LT(waited, 5300);
  }
  {
    Bench b(Isp8051Chip::P89C51RX2);
    ASSERT_TRUE(b.loader.AddFault("command:CLOSE#2=garbage"));
    b.Load(HexText(0x0000, Pattern(0x80)));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::RecordUnanswered);
    EXPECT_EQ(b.p.prg.LastOutcome().detail, "closing command 2 unanswered");
    EXPECT_EQ(b.w.Written().back(), kP89Close2);
    EXPECT_EQ(b.Baud(), 115200u);
  }
}

// A loader that falls silent or goes away after two records: the run fails on the unanswered
// record within the limit, with the link back in text mode.
TEST(Isp8051, ChipSilentOrGoneDuringRecordsFailsWithinTheLimit) {
  using vk::programmer::FailReason;
  for (const char* fault : {"after-records:2=silent", "after-records:2=hangup"}) {
    Bench b(Isp8051Chip::AT89C51RX2);
    ASSERT_TRUE(b.loader.AddFault(fault));
    b.Load(HexText(0x1000, Pattern(0x400)));
    b.p.Program(0);
    ASSERT_TRUE(b.p.RunToEnd(10000)) << fault;
    EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Failed") << fault;
    // A hang-up is "link lost" where the link notices it, else an unanswered record.
    const FailReason reason = b.p.prg.LastOutcome().reason;
    EXPECT_TRUE(reason == FailReason::RecordUnanswered ||
                (reason == FailReason::LinkLost && fault[16] == 'h'))
        << fault;
    EXPECT_FALSE(b.w.comm->IsRawMode());
    EXPECT_FALSE(b.p.prg.RunActive());
  }
}

// A chip (or adapter) that goes away in the middle of the records ends the run as failed at
// once, naming the port, and never reports success.
TEST(Isp8051, ChipGoneDuringRecordsFailsTheRunNamingThePort) {
  Bench b(Isp8051Chip::AT89C51RX2);
  ASSERT_TRUE(b.loader.AddFault("after-records:2=hangup"));
  b.Load(HexText(0x1000, Pattern(0x400)));
  b.p.Program(0);
  EXPECT_TRUE(b.p.RunToEnd(1000));
  EXPECT_EQ(b.Result(), "AT89C51RD2 #0 Failed");
  ASSERT_FALSE(b.p.log.Lines().empty());
  EXPECT_EQ(b.p.log.Lines().front().rfind("COM1 (", 0), 0u) << b.p.log.Lines().front();
  EXPECT_NE(b.p.log.Lines().front().find("the device has gone"), std::string::npos);
  EXPECT_EQ(b.p.StatusTexts().back(), b.p.log.Lines().front());
  EXPECT_FALSE(b.w.comm->IsOpen()) << "the port shows as closed";
  EXPECT_EQ(b.loader.Counters().records, 2u);
  EXPECT_FALSE(b.p.prg.RunActive());
}
