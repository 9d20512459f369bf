// The H8 boot protocol against the simulated chip in boot mode, in virtual time.

#include "cpu/H8_3664.h"
#include "cpu/Kernels.h"
#include "devsim/H8BootMode.h"
#include "programmer/CpuFactory.h"
#include "support/HexText.h"
#include "support/ImageTestUtil.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

using namespace vk::cpu;
using vk::devsim::H8BootConfig;
using vk::devsim::H8BootMode;
using vk::devsim::TranscriptEntry;
using vk::platform::SimulatedSerialLine;
using vk::programmer::CpuState;
using vk::programmer::RunPhase;
using vk::test::HexText;
using vk::test::Pattern;
using vk::test::SimWorld;
using vk::test::TempDir;

namespace {

using Bytes = std::vector<std::uint8_t>;
const std::string kEnd = ":00000001FF\r";

// An S-record kernel file: S0, S1 records of 16 bytes from addr on, S9.
std::string KernelText(std::uint16_t addr, const Bytes& bytes) {
  std::string text = "S00600004844521B\r\n";
  char buf[16];
  for (std::size_t off = 0; off < bytes.size(); off += 16) {
    const std::size_t n = std::min<std::size_t>(16, bytes.size() - off);
    const unsigned a = addr + static_cast<unsigned>(off);
    unsigned sum = static_cast<unsigned>(n + 3) + (a >> 8) + (a & 0xFF);
    std::snprintf(buf, sizeof buf, "S1%02X%04X", static_cast<unsigned>(n + 3), a);
    text += buf;
    for (std::size_t i = 0; i < n; ++i) {
      std::snprintf(buf, sizeof buf, "%02X", bytes[off + i]);
      text += buf;
      sum += bytes[off + i];
    }
    std::snprintf(buf, sizeof buf, "%02X\r\n", ~sum & 0xFF);
    text += buf;
  }
  return text + "S9030000FC\r\n";
}

// 1,024 kernel bytes that look like code: every value but a long run of 0xFF.
Bytes KernelBytes() {
  Bytes k(1024);
  for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>((i * 37 + 11) & 0xFF);
  return k;
}

std::vector<std::string> Folder(const TempDir& dir) { return {dir.Path().string()}; }

// The "H8/3664" entry (kernel 2) with the chip behind COM1.
struct Bench {
  // kernelFile: the text of kernelB.a20, or none (the kernel then fails to load).
  explicit Bench(H8BootConfig config = {},
                 std::optional<std::string> kernelFile = KernelText(0xF780, KernelBytes()))
      : kernels(Written(dir, kernelFile)), chip(FirstZeroAnswered(config)),
        p(w, vk::programmer::MakeCpuFactory(nullptr), [this](int n) { return kernels.Get(n); }) {
    w.Attach(chip);
    p.Select("H8/3664");
  }
  // These cases assert the host's bytes one by one; the chip answers its first 0x00.
  static H8BootConfig FirstZeroAnswered(H8BootConfig c) {
    c.matchZeros = 1;
    return c;
  }
  static KernelSet Written(const TempDir& dir, const std::optional<std::string>& text) {
    if (text) dir.Write("kernelB.a20", *text);
    return KernelSet(Folder(dir));
  }
  void Load(std::uint32_t addr, const Bytes& data) { ASSERT_TRUE(p.LoadText(HexText(addr, data))); }
  bool Run(vk::platform::Millis limit = 120000) {
    p.Program(0);
    return p.RunToEnd(limit);
  }
  TCPU_H8_3664& Cpu() { return dynamic_cast<TCPU_H8_3664&>(p.prg.Cpu()); }
  std::string Result() const { return p.log.Lines().empty() ? "" : p.log.Lines().back(); }
  std::vector<std::string> Records() const {
    std::vector<std::string> out;
    for (const auto& s : w.Written())
      if (s.size() > 1 && s[0] == ':') out.push_back(s);
    return out;
  }
  // The single bytes 0x00 the host sent before its first 0x55.
  int MatchBytes() const {
    int n = 0;
    for (const auto& s : w.Written()) {
      if (s == "\x55") break;
      if (s == std::string(1, '\0')) ++n;
    }
    return n;
  }

