// The run controller: what it shows while a run goes, and how runs are armed.

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
  Bench() : unit(Config()), p(w) {
    unit.AddModule(7, 145);
    w.Attach(unit);
    p.Select("QRG19");
  }
  static BackplaneConfig Config() {
    BackplaneConfig c;
    c.eraseMs = 1000;
    return c;
  }
  void Load(std::uint32_t addr, std::size_t n) {
    const std::string text = HexText(addr, Pattern(n));
    p.image.LoadFromMemory("fw.hex", reinterpret_cast<const std::uint8_t*>(text.data()),
                           text.size());
  }
  std::vector<std::string> Written() const { return w.Written(); }

  SimWorld w;
  BackplaneUnit unit;
  vk::test::Programmer p;
};

} // namespace

TEST(RunController, StatusSpinnerProgressAndLog) {
  Bench b;
  b.Load(0x1000, 0x7000); // 0x1000 .. 0x8000
  std::vector<int> positions;
  b.p.progress.onChange = [&](int pos) { positions.push_back(pos); };
  b.p.Program(7);
  ASSERT_TRUE(b.p.RunToEnd());
  // The range comes from the image at the run's first tick: 0x1000 div 256 .. (0x8000 + 255) div
  // 256.
  EXPECT_EQ(b.p.progress.Min(), 16);
  EXPECT_EQ(b.p.progress.Max(), 128);

  const auto texts = b.p.StatusTexts();
  ASSERT_GE(texts.size(), 5u);
  EXPECT_EQ(texts[0], "Initializing Module");
  EXPECT_EQ(texts[1], "Erasing Module");
  // The spinner turns every 21st tick of the erase wait: - / | \ and round again.
  std::vector<std::string> spins;
  for (const auto& t : texts)
    if (t.rfind("Erasing Module ", 0) == 0) spins.push_back(t.substr(15));
  ASSERT_GE(spins.size(), 4u);
  EXPECT_EQ((std::vector<std::string>(spins.begin(), spins.begin() + 4)),
            (std::vector<std::string>{"-", "/", "|", "\\"}));
  EXPECT_LE(spins.size(), 1000 / 10 / 21 + 2u);
  EXPECT_EQ(texts[texts.size() - 2], "Programming Module");
  EXPECT_EQ(texts.back(), "Module Programmed OK");

  // The bar only moves forward during the run, then returns to its minimum.
  ASSERT_GE(positions.size(), 3u);
  for (std::size_t i = 1; i + 1 < positions.size(); ++i) EXPECT_GT(positions[i], positions[i - 1]);
  EXPECT_GE(*std::max_element(positions.begin(), positions.end()), 127);
  EXPECT_EQ(positions.back(), 16);
  EXPECT_EQ(b.p.log.Lines(), (std::vector<std::string>{"QRG19 #7 Programmed OK"}));
}

TEST(RunController, EraseOnlyRuns) {
  Bench b;
  b.Load(0x1000, 0x200);
  b.p.Erase(7);
  ASSERT_TRUE(b.p.RunToEnd());
  EXPECT_EQ(b.p.log.Lines(), (std::vector<std::string>{"Module #7 Erased OK"}));
  EXPECT_EQ(b.p.status.PanelText(0), "Module Erased OK");
  for (const auto& s : b.Written()) EXPECT_NE(s, "L\r");
  EXPECT_EQ(b.unit.FindModule(7)->erase1Count, 1);
  EXPECT_FALSE(b.p.prg.EraseOnly);

  b.p.Erase(7);
  b.p.Program(7); // Program after an erase that never ran programs: it never only erases
  ASSERT_TRUE(b.p.RunToEnd());
  EXPECT_EQ(b.p.log.Lines().back(), "QRG19 #7 Programmed OK");
  EXPECT_EQ(b.unit.FindModule(7)->loads, 1);
}

TEST(RunController, SkipErase) {
  // A protocol whose initialisation finds the chip blank skips the Erase state: one tick that
  // only shows "Erasing Module", then Program without any erase operation.
  struct BlankChip : ProtocolBase {
    using ProtocolBase::ProtocolBase;
    void InitStep(bool& skip) override {
      ProtocolBase::InitStep(skip);
      skip = true;
    }
    void EraseBegin() override { ++eraseCalls; }
    void EraseStep() override { ++eraseCalls; }
    void EraseEnd() override { ++eraseCalls; }
    int eraseCalls = 0;
  };
  SimWorld w;
  vk::test::Programmer p(
      w, [](std::uint8_t kind, vk::platform::IEventLoop& loop) -> std::unique_ptr<ProtocolBase> {
        if (kind == kKindCortex) return std::make_unique<BlankChip>(loop);
        return CreateBackplaneCpu(kind, loop);
      });
  p.Select("Cortex-M3");
  p.Program(0);
  ASSERT_TRUE(p.RunToEnd());
  EXPECT_EQ(static_cast<BlankChip&>(p.prg.Cpu()).eraseCalls, 0);
  EXPECT_EQ(p.StatusTexts(), (std::vector<std::string>{"Initializing Module", "Erasing Module",
                                                       "Checking Module", "Module Programmed OK"}))
      << "the entry only checks its chip: nothing is programmed";
  EXPECT_FALSE(p.prg.SkipErase) << "per-run flags end with their run";

  // Arming a backplane run clears the value left behind, so the module is erased.
  BackplaneConfig c;
  c.eraseMs = 100;
  BackplaneUnit unit(c);
  unit.AddModule(7, 145);
  w.Attach(unit);
  const std::string text = HexText(0x1000, Pattern(0x100));
  p.image.LoadFromMemory("fw.hex", reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  p.Select("QRG19");
  p.Program(7);
  ASSERT_TRUE(p.RunToEnd());
  EXPECT_EQ(unit.FindModule(7)->erase1Count, 1);
  EXPECT_EQ(p.log.Lines().back(), "QRG19 #7 Programmed OK");
}
