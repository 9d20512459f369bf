// The backplane programmer protocol against the simulated programmer unit, in virtual time.

#include "cpu/Backplane.h"
#include "devsim/BackplaneUnit.h"
#include "support/HexText.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

using namespace vk::programmer;
using vk::devsim::BackplaneConfig;
using vk::devsim::BackplaneUnit;
using vk::test::HexText;
using vk::test::Pattern;
using vk::test::SimWorld;

namespace {

struct Bench {
  explicit Bench(BackplaneConfig config = {}) : unit(config), p(w) {
    unit.AddModule(7, 136);
    unit.AddModule(12, 145);
    unit.AddModule(3, 133);
    w.Attach(unit);
  }
  void Load(std::uint32_t addr, const std::vector<std::uint8_t>& data) {
    const std::string text = HexText(addr, data);
    ASSERT_NE(p.image.LoadFromMemory("fw.hex", reinterpret_cast<const std::uint8_t*>(text.data()),
                                     text.size()),
              vk::image::ImageFormat::Unknown);
  }
  // The strings written after the module was selected for programming.
  std::vector<std::string> Commands() const {
    std::vector<std::string> out;
    for (const auto& s : w.Written())
      if (s[0] != ':') out.push_back(s);
    return out;
  }
  std::vector<std::string> Records() const {
    std::vector<std::string> out;
    for (const auto& s : w.Written())
      if (s[0] == ':') out.push_back(s);
    return out;
  }

  SimWorld w;
  BackplaneUnit unit;
  vk::test::Programmer p;
};

BackplaneConfig FastErase() {
  BackplaneConfig c;
  c.eraseMs = 300;
  return c;
}

} // namespace

TEST(Backplane, FullRunProgramsTheModule) {
  Bench b(FastErase());
  auto data = Pattern(0x300);
  data[2] = 0x10; // vector 1 -> 0x1080: becomes a jump at 0x0F84
  data[3] = 0x80;
  b.Load(0x1000, data);
  b.p.Select("QRD14");
  b.p.Program(7);
  ASSERT_TRUE(b.p.RunToEnd());

  EXPECT_EQ(b.Commands(),
            (std::vector<std::string>{"OP 7\r", "QV550274\r", "OP 7\r", "erase1\r", "L\r", "G\r"}));
  const auto records = b.Records();
  ASSERT_EQ(records.size(), 1 + 6 + 1 + 1u) << "jump table, six blocks, the checksum word, end";
  EXPECT_EQ(records.front().substr(0, 9), ":800F8000");
  EXPECT_EQ(records.back(), ":00000001FF\r");

  const auto* m = b.unit.FindModule(7);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->erase1Count, 1);
  EXPECT_EQ(m->starts, 1);
  for (std::uint32_t a = 0x1000; a < 0x1300; ++a) ASSERT_EQ(m->flash[a], b.p.image.Image()[a]) << a;
  EXPECT_EQ(m->flash[0x0F84], 0x5A);
  EXPECT_EQ(m->flash[0x0F86], 0x10);
  EXPECT_EQ(m->flash[0x0F87], 0x80);
  std::uint16_t sum = 0;
  for (std::uint32_t a = 0x1000; a < 0x8000; a += 2)
    sum = static_cast<std::uint16_t>(sum + (m->flash[a] << 8 | m->flash[a + 1]));
  EXPECT_EQ(sum, 0) << "the checksum word went with the image";

  EXPECT_EQ(b.p.log.Lines(), (std::vector<std::string>{"QRD14 #7 Programmed OK"}));
  EXPECT_EQ(b.p.status.PanelText(0), "Module Programmed OK");
  EXPECT_EQ(b.w.line->Settings().BaudRate, 115200u);
}