  TempDir dir;
  KernelSet kernels;
  SimWorld w;
  H8BootMode chip;
  vk::test::Programmer p;
};

// A protocol object on the link with nothing at the far end, stepped by hand.
struct Bare {
  Bare() : kernels(Bench::Written(dir, KernelText(0xF780, KernelBytes()))), cpu(w.loop) {
    cpu.Bind({.bootBaud = 9600, .kernel = kernels.Get(2)});
    cpu.InitBegin(w.comm.get(), "");
  }
  void Answer(const std::string& entry) { w.comm->RxLines.Add(entry); }
  std::vector<std::string> Written() {
    w.loop.RunFor(1);
    return w.Written();
  }
  // Through the synchronisation by hand; the size has gone out and its echo has come back.
  void ThroughTheSize() {
    cpu.ProgramBegin();
    Answer(std::string(1, '\0'));
    cpu.ProgramBegin();
    w.loop.RunFor(TCPU_H8_3664::kTiming.afterConfirmMs);
    Answer("\xAA");
    cpu.ProgramBegin();
    w.loop.RunFor(TCPU_H8_3664::kTiming.afterConfirmMs);
    cpu.ProgramBegin(); // the size
    Answer("\x04");
    Answer(std::string(1, '\0'));
  }
  // Kernel bytes 0 to count - 1 go out, each echoed; bytes `count` to `count` + 3 go out and
  // await their echoes.
  void EchoKernel(int count) {
    for (int i = 0; i < count; ++i) {
      cpu.ProgramBegin();
      Answer(std::string(1, static_cast<char>(KernelBytes()[static_cast<std::size_t>(i)])));
    }
    cpu.ProgramBegin();
  }
  // Up to the wait for the ROM's word: the whole kernel has gone out and come back.
  void AwaitKernelWord() {
    ThroughTheSize();
    EchoKernel(TCPU_H8_3664::kKernelSize);
    ASSERT_EQ(cpu.SyncStep, TCPU_H8_3664::Boot::AwaitKernel);
  }
  // After the kernel's word was judged: whether the run goes on to the records or fails.
  void SettleAfterKernelWord() {
    cpu.ProgramBegin(); // to the kernel's rate
    w.loop.RunFor(TCPU_H8_3664::kTiming.rateSettleMs);
    cpu.ProgramBegin();
    cpu.ProgramBegin();
  }
  TempDir dir;
  KernelSet kernels;
  SimWorld w;
  TCPU_H8_3664 cpu;
};

} // namespace

