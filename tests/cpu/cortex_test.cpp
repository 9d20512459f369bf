// The Cortex-M3 blank check against the simulated boot loader, in virtual time.

#include "cpu/Cortex_M3.h"
#include "devsim/CortexBootLoader.h"
#include "programmer/CpuFactory.h"
#include "support/HexText.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace vk::cpu;
using vk::devsim::CortexBootLoader;
using vk::devsim::CortexConfig;
using vk::platform::SimulatedSerialLine;
using vk::programmer::CpuState;
using vk::test::Pattern;
using vk::test::SimWorld;

namespace {

using Lines = std::vector<std::string>;
const std::string kSync = "\x7F";
const std::string kRead("\x11\xEE", 2);
const std::string kLength("\xFF\x00", 2);

constexpr std::uint32_t kFlash = 0x08000000;

// The address bytes and their XOR.
std::string Frame(std::uint32_t addr) {
  const std::uint8_t b[4] = {static_cast<std::uint8_t>(addr >> 24),
                             static_cast<std::uint8_t>(addr >> 16),
                             static_cast<std::uint8_t>(addr >> 8), static_cast<std::uint8_t>(addr)};
  const auto check = static_cast<std::uint8_t>(b[0] ^ b[1] ^ b[2] ^ b[3]);
  return std::string{static_cast<char>(b[0]), static_cast<char>(b[1]), static_cast<char>(b[2]),
                     static_cast<char>(b[3]), static_cast<char>(check)};
}

// The bytes of reading the flash's blocks at 0x08000000, +256, ... up to and including `last`.
Lines Reads(std::uint32_t last) {
  Lines out;
  for (std::uint32_t a = kFlash; a <= last; a += 256) {
    out.push_back(kRead);
    out.push_back(Frame(a));
    out.push_back(kLength);
  }
  return out;
}

Lines Concat(std::initializer_list<Lines> parts) {
  Lines out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

CortexConfig WithParity() {
  CortexConfig c;
  c.requireEvenParity = true; // in-process the line carries the parity bit
  return c;
}

// The "Cortex-M3" entry with the loader behind COM1.
struct Bench {
  explicit Bench(CortexConfig config = WithParity())
      : loader(config), p(w, vk::programmer::MakeCpuFactory(nullptr)) {
    w.Attach(loader);
    p.Select("Cortex-M3");
    EXPECT_TRUE(p.LoadText(vk::test::HexText(0x0000, Pattern(0x100))));
  }
  bool Run() {
    p.Program(0);
    const bool ended = p.RunToEnd();
    w.loop.RunFor(20); // Finish's settings reach the line
    return ended;
  }
  std::string Result() const { return p.log.Lines().empty() ? "" : p.log.Lines().back(); }
  bool Erased() const {
    const auto s = p.StatusTexts();
    return std::find(s.begin(), s.end(), "Erasing Module") != s.end();
  }
  int Count(const std::string& bytes) const {
    const auto w2 = w.Written();
    return static_cast<int>(std::count(w2.begin(), w2.end(), bytes));
  }

  SimWorld w;
  CortexBootLoader loader;
  vk::test::Programmer p;
};

// A protocol object on the link with nothing at the far end, stepped by hand.
struct Bare {
  Bare() : cpu(w.loop) {
    cpu.Bind({.regionStart = static_cast<std::int32_t>(kFlash), .bootBaud = 115200});
    cpu.InitBegin(w.comm.get(), "");
  }
  void Answer(const std::string& entry) { w.comm->RxLines.Add(entry); }
  Lines Written() {
    w.loop.RunFor(1);
    return w.Written();
  }
  // A tick of the run every 10 ms with nothing new on the line.
  void PollEvery10Ms(int ticks) {
    for (int i = 0; i < ticks; ++i) {
      w.loop.RunFor(10);
      cpu.InitStep(skipErase);
    }
  }
  // Synchronised, and the block at 0 asked for: the next bytes are the block's.
  void AskForFirstBlock() {
    cpu.InitStep(skipErase); // 0x7F
    for (const char* step : {"sync", "settle", "read", "address", "length", "block"}) {
      if (std::string(step) != "settle" && std::string(step) != "read") Answer("y");
      cpu.InitStep(skipErase);
    }
  }
  SimWorld w;
  TCPU_CORTEX cpu;
  bool skipErase = false;
};

} // namespace

TEST(CortexM3, BlankChipIsReadIn33BlocksAndTheEraseIsSkipped) {
  Bench b;
  ASSERT_NE(dynamic_cast<TCPU_CORTEX*>(&b.p.prg.Cpu()), nullptr);
  ASSERT_TRUE(b.Run());
  EXPECT_EQ(b.Result(), "Cortex-M3 #0 Blank (08000000-080020FF checked), nothing written");
  EXPECT_EQ(b.p.status.PanelText(0), "Module Blank (08000000-080020FF checked), nothing written");
  const Lines written = b.w.Written();
  EXPECT_EQ(written, Concat({{kSync}, Reads(kFlash + 0x2000)}));
  ASSERT_GE(written.size(), 6u);
  EXPECT_EQ(written[5], std::string("\x08\x00\x01\x00\x09", 5)) << "the frame for 0x08000100";
  EXPECT_EQ(b.loader.Stats().blocksRead.size(), 33u);
  EXPECT_EQ(b.loader.Stats().blocksRead.back(), 0x2000u);
  EXPECT_FALSE(b.Erased());
  EXPECT_FALSE(b.p.prg.SkipErase) << "per-run flags end with their run";

  // Even parity at 115200 while the loader is addressed; Finish returns the link to normal.
  bool first = true;
  vk::platform::LineSettings now;
  for (const auto& e : b.w.line->Events()) {
    if (e.kind == SimulatedSerialLine::Event::Applied) now = e.settings;
    if (e.kind == SimulatedSerialLine::Event::Written && first) {
      first = false;
      EXPECT_EQ(now.BaudRate, 115200u);
      EXPECT_EQ(now.Parity, 2);
    }
  }
  EXPECT_EQ(b.w.line->Settings().Parity, 0);
  EXPECT_EQ(b.w.line->Settings().BaudRate, 115200u);
  EXPECT_FALSE(b.w.comm->IsRawMode());
}

TEST(CortexM3, CheckStopsAtTheFirstNonBlankBlock) {
  {
    Bench b;
    b.loader.SetNotBlankFrom(0x300);
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "Cortex-M3 #0 Not blank (data at 08000300-080003FF), nothing written");
    EXPECT_EQ(b.w.Written(), Concat({{kSync}, Reads(kFlash + 0x300)}));
    // Nothing is erased, and nothing on screen says so.
    for (const auto& text : b.p.StatusTexts())
      EXPECT_EQ(text.find("Erasing"), std::string::npos) << text;
    EXPECT_EQ(b.p.prg.LastOutcome().result, vk::programmer::RunResult::NotBlank);
  }
  {
    Bench b; // one byte in the first block is enough
    b.loader.PutMemory(0x00FF, {0x7F});
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "Cortex-M3 #0 Not blank (data at 08000000-080000FF), nothing written");
    EXPECT_EQ(b.w.Written(), Concat({{kSync}, Reads(kFlash)}));
    EXPECT_FALSE(b.Erased());
  }
}

