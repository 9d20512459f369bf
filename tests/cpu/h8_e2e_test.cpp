// End to end: the H8 boot protocol over the real serial link and a pseudo-terminal, the chip
// simulated by a separate vkdevsim process, Qt's event loop in real time.
//
// The protocol's own waits (10 ms per kernel byte, 1.5 s after the kernel, 200 ms here and
// there) would make this run take 12 s of wall clock. Their lengths are checked in virtual time
// (h8_test.cpp); here the protocol's blocking waits are shortened to 30 % (at least 1 ms) while
// the link, the terminal and the simulator keep real time, so every byte still goes over the
// line in the order and with the pauses the protocol makes, only closer together. At 3 ms per
// kernel byte each echo is back before the next byte goes, as at full length.
// VK_E2E_SLEEP_PERCENT=100 runs it with the full waits.

#include "cpu/H8_3664.h"
#include "cpu/Kernels.h"
#include "programmer/CpuFactory.h"
#include "support/HexText.h"
#include "support/ImageTestUtil.h"
#include "support/PtyBench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

using vk::test::HexText;
using vk::test::KernelSRecords;
using vk::test::Pattern;
using vk::test::PtyBench;
using vk::test::TempDir;

namespace {

// The real loop, with the tick thread's blocking waits shortened.
class ShortSleepLoop : public vk::platform::IEventLoop {
public:
  ShortSleepLoop(vk::platform::IEventLoop& inner, int percent) : inner_(inner), percent_(percent) {}
  std::unique_ptr<vk::platform::ITimer> CreateTimer(int ms,
                                                    std::function<void()> handler) override {
    return inner_.CreateTimer(ms, std::move(handler));
  }
  void Sleep(int ms) override {
    if (ms > 0) inner_.Sleep(std::max(1, ms * percent_ / 100));
  }
  vk::platform::Millis Now() const override { return inner_.Now(); }
  void Post(std::function<void()> fn) override { inner_.Post(std::move(fn)); }
  std::unique_ptr<vk::platform::IWorker> CreateWorker() override { return inner_.CreateWorker(); }

private:
  vk::platform::IEventLoop& inner_;
  int percent_;
};

int SleepPercent() {
  const char* v = std::getenv("VK_E2E_SLEEP_PERCENT");
  const int p = v ? std::atoi(v) : 30;
  return p >= 1 && p <= 100 ? p : 30;
}

} // namespace

TEST(H8EndToEnd, BootsAndProgramsOverAPseudoTerminal) {
  TempDir dir;
  std::vector<std::uint8_t> kernel(1024);
  for (std::size_t i = 0; i < kernel.size(); ++i) kernel[i] = static_cast<std::uint8_t>(i * 13 + 5);
  dir.Write("kernelA.a20", KernelSRecords(0xF780, kernel));
  vk::cpu::KernelSet kernels({dir.Path().string()});
  ASSERT_TRUE(kernels.Get(1)->Loaded());

  const std::string flashOut = dir.File("flash.bin"), kernelOut = dir.File("kernel.bin");
  PtyBench bench({"h8", "--no-pace", "--flash-size", "0x4000", "--flash-out", flashOut,
                  "--kernel-out", kernelOut});
  ASSERT_TRUE(bench.Open());
  ShortSleepLoop engineLoop(bench.loop, SleepPercent());

  vk::test::Programmer p(engineLoop, bench.Comm(), bench.RunUntil(),
                         vk::programmer::MakeCpuFactory(nullptr),
                         [&](int n) { return kernels.Get(n); });
  auto data = Pattern(0x600);
  ASSERT_TRUE(p.LoadText(HexText(0x0000, data)));
  p.Select("H8/3672");
  p.Program(0);
  ASSERT_TRUE(p.RunToEnd(60000)) << "status: " << p.status.PanelText(0);
  EXPECT_EQ(p.log.Lines(), (std::vector<std::string>{"H8/3672 #0 Programmed OK"}));
  EXPECT_TRUE(bench.boxes.boxes.empty());

  bench.loop.RunFor(100);
  const std::string summary = bench.sim.Stop();
  ASSERT_TRUE(bench.sim.Ended());
  EXPECT_NE(summary.find("kernel: 1024 byte(s) received, started 1 time(s)"), std::string::npos)
      << summary;
  EXPECT_NE(summary.find("12 record(s) received, 12 programmed, 1536 byte(s) in 0x0000-0x05FF"),
            std::string::npos)
      << summary;
  EXPECT_NE(summary.find("end record x1"), std::string::npos) << summary;
  EXPECT_EQ(TempDir::Read(kernelOut), std::string(kernel.begin(), kernel.end()));
  std::string expected(data.begin(), data.end());
  expected.resize(0x4000, '\xFF');
  EXPECT_EQ(TempDir::Read(flashOut), expected);
}
