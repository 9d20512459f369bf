// Programming a Cortex-M3 through its ROM boot loader, against the simulated loader in virtual
// time: erase, write, read back, and the loader's refusals.

#include "cpu/CortexM3Flash.h"
#include "devsim/CortexBootLoader.h"
#include "programmer/CpuFactory.h"
#include "support/HexText.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <functional>

using vk::cpu::TCPU_CORTEX_FLASH;
using vk::devsim::CortexBootLoader;
using vk::devsim::CortexConfig;
using vk::programmer::FailReason;
using vk::programmer::RunPurpose;
using vk::test::Pattern;

namespace {

const auto kImage = Pattern(0x900); // three pages of 1 KiB, the last one in part

// The "Cortex-M3 Flash" entry with the loader behind COM1 and an image in the window `window`.
struct FlashBench {
  explicit FlashBench(CortexConfig config = {}, std::string window = ":020000040800F2\r\n")
      : loader(Parity(config)), p(w, vk::programmer::MakeCpuFactory(nullptr)) {
    w.Attach(loader);
    p.Select("Cortex-M3 Flash");
    EXPECT_TRUE(p.LoadText(window + vk::test::HexText(0x0000, kImage)));
  }
  static CortexConfig Parity(CortexConfig c) {
    c.requireEvenParity = true;
    return c;
  }
  // A programming run, or the read or compare run `start` arms.
  bool Run(const std::function<void()>& start = {}) {
    if (start) {
      start();
      p.running = true;
    } else {
      p.Program(0);
    }
    const bool ended = p.RunToEnd();
    w.loop.RunFor(20);
    return ended;
  }
  std::string Result() const { return p.log.Lines().empty() ? "" : p.log.Lines().back(); }
  TCPU_CORTEX_FLASH& Cpu() { return dynamic_cast<TCPU_CORTEX_FLASH&>(p.prg.Cpu()); }
  std::string Flash(std::uint32_t offset, std::size_t n) const {
    const auto& m = loader.Memory();
    return {m.begin() + offset, m.begin() + offset + static_cast<std::ptrdiff_t>(n)};
  }
  bool Logged(const std::string& line) const {
    for (const auto& l : p.log.Lines())
      if (l == line) return true;
    return false;
  }

  vk::test::SimWorld w;
  CortexBootLoader loader;
  vk::test::Programmer p;
};

std::string Bytes(const std::vector<std::uint8_t>& v) { return {v.begin(), v.end()}; }

} // namespace

// Old contents where the image goes: a missing erase would leave their AND with the image.
TEST(CortexFlash, ErasesWritesAndVerifiesWithEitherEraseCommand) {
  for (const std::uint8_t erase : {0x43, 0x44}) {
    for (const bool checkByte : {true, false}) {
      SCOPED_TRACE(std::to_string(erase) + (checkByte ? " check byte" : " no check byte"));
      CortexConfig c;
      c.eraseCommand = erase;
      c.checkByte = checkByte;
      FlashBench b(c);
      b.loader.PutMemory(0x0000, std::vector<std::uint8_t>(0x1000, 0x5A));
      ASSERT_TRUE(b.Run());
      EXPECT_EQ(b.Result(), "Cortex-M3 Flash #0 Programmed OK");
      EXPECT_TRUE(b.Logged("Cortex-M3 Flash #0 product ID 0x0410 (STM32F10x medium-density, "
                           "pages of 1024 bytes)"));
      EXPECT_EQ(b.Flash(0, kImage.size()), Bytes(kImage));
      EXPECT_EQ(b.Flash(kImage.size(), 0x300), std::string(0x300, '\xFF')) << "page 2 erased";
      EXPECT_EQ(b.Flash(0xC00, 0x400), std::string(0x400, '\x5A')) << "page 3 untouched";
      EXPECT_EQ(b.loader.Stats().pagesErased, 3);
      EXPECT_EQ(b.loader.Stats().writes, 9);
      EXPECT_TRUE(b.Cpu().Verified);
      EXPECT_EQ(b.Cpu().BytesVerified, kImage.size());
      EXPECT_FALSE(b.loader.Stats().startedAt) << "Go only when asked";
    }
  }
  // A product whose page size is not known: the whole flash is erased.
  CortexConfig c;
  c.productId = 0x411;
  FlashBench b(c);
  ASSERT_TRUE(b.Run());
  EXPECT_EQ(b.Result(), "Cortex-M3 Flash #0 Programmed OK");
  EXPECT_EQ(b.loader.Stats().massErases, 1);
}