TEST(CortexM3, SynchronisationGivesUpAfter21AttemptsOf26QuietPolls) {
  {
    Bench b; // silent: 0x7F again after 26 quiet polls of the 10 ms tick, 21 times, then Failed
    b.loader.Faults().Add("silent");
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "Cortex-M3 #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::NoSync);
    EXPECT_EQ(b.w.Written(), Lines(21, kSync));
    std::vector<vk::devsim::Micros> sent;
    for (const auto& e : b.loader.Transcript())
      if (e.kind == vk::devsim::TranscriptEntry::Kind::FromHost && e.bytes == kSync)
        sent.push_back(e.at);
    ASSERT_EQ(sent.size(), 21u);
    for (std::size_t i = 1; i < sent.size(); ++i) EXPECT_EQ(sent[i] - sent[i - 1], 270000) << i;
    EXPECT_EQ(b.w.line->Settings().Parity, 0);
  }
  {
    Bare b; // "y" anywhere in the entry synchronises
    b.cpu.InitStep(b.skipErase);
    b.Answer("\x1F\x79\x00");
    b.cpu.InitStep(b.skipErase);
    b.cpu.InitStep(b.skipErase);
    b.cpu.InitStep(b.skipErase);
    EXPECT_EQ(b.Written(), (Lines{kSync, kRead}));
  }
  {
    Bench b; // an unanswered first 0x7F: the second attempt synchronises
    b.loader.Faults().Add("command:sync#1=silent");
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "Cortex-M3 #0 Blank (08000000-080020FF checked), nothing written");
    EXPECT_EQ(b.Count(kSync), 2);
  }
}