TEST(H8, FullRunBootsDownloadsTheKernelAndProgramsTheChip) {
  Bench b;
  b.chip.SetPacing(true);                      // bytes take their time on the line
  b.chip.PutFlash(0x4000, Bytes(0x100, 0x12)); // an older program, for the kernel to erase
  auto data = Pattern(0x1000);
  std::fill(data.begin() + 0x400, data.begin() + 0x480, std::uint8_t{0xFF}); // one blank block
  b.Load(0x0000, data);
  std::vector<int> positions;
  b.p.progress.onChange = [&](int pos) { positions.push_back(pos); };
  ASSERT_TRUE(b.Run());
  EXPECT_EQ(b.Result(), "H8/3664 #0 Programmed OK");
  ASSERT_NE(dynamic_cast<TCPU_H8_3664*>(&b.p.prg.Cpu()), nullptr);
  EXPECT_EQ(b.p.prg.Cpu().Setup().kernel, b.kernels.Get(2));

  // The boot bytes, the kernel from MinAddr on, one byte per write, then the records.
  const auto written = b.w.Written();
  ASSERT_GT(written.size(), 3u + 1024u);
  EXPECT_EQ(written[0], std::string(1, '\0'));
  EXPECT_EQ(written[1], "\x55");
  EXPECT_EQ(written[2], std::string("\x04\x00", 2));
  const Bytes kernel = KernelBytes();
  for (std::size_t i = 0; i < 1024; ++i)
    ASSERT_EQ(written[3 + i], std::string(1, static_cast<char>(kernel[i]))) << i;
  const auto records = b.Records();
  ASSERT_EQ(records.size(), 31u + 1u) << "32 blocks, one blank, and the end record";
  EXPECT_EQ(records.front().substr(0, 9), ":80000000");
  EXPECT_EQ(records[8].substr(0, 9), ":80048000") << "the blank block at 0x0400 is skipped";
  EXPECT_EQ(records.back(), kEnd);
  EXPECT_EQ(written.size(), 3u + 1024u + records.size());

  // What the chip went through: the kernel as sent, the flash erased and programmed.
  EXPECT_EQ(b.chip.ReceivedKernel(), kernel);
  EXPECT_EQ(b.chip.MatchedBaud(), 9600u);
  EXPECT_EQ(b.chip.Stats().kernelsStarted, 1);
  EXPECT_EQ(b.chip.Stats().endRecords, 1);
  const auto& flash = b.chip.Flash();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
  EXPECT_TRUE(std::all_of(flash.begin() + 0x1000, flash.begin() + 0x8000,
                          [](auto v) { return v == 0xFF; }));

  // The line: boot rate with DTR off for the boot, 115200 for the records.
  bool sawMatch = false, sawRecord = false;
  vk::platform::LineSettings now;
  for (const auto& e : b.w.line->Events()) {
    if (e.kind == SimulatedSerialLine::Event::Applied) now = e.settings;
    if (e.kind != SimulatedSerialLine::Event::Written) continue;
    if (!sawMatch) {
      sawMatch = true;
      EXPECT_EQ(now.BaudRate, 9600u);
      EXPECT_FALSE(now.Dtr);
    }
    if (e.bytes.size() > 1 && e.bytes[0] == ':' && !sawRecord) {
      sawRecord = true;
      EXPECT_EQ(now.BaudRate, 115200u);
    }
  }
  // Finish found the link at 115200: it leaves DTR off and the receive mode text.
  EXPECT_EQ(b.w.comm->GetBaudRate(), 115200u);
  EXPECT_FALSE(b.w.comm->IsRawMode());
  EXPECT_FALSE(b.w.line->Settings().Dtr);

  // The records start after the ROM's erase of the one block that held data (100 ms) and the
  // 200 ms at the kernel's rate.
  std::vector<vk::devsim::Micros> singleAt, recordAt;
  for (const auto& e : b.chip.Transcript()) {
    if (e.kind != TranscriptEntry::Kind::FromHost) continue;
    if (e.baud == 9600 && e.bytes.size() == 1) singleAt.push_back(e.at);
    if (e.baud == 115200) recordAt.push_back(e.at);
  }
  // 0x00, 0x55, the two size bytes, then the kernel.
  ASSERT_EQ(singleAt.size(), 4u + 1024u);
  const std::vector<vk::devsim::Micros> kernelAt(singleAt.begin() + 4, singleAt.end());
  // The next kernel byte goes before the echo of the one before is back: the two follow each
  // other on the wire without a gap (one byte time at 9600 bit/s), and the chip takes them all.
  std::vector<vk::devsim::Micros> gaps;
  for (std::size_t i = 1; i < kernelAt.size(); ++i) gaps.push_back(kernelAt[i] - kernelAt[i - 1]);
  EXPECT_EQ(*std::min_element(gaps.begin(), gaps.end()), 1042);
  EXPECT_TRUE(std::none_of(b.chip.Transcript().begin(), b.chip.Transcript().end(),
                           [](const TranscriptEntry& e) {
                             return e.kind == TranscriptEntry::Kind::FromHost && e.lost;
                           }));
  ASSERT_FALSE(recordAt.empty());
  EXPECT_GE(recordAt.front() - kernelAt.back(), 300000);
  EXPECT_LT(recordAt.front() - kernelAt.back(), 400000);

  // The bar climbs during the download, then goes back to its minimum.
  const int top = b.p.progress.Max() - b.p.progress.Min();
  ASSERT_EQ(top, 16);
  const auto drop = std::adjacent_find(positions.begin(), positions.end(), std::greater<int>());
  ASSERT_NE(drop, positions.end());
  EXPECT_TRUE(std::is_sorted(positions.begin(), drop + 1));
  EXPECT_EQ(*drop, top * 1023 / 1024);
  EXPECT_EQ(*(drop + 1), b.p.progress.Min());
}

TEST(H8, BootGivesUpAfter21UnansweredAttempts) {
  {
    Bench b; // a chip that never answers, through the run controller
    b.chip.Faults().Add("silent");
    b.Load(0, Pattern(0x100));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "H8/3664 #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::NoSync);
    EXPECT_EQ(b.w.Written(), std::vector<std::string>(21, std::string(1, '\0')));
    // 0x00 again after 51 polls of the 10 ms tick without an answer.
    std::vector<vk::devsim::Micros> sent;
    for (const auto& e : b.chip.Transcript())
      if (e.kind == TranscriptEntry::Kind::FromHost && e.bytes == std::string(1, '\0'))
        sent.push_back(e.at);
    ASSERT_EQ(sent.size(), 21u);
    for (std::size_t i = 1; i < sent.size(); ++i) EXPECT_EQ(sent[i] - sent[i - 1], 520000) << i;
    // Finish found the boot rate: the link is back at 115200, text mode, DTR on.
    b.w.loop.RunFor(20);
    EXPECT_EQ(b.w.line->Settings().BaudRate, 115200u);
    EXPECT_TRUE(b.w.line->Settings().Dtr);
    EXPECT_FALSE(b.w.comm->IsRawMode());
  }
}