TEST(Backplane, SpeedChangeAndEraseCommand) {
  {
    BackplaneConfig c = FastErase();
    c.baseBaud = 19200;
    Bench b(c);
    b.w.comm->SetBaudRate(19200);
    b.Load(0xC000, Pattern(0x100));
    b.p.Select("QRA11");
    b.p.Program(3);
    ASSERT_TRUE(b.p.RunToEnd());
    EXPECT_EQ(b.Commands(), (std::vector<std::string>{"OP 3\r", "QV550274\r", "OP 3\r", "erase2\r",
                                                      "L\r", "G\r"}));
    // "erase2" keeps 4000-BFFF, which the checksum word counts as blank: said, not hidden.
    EXPECT_EQ(b.p.log.Lines(),
              (std::vector<std::string>{
                  "Address 64 set for QRA11 (its modules' address; it was 0)",
                  "QRA11 #3 warning: \"erase2\" keeps 4000-BFFF as it was, and the checksum word "
                  "counts 4000-BFFF as blank: the module's sum holds only if nothing is there",
                  "QRA11 #3 Programmed OK"}));
    // The rate changed between the identification and the second selection.
    std::vector<std::uint32_t> rates;
    bool secondOp = false;
    for (const auto& e : b.w.line->Events()) {
      if (e.kind == vk::platform::SimulatedSerialLine::Event::Applied)
        rates.push_back(e.settings.BaudRate);
      if (e.kind == vk::platform::SimulatedSerialLine::Event::Written && e.bytes == "OP 3\r" &&
          !rates.empty() && rates.back() == 115200)
        secondOp = true;
    }
    EXPECT_TRUE(secondOp);
    EXPECT_EQ(b.unit.FindModule(3)->erase2Count, 1);
  }
  {
    Bench b(FastErase()); // already at 115200: no change, the same commands
    b.Load(0xBFFF, Pattern(2));
    b.p.Select("QRA11");
    b.p.Program(3);
    ASSERT_TRUE(b.p.RunToEnd());
    EXPECT_EQ(b.Commands()[3], "erase1\r");
    EXPECT_EQ(b.p.log.Lines().back(), "QRA11 #3 Programmed OK");
  }
}

TEST(Backplane, EmptyImageSendsOnlyTheEndRecord) {
  Bench b(FastErase());
  b.p.Select("QRD14");
  b.p.Program(7);
  ASSERT_TRUE(b.p.RunToEnd());
  EXPECT_EQ(b.Records(), (std::vector<std::string>{":00000001FF\r"}));
  EXPECT_EQ(b.Commands().back(), "G\r");
  EXPECT_EQ(b.p.log.Lines().back(), "QRD14 #7 Programmed OK");
  EXPECT_EQ(b.p.image.Image()[0], 0xFF) << "no checksum word lands in an empty image";
}

TEST(Backplane, DataOutsideTheRegionIsRefusedBeforeAnythingIsSent) {
  // The old demo's 8051 program at 0x0000, one past the end of QRD14's region, and one with the
  // jump table below 0x1000 as Save writes it: the entry's own, so it goes.
  const std::string region = " lies outside the region 1000-7FFF; nothing written";
  for (const auto& [at, size, detail] :
       {std::tuple{0x0000u, 0xBBu, "the image's data at 0000-00BA" + region},
        std::tuple{0x7F00u, 0x200u, "the image's data at 8000-80FF" + region},
        std::tuple{0x0F80u, 0x180u, std::string()}}) {
    Bench b(FastErase());
    b.Load(at, Pattern(size));
    b.p.Select("QRD14");
    b.p.Program(7);
    ASSERT_TRUE(b.p.RunToEnd());
    EXPECT_EQ(b.p.prg.LastOutcome().detail, detail);
    EXPECT_EQ(b.p.log.Lines().back(),
              detail.empty() ? "QRD14 #7 Programmed OK" : "QRD14 #7 Failed");
    EXPECT_EQ(b.w.Written().empty(), !detail.empty()) << "refused: not even the selection";
  }
}