TEST(CortexM3, BlockCheckResynchronisesTwiceAtMost) {
  {
    Bare b; // after a resynchronisation the check goes on where it was
    b.cpu.InitStep(b.skipErase);
    b.Answer("y");
    for (int i = 0; i < 200 && b.Written().size() < 3; ++i) b.cpu.InitStep(b.skipErase);
    EXPECT_EQ(b.Written(), (Lines{kSync, kRead, kSync}));
    b.Answer("y");
    b.cpu.InitStep(b.skipErase);
    b.cpu.InitStep(b.skipErase);
    b.Answer("y"); // the check goes on where it was: this is the read command's "y"
    b.cpu.InitStep(b.skipErase);
    EXPECT_EQ(b.Written(), (Lines{kSync, kRead, kSync, Frame(kFlash)}));
  }
  {
    Bench b; // the read command goes unanswered: two resynchronisations, then Failed
    b.loader.Faults().Add("command:read=silent");
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "Cortex-M3 #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::RecordUnanswered);
    EXPECT_EQ(b.w.Written(), (Lines{kSync, kRead, kSync, kSync}));
    // 0x7F again 52 ticks of 10 ms after the unanswered read command.
    std::vector<vk::devsim::Micros> at;
    for (const auto& e : b.loader.Transcript())
      if (e.kind == vk::devsim::TranscriptEntry::Kind::FromHost) at.push_back(e.at);
    ASSERT_GE(at.size(), 3u);
    EXPECT_EQ(at[2] - at[1], 520000);
  }
  {
    Bench b; // a refused address is said to be refused, at once: waiting would not change it
    b.loader.Faults().Add("command:address=X");
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::CommandRefused);
    EXPECT_EQ(b.p.prg.LastOutcome().detail, "block at 0x08000000: address refused (NACK)");
    EXPECT_EQ(b.w.Written(), (Lines{kSync, kRead, Frame(kFlash)}));
  }
  {
    Bench b; // a repeat during synchronisation leaves both resynchronisations
    b.loader.Faults().Add("command:sync#1=silent");
    b.loader.Faults().Add("command:read=silent");
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "Cortex-M3 #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().detail, "block at 0x08000000 unanswered");
    EXPECT_EQ(b.w.Written(), (Lines{kSync, kSync, kRead, kSync, kSync}));
  }
  {
    CortexConfig c = WithParity(); // a loader that pauses before the data reads the same
    c.dataDelayMs = 100;
    Bench b(c);
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "Cortex-M3 #0 Blank (08000000-080020FF checked), nothing written");
    EXPECT_EQ(b.w.Written(), Concat({{kSync}, Reads(kFlash + 0x2000)}));
  }
}