TEST(H8, BootAnswersAreWholeEntries) {
  {
    Bare b;
    const std::string zero(1, '\0');
    b.cpu.ProgramBegin();
    b.Answer(std::string(2, '\0'));
    b.cpu.ProgramBegin();
    EXPECT_EQ(b.Written(), (std::vector<std::string>{zero})) << "0x00 0x00 is no answer";
    b.w.comm->RxLines.Clear();
    b.Answer(zero);
    b.cpu.ProgramBegin();
    EXPECT_EQ(b.w.comm->RxLines.Count(), 0);
    b.w.loop.RunFor(TCPU_H8_3664::kTiming.afterConfirmMs);
    b.Answer("\xAA\xAA");
    b.cpu.ProgramBegin();
    b.w.loop.RunFor(TCPU_H8_3664::kTiming.afterConfirmMs);
    b.cpu.ProgramBegin();
    EXPECT_EQ(b.Written(), (std::vector<std::string>{zero, "\x55"})) << "no size yet";
    b.w.comm->RxLines.Clear();
    b.Answer("\xAA");
    b.cpu.ProgramBegin();
    b.w.loop.RunFor(TCPU_H8_3664::kTiming.afterConfirmMs);
    b.cpu.ProgramBegin();
    EXPECT_EQ(b.Written(), (std::vector<std::string>{zero, "\x55", std::string("\x04\x00", 2)}));
  }
  {
    Bench b; // a doubled 0x00 is ignored; the next attempt boots
    b.chip.Faults().Add("command:sync#1=garbage");
    b.Load(0, Pattern(0x80));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "H8/3664 #0 Programmed OK");
    EXPECT_EQ(b.MatchBytes(), 2);
  }
  {
    Bench b; // a doubled 0xAA is no confirmation: the host starts again with 0x00, not the size
    b.chip.Faults().Add("command:confirm#1=garbage");
    b.Load(0, Pattern(0x80));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "H8/3664 #0 Programmed OK");
    const auto w = b.w.Written();
    ASSERT_GT(w.size(), 3u);
    EXPECT_EQ(w[0], std::string(1, '\0'));
    EXPECT_EQ(w[1], "\x55");
    EXPECT_EQ(w[2], std::string(1, '\0'));
  }
}

TEST(H8, TheRomsWordAfterTheKernelDecides) {
  {
    Bare b; // noise, then 0xAA: on to the records
    b.AwaitKernelWord();
    b.Answer("\x01");
    b.Answer("\xAA");
    b.cpu.ProgramBegin();
    b.SettleAfterKernelWord();
    EXPECT_EQ(b.cpu.State, CpuState::Program);
    EXPECT_EQ(b.cpu.Phase, RunPhase::Step) << "on to the records";
  }
  {
    Bare b; // a late 0xAA still counts, short of the erase limit
    b.AwaitKernelWord();
    b.w.loop.RunFor(TCPU_H8_3664::kTiming.eraseLimitMs - 10);
    b.cpu.ProgramBegin();
    b.Answer("\xAA");
    b.cpu.ProgramBegin();
    b.SettleAfterKernelWord();
    EXPECT_EQ(b.cpu.Phase, RunPhase::Step) << "on to the records";
  }
  {
    Bare b; // nothing within the erase limit: the run fails back at the kernel's rate
    b.AwaitKernelWord();
    b.w.loop.RunFor(TCPU_H8_3664::kTiming.eraseLimitMs);
    b.cpu.ProgramBegin();
    b.SettleAfterKernelWord();
    EXPECT_EQ(b.cpu.State, CpuState::Failed);
    EXPECT_EQ(b.cpu.FailDetail, "the boot kernel did not announce itself");
    EXPECT_EQ(b.w.comm->GetBaudRate(), 115200u);
    EXPECT_FALSE(b.w.comm->IsRawMode());
  }
  {
    Bench b; // the ROM could not erase (0xFF): the run fails at once, no record goes
    b.chip.Faults().Add("command:kernel=R");
    b.Load(0, Pattern(0x100));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "H8/3664 #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::EraseFailed);
    EXPECT_TRUE(b.Records().empty());
  }
  {
    H8BootConfig c; // a full erase of all five blocks at the slowest the manual allows
    c.eraseBlockMs = 1200;
    Bench b(c);
    b.chip.PutFlash(0, Bytes(0x8000, 0x00));
    b.Load(0, Pattern(0x100));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "H8/3664 #0 Programmed OK");
  }
}