TEST(Backplane, AnswersDecide) {
  {
    Bench b(FastErase()); // one repeat request: the record goes again and the run succeeds
    b.unit.Faults().Add("record:3=X");
    b.Load(0x1000, Pattern(0x400));
    b.p.Select("QRG19");
    b.p.Program(12);
    ASSERT_TRUE(b.p.RunToEnd());
    const auto r = b.Records();
    EXPECT_EQ(r[2], r[3]);
    EXPECT_EQ(b.p.log.Lines().back(), "QRG19 #12 Programmed OK");
    EXPECT_EQ(static_cast<TCPU_BACKPLANE&>(b.p.prg.Cpu()).RetryCount, 1);
  }
  {
    Bench b(FastErase()); // the sixth unaccepted answer of a run fails it, however spread out
    for (const char* f :
         {"record:2=X", "record:4=X", "record:6=X", "record:8=X", "record:10=X", "record:12=X"})
      b.unit.Faults().Add(f);
    b.Load(0x1000, Pattern(0x800));
    b.p.Select("QRG19");
    b.p.Program(12);
    ASSERT_TRUE(b.p.RunToEnd());
    EXPECT_EQ(b.p.log.Lines().back(), "QRG19 #12 Failed");
    EXPECT_EQ(b.p.status.PanelText(0), "Module Programming Failed");
    EXPECT_EQ(b.p.prg.LastOutcome().reason, FailReason::RecordRefused);
    EXPECT_EQ(b.Records().size(), 12u);
    EXPECT_EQ(b.Commands().back(), "L\r") << "no G after a failure";
  }
  for (const char* fatal : {"record:2=E", "record:2=R"}) {
    Bench b(FastErase());
    b.unit.Faults().Add(fatal);
    b.Load(0x1000, Pattern(0x400));
    b.p.Select("QRG19");
    b.p.Program(12);
    ASSERT_TRUE(b.p.RunToEnd());
    EXPECT_EQ(b.p.log.Lines().back(), "QRG19 #12 Failed") << fatal;
    EXPECT_EQ(b.p.prg.LastOutcome().detail,
              std::string("record at 0x1080 refused (") + fatal[9] + ")");
    EXPECT_EQ(b.Records().size(), 2u) << fatal;
  }
  for (const char* answer : {"X", "garbage"}) {
    Bench b(FastErase()); // the selection at 115200 answered with anything but "OK": no erase
    b.unit.Faults().Add(std::string("command:OP#2=") + answer);
    b.Load(0x1000, Pattern(0x400));
    b.p.Select("QRG19");
    b.p.Program(12);
    ASSERT_TRUE(b.p.RunToEnd());
    EXPECT_EQ(b.p.prg.LastOutcome().reason, FailReason::ModuleNotFound) << answer;
    EXPECT_EQ(b.unit.FindModule(12)->erase1Count, 0) << answer;
    EXPECT_TRUE(b.Records().empty()) << answer;
  }
  {
    Bench b(FastErase()); // silence after two records, then on the selection: 5 s each at most
    b.unit.Faults().Add("after-records:2=silent");
    b.Load(0x1000, Pattern(0x400));
    b.p.Select("QRG19");
    using vk::programmer::FailReason;
    for (const auto& [address, reason] :
         {std::pair{12, FailReason::RecordUnanswered}, std::pair{9, FailReason::ModuleNotFound}}) {
      b.p.Program(address);
      ASSERT_TRUE(b.p.RunToEnd(8000)) << address;
      EXPECT_EQ(b.p.prg.LastOutcome().reason, reason) << address;
    }
  }
}

TEST(Backplane, EraseWaitsTwentySeconds) {
  Bench b(FastErase());
  b.unit.Faults().Add("command:erase1=silent");
  b.Load(0x1000, Pattern(0x100));
  b.p.Select("QRG19");
  b.p.Program(12);
  const auto start = b.w.loop.Now();
  ASSERT_TRUE(b.p.RunToEnd());
  EXPECT_EQ(b.p.log.Lines().back(), "QRG19 #12 Failed");
  EXPECT_EQ(b.p.prg.LastOutcome().reason, vk::programmer::FailReason::EraseFailed);
  // 20 s after the erase command's pause, give or take the selection's pauses.
  EXPECT_GE(b.w.loop.Now() - start, 20000);
  EXPECT_LT(b.w.loop.Now() - start, 22000);
  EXPECT_TRUE(b.Records().empty());
  // An erase answered with anything but "OK" is refused at once, never "unanswered" 20 s later.
  for (const char* answer : {"X", "garbage"}) {
    Bench r(FastErase());
    r.unit.Faults().Add(std::string("command:erase1=") + answer);
    r.Load(0x1000, Pattern(0x100));
    r.p.Select("QRG19");
    r.p.Program(12);
    const auto began = r.w.loop.Now();
    ASSERT_TRUE(r.p.RunToEnd());
    EXPECT_LT(r.w.loop.Now() - began, 3000) << answer;
    EXPECT_EQ(r.p.prg.LastOutcome().detail.rfind("erase refused: \"erase1\" answered \"", 0), 0u)
        << r.p.prg.LastOutcome().detail;
    EXPECT_TRUE(r.Records().empty()) << answer;
  }
}