TEST(CortexM3, CheckByteFollowsTheData) {
  {
    Bare b; // all in one entry: one tick; trailing bytes are dropped with the entry
    b.AskForFirstBlock();
    std::string block(256, '\x5A');
    block += '\0'; // 256 equal bytes XOR to 0
    b.Answer(block + "junk");
    b.cpu.InitStep(b.skipErase);
    EXPECT_EQ(b.w.comm->RxLines.Count(), 0);
    b.cpu.InitStep(b.skipErase);
    b.cpu.InitStep(b.skipErase);
    EXPECT_EQ(b.cpu.State, CpuState::Done);
    EXPECT_EQ(b.cpu.DoneDetail, "data at 08000000-080000FF") << "0x5A is not blank";
  }
  {
    Bare b; // split over entries, the check byte in the second
    b.AskForFirstBlock();
    std::string block;
    std::uint8_t x = 0;
    for (int i = 0; i < 256; ++i) {
      block += static_cast<char>(i);
      x ^= static_cast<std::uint8_t>(i);
    }
    b.Answer(block.substr(0, 100));
    b.cpu.InitStep(b.skipErase);
    b.Answer(block.substr(100) + static_cast<char>(x ^ 1)); // a wrong check byte
    b.cpu.InitStep(b.skipErase);
    b.cpu.InitStep(b.skipErase);
    b.Answer("y");
    b.cpu.InitStep(b.skipErase);
    EXPECT_EQ(b.Written(), (Lines{kSync, kRead, Frame(kFlash), kLength, kRead, Frame(kFlash)}))
        << "the same block is read again";
  }
  {
    Bench b; // one spoilt check byte: block 0 is read twice, the run goes on
    b.loader.Faults().Add("command:data#1=garbage");
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "Cortex-M3 #0 Blank (08000000-080020FF checked), nothing written");
    EXPECT_EQ(b.w.Written(),
              Concat({{kSync, kRead, Frame(kFlash), kLength}, Reads(kFlash + 0x2000)}));
  }
  {
    Bench b; // every check byte spoilt: 21 reads of block 0, then the run fails
    b.loader.Faults().Add("command:data=garbage");
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "Cortex-M3 #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::Garbled);
    EXPECT_EQ(b.Count(kRead), 21);
    EXPECT_EQ(b.Count(Frame(kFlash)), 21);
  }
}

TEST(CortexM3, WhetherTheLoaderSendsCheckBytesIsLearntOnTheFirstBlock) {
  const std::string blank(256, '\xFF');
  {
    Bare b; // a check byte 150 ms late is still one
    Lines notes;
    b.w.comm->OnNote = [&](const std::string& text) { notes.push_back(text); };
    b.AskForFirstBlock();
    b.Answer(blank);
    b.cpu.InitStep(b.skipErase);
    b.PollEvery10Ms(15);
    b.Answer(std::string(1, '\0'));
    for (int i = 0; i < 3; ++i) b.cpu.InitStep(b.skipErase); // taken, judged, the next read
    EXPECT_EQ(b.Written(), (Lines{kSync, kRead, Frame(kFlash), kLength, kRead}));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("sends a check byte"), std::string::npos) << notes[0];
  }
  {
    Bare b; // 200 ms of quiet behind the first block: no check byte, for the rest of the run
    b.AskForFirstBlock();
    b.Answer(blank);
    b.cpu.InitStep(b.skipErase);
    b.PollEvery10Ms(19);
    EXPECT_EQ(b.Written(), (Lines{kSync, kRead, Frame(kFlash), kLength}))
        << "190 ms: still waiting";
    b.w.loop.RunFor(10);
    for (int i = 0; i < 3; ++i) b.cpu.InitStep(b.skipErase);
    for (int i = 0; i < 3; ++i) {
      b.Answer("y");
      b.cpu.InitStep(b.skipErase);
    }
    b.Answer(blank + "\x55"); // a second block: judged at once, the stray byte dropped
    for (int i = 0; i < 3; ++i) b.cpu.InitStep(b.skipErase);
    EXPECT_EQ(b.Written(), (Lines{kSync, kRead, Frame(kFlash), kLength, kRead,
                                  Frame(kFlash + 0x100), kLength, kRead}));
  }
}

TEST(CortexM3, AStoppedCheckSetsTheLinkBack) {
  Bench b;
  b.p.Program(0);
  ASSERT_TRUE(b.w.loop.RunUntil([&] { return b.loader.Stats().blocksRead.size() >= 2; }, 10000));
  EXPECT_EQ(b.w.line->Settings().Parity, 2);
  b.p.prg.StopRun(); // Finish runs: rate, parity and text mode as before the run
  b.w.loop.RunFor(20);
  EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::StoppedByUser);
  EXPECT_EQ(b.w.line->Settings().Parity, 0);
  EXPECT_FALSE(b.w.comm->IsRawMode());
}