TEST(H8, KernelBytesGoAtMostFourAheadOfTheirEchoes) {
  {
    Bare b; // each echo lets exactly one more byte go; four await theirs, never more
    b.ThroughTheSize();
    const Bytes kernel = KernelBytes();
    for (int echoed = 0; echoed < TCPU_H8_3664::kKernelSize; ++echoed) {
      b.cpu.ProgramBegin();
      b.cpu.ProgramBegin();
      const int sent = std::min(echoed + 4, TCPU_H8_3664::kKernelSize);
      const auto written = b.Written();
      ASSERT_EQ(written.size(), 3u + static_cast<std::size_t>(sent)) << echoed;
      ASSERT_EQ(written.back(),
                std::string(1, static_cast<char>(kernel[static_cast<std::size_t>(sent - 1)])))
          << echoed;
      b.Answer(std::string(1, static_cast<char>(kernel[static_cast<std::size_t>(echoed)])));
    }
    b.cpu.ProgramBegin();
    EXPECT_EQ(b.cpu.SyncStep, TCPU_H8_3664::Boot::AwaitKernel);
  }
  {
    Bare b; // a wrong echo fails the run at once, naming the byte it answers
    b.ThroughTheSize();
    b.EchoKernel(0x12F);
    b.Answer("\x5A");
    b.cpu.ProgramBegin();
    EXPECT_EQ(b.cpu.State, CpuState::Failed);
    EXPECT_EQ(b.cpu.FailedWith, vk::programmer::FailReason::Garbled);
    EXPECT_EQ(b.cpu.FailDetail, "kernel byte 0x012F echoed as 5A");
    EXPECT_EQ(b.Written().size(), 3u + 0x133u) << "nothing more went after the wrong echo";
  }
  {
    Bare b; // a missing echo fails the run once the limit has passed, naming the byte
    b.ThroughTheSize();
    b.EchoKernel(7);
    b.w.loop.RunFor(TCPU_H8_3664::kTiming.echoLimitMs - 1);
    b.cpu.ProgramBegin();
    EXPECT_EQ(b.cpu.State, CpuState::Program) << "still waiting";
    b.w.loop.RunFor(1);
    b.cpu.ProgramBegin();
    EXPECT_EQ(b.cpu.State, CpuState::Failed);
    EXPECT_EQ(b.cpu.FailedWith, vk::programmer::FailReason::NoSync);
    EXPECT_EQ(b.cpu.FailDetail, "kernel byte 0x0007 not echoed within 100 ms");
    EXPECT_EQ(b.Written().size(), 3u + 11u);
  }
}

TEST(H8, BlankImageBootsAndSendsOnlyTheEndRecord) {
  Bench b;
  b.Load(0x0000, Bytes(0x300, 0xFF));
  ASSERT_TRUE(b.Run());
  EXPECT_EQ(b.Result(), "H8/3664 #0 Programmed OK");
  EXPECT_EQ(b.Records(), std::vector<std::string>{kEnd});
  EXPECT_EQ(b.chip.Stats().kernelsStarted, 1);
  EXPECT_EQ(b.chip.Stats().endRecords, 1);
  EXPECT_EQ(b.chip.Stats().records, 0u);
}