TEST(CortexFlash, AStuckBitFailsTheVerification) {
  CortexConfig c;
  c.stuckBit = 0x08000401; // the image's byte there is 0x24: bit 0 clear
  FlashBench b(c);
  ASSERT_TRUE(b.Run());
  EXPECT_EQ(b.Result(), "Cortex-M3 Flash #0 Failed");
  EXPECT_EQ(b.p.prg.LastOutcome().reason, FailReason::VerifyFailed);
  EXPECT_EQ(b.p.prg.LastOutcome().detail,
            "verify: flash differs at 0x08000401 (read 25, expected 24)");
  EXPECT_FALSE(b.Cpu().Verified);
}

TEST(CortexFlash, ReadProtectionIsRemovedOnlyWhenAsked) {
  CortexConfig c;
  c.readProtected = true;
  {
    FlashBench b(c);
    b.loader.PutMemory(0, {1, 2, 3});
    ASSERT_TRUE(b.Run());
    EXPECT_EQ(b.p.prg.LastOutcome().reason, FailReason::ReadProtected);
    EXPECT_EQ(b.p.prg.LastOutcome().detail, "read protection is active; nothing written");
    EXPECT_TRUE(b.loader.ReadProtected());
    EXPECT_EQ(b.Flash(0, 3), "\x01\x02\x03");
  }
  FlashBench b(c);
  b.p.prg.RemoveReadProtection = true;
  ASSERT_TRUE(b.Run());
  EXPECT_EQ(b.Result(), "Cortex-M3 Flash #0 Programmed OK");
  EXPECT_FALSE(b.loader.ReadProtected());
  EXPECT_EQ(b.Flash(0, kImage.size()), Bytes(kImage));
  EXPECT_EQ(b.loader.Stats().massErases, 1) << "removing the protection erased the chip";
}

TEST(CortexFlash, ARefusalNamesTheCommandAndTheAddress) {
  CortexConfig c;
  FlashBench b(c);
  b.loader.Faults().Add("command:write#3=X");
  ASSERT_TRUE(b.Run());
  EXPECT_EQ(b.p.prg.LastOutcome().reason, FailReason::CommandRefused);
  EXPECT_EQ(b.p.prg.LastOutcome().detail, "Write Memory at 0x08000200 refused (NACK)");
  EXPECT_EQ(b.loader.Stats().writes, 2);
  // A chip that offers Extended Erase only refuses Erase, and the other way round: the run uses
  // the one Get names, so neither is refused.
  EXPECT_EQ(b.loader.Stats().nacks, 1);
}

// The window of the file places the image: 0x08010000 here, and Go starts it there.
TEST(CortexFlash, GoStartsTheImageInItsWindow) {
  FlashBench b({}, ":020000040801F1\r\n");
  b.p.prg.StartAfterProgramming = true;
  ASSERT_TRUE(b.Run());
  EXPECT_EQ(b.Result(), "Cortex-M3 Flash #0 Programmed OK");
  EXPECT_EQ(b.Flash(0x10000, kImage.size()), Bytes(kImage));
  EXPECT_EQ(b.Flash(0, 16), std::string(16, '\xFF'));
  ASSERT_TRUE(b.loader.Stats().startedAt);
  EXPECT_EQ(*b.loader.Stats().startedAt, 0x08010000u);
}

TEST(CortexFlash, ReadsAndComparesWithoutWriting) {
  FlashBench b;
  b.loader.PutMemory(0, kImage);
  ASSERT_TRUE(b.Run([&] { b.p.prg.StartCompare(); }));
  EXPECT_EQ(b.p.prg.LastOutcome().result, vk::programmer::RunResult::Same);
  EXPECT_EQ(b.Cpu().BytesVerified, kImage.size());

  b.loader.PutMemory(0x123, {0x00});
  ASSERT_TRUE(b.Run([&] { b.p.prg.StartCompare(); }));
  EXPECT_EQ(b.p.prg.LastOutcome().detail,
            "verify: flash differs at 0x08000123 (read 00, expected " +
                vk::programmer::HexDigits(kImage[0x123], 2) + ")");

  std::fill(b.p.image.Image(), b.p.image.Image() + kImage.size(), 0xFF);
  ASSERT_TRUE(b.Run([&] { b.p.prg.StartRead(0, kImage.size()); }));
  EXPECT_EQ(b.p.prg.LastOutcome().result, vk::programmer::RunResult::Read);
  EXPECT_EQ(b.p.image.Image()[0x123], 0x00);
  EXPECT_EQ(b.p.image.Image()[0x8FF], kImage[0x8FF]);
  EXPECT_EQ(b.loader.Stats().writes + b.loader.Stats().pagesErased, 0);
}