TEST(H8, RecordAnswers) {
  {
    Bench b; // one "X": the record goes again
    b.chip.Faults().Add("record:2=X");
    b.Load(0, Pattern(0x400));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "H8/3664 #0 Programmed OK");
    const auto r = b.Records();
    ASSERT_EQ(r.size(), 8u + 1u + 1u) << "eight blocks, one again, the end record";
    EXPECT_EQ(r[1], r[2]);
    EXPECT_EQ(b.Cpu().RecordRepeats, 1);
  }
  {
    Bench b; // the sixth "X" of a run fails it, however spread out
    for (const char* f :
         {"record:1=X", "record:3=X", "record:5=X", "record:7=X", "record:9=X", "record:11=X"})
      b.chip.Faults().Add(f);
    b.Load(0, Pattern(0x800));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "H8/3664 #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::RecordRefused);
    EXPECT_EQ(b.Records().size(), 11u);
    // The run ended in raw receive mode; Finish finds 115200 and still returns to text lines.
    EXPECT_FALSE(b.w.comm->IsRawMode());
    EXPECT_EQ(b.w.comm->GetBaudRate(), 115200u);
  }
  {
    Bench b; // "R" is fatal at once
    b.chip.Faults().Add("record:2=R");
    b.Load(0, Pattern(0x400));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "H8/3664 #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().detail, "record at 0x0080 refused (R)");
    EXPECT_EQ(b.Records().size(), 2u);
  }
  {
    Bench b; // a kernel that falls silent after two records: failed within the limit
    b.chip.Faults().Add("after-records:2=silent");
    b.Load(0, Pattern(0x400));
    ASSERT_TRUE(b.Run(40000));
    EXPECT_EQ(b.Result(), "H8/3664 #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::RecordUnanswered);
    EXPECT_FALSE(b.w.comm->IsRawMode());
  }
  {
    H8BootConfig c; // a kernel that acknowledges with "."
    c.ack = '.';
    Bench b(c);
    b.Load(0x7F00, Pattern(0x100));
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.Result(), "H8/3664 #0 Programmed OK");
    EXPECT_EQ(b.chip.Stats().programmed, 2u);
    EXPECT_EQ(b.chip.Flash()[0x7FFF], Pattern(0x100).back());
  }
}

TEST(H8, AKernelFileThatIsNoKernelFailsTheRunBeforeAnyByte) {
  const std::string good = KernelText(0xF780, KernelBytes());
  Bytes longer = KernelBytes();
  longer.push_back(0x12);
  struct Case {
    std::optional<std::string> file; // none: no file at all
    const char* problem;
  };
  const Case cases[] = {
      {std::nullopt, "kernelB.a20 did not load"},
      {"", "kernelB.a20: no S1 data (empty file)"},
      {"this is no kernel\n", "kernelB.a20: line 1 is not an S-record"},
      {good.substr(0, good.find('\n', 20) + 1), "covers 16 of the 1024 bytes from F780 to FB7F"},
      {KernelText(0xFE00, Bytes(0x200, 0x5A)), "covers 512 of the 1024 bytes from FE00 to 101FF"},
      {KernelText(0xF780, longer), "reaches past FB7F"},
      {good.substr(0, 30) + "0" + good.substr(31), "kernelB.a20: line 2 has a wrong checksum"},
  };
  for (const auto& c : cases) {
    Bench b(H8BootConfig{}, c.file);
    EXPECT_FALSE(b.kernels.Get(2)->Loaded()) << c.problem;
    b.Load(0, Pattern(0x80));
    const auto rate = b.w.comm->GetBaudRate();
    ASSERT_TRUE(b.Run(1000));
    EXPECT_EQ(b.Result(), "H8/3664 #0 Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::KernelMissing);
    EXPECT_NE(b.p.prg.LastOutcome().detail.find(c.problem), std::string::npos)
        << b.p.prg.LastOutcome().detail;
    EXPECT_TRUE(b.w.Written().empty());
    EXPECT_EQ(b.w.comm->GetBaudRate(), rate);
  }
  {
    Bench b(H8BootConfig{}, std::nullopt); // a folder in the file's place
    std::filesystem::create_directory(b.dir.Path() / "kernelB.a20");
    const KernelSet kernels(Folder(b.dir));
    EXPECT_EQ(kernels.Get(2)->Problem(), "is a folder, not a file");
  }
}

TEST(H8, AStopDuringTheKernelDownloadEndsItAndTheKernelNeverStarts) {
  Bench b;
  b.Load(0, Pattern(0x100));
  b.p.Program(0);
  ASSERT_TRUE(b.w.loop.RunUntil([&] { return b.Cpu().KernelBytesSent() >= 100; }, 30000));
  const auto sent = static_cast<std::size_t>(b.Cpu().KernelBytesSent());
  b.p.prg.StopRun();
  b.w.loop.RunFor(5000);
  // The bytes the download had sent when it was stopped, and nothing after them.
  EXPECT_EQ(b.w.Written().size(), 3u + sent);
  EXPECT_LE(b.chip.ReceivedKernel().size(), sent);
  EXPECT_EQ(b.chip.Stats().kernelsStarted, 0);
  EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::StoppedByUser);
}
