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
#include "platform/PosixSerial.h"
#include "platform/QtEventLoop.h"
#include "programmer/CpuFactory.h"
#include "support/HexText.h"
#include "support/ImageTestUtil.h"
#include "support/SimWorld.h"
#include "support/SpawnedProcess.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>

using vk::test::HexText;
using vk::test::Pattern;
using vk::test::SpawnedProcess;
using vk::test::TempDir;

namespace {

void EnsureApp() {
  if (QCoreApplication::instance()) return;
  static int argc = 1;
  static char name[] = "cpu_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
}

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

std::string KernelFile(const std::vector<std::uint8_t>& bytes, unsigned addr) {
  std::string text;
  char buf[16];
  for (std::size_t off = 0; off < bytes.size(); off += 16) {
    const unsigned a = addr + static_cast<unsigned>(off);
    unsigned sum = 19 + (a >> 8) + (a & 0xFF);
    std::snprintf(buf, sizeof buf, "S113%04X", a);
    text += buf;
    for (std::size_t i = 0; i < 16; ++i) {
      std::snprintf(buf, sizeof buf, "%02X", bytes[off + i]);
      text += buf;
      sum += bytes[off + i];
    }
    std::snprintf(buf, sizeof buf, "%02X\n", ~sum & 0xFF);
    text += buf;
  }
  return text + "S9030000FC\n";
}

} // namespace

TEST(H8EndToEnd, BootsAndProgramsOverAPseudoTerminal) {
  EnsureApp();
  TempDir dir;
  std::vector<std::uint8_t> kernel(1024);
  for (std::size_t i = 0; i < kernel.size(); ++i) kernel[i] = static_cast<std::uint8_t>(i * 13 + 5);
  dir.Write("kernelA.a20", KernelFile(kernel, 0xF780));
  vk::cpu::KernelSet kernels(nullptr, {dir.Path().string()});
  ASSERT_TRUE(kernels.Get(1)->Loaded());

  const std::string flashOut = dir.File("flash.bin"), kernelOut = dir.File("kernel.bin");
  SpawnedProcess sim(std::string(VK_BIN_DIR) + "/vkdevsim",
                     {"h8", "--no-pace", "--flash-size", "0x4000", "--flash-out", flashOut,
                      "--kernel-out", kernelOut});
  ASSERT_TRUE(sim.Started());
  const auto portLine = sim.ReadLine(5000);
  ASSERT_TRUE(portLine && portLine->rfind("PORT ", 0) == 0) << sim.Stderr();
  const std::string path = portLine->substr(5);

  vk::platform::QtEventLoop loop;
  ShortSleepLoop engineLoop(loop, SleepPercent());
  vk::platform::PosixSerialPorts ports(vk::platform::PortMap({{1, path}}, false));
  vk::platform::RecordingMessageBox boxes;
  vk::link::TComm comm(loop, ports, nullptr, boxes);
  vk::link::ListSelector selector;
  comm.FillPortList(selector);
  ASSERT_TRUE(loop.RunUntil([&] { return comm.IsOpen(); }, 3000));

  vk::test::Programmer p(
      engineLoop, comm,
      [&](const std::function<bool()>& done, vk::platform::Millis limit) {
        return loop.RunUntil(done, static_cast<int>(limit));
      },
      vk::programmer::MakeCpuFactory(nullptr), [&](int n) { return kernels.Get(n); });
  auto data = Pattern(0x600);
  ASSERT_TRUE(p.LoadText(HexText(0x0000, data)));
  p.Select("H8/3672");
  p.Program(0);
  ASSERT_TRUE(p.RunToEnd(60000)) << "status: " << p.status.PanelText(0);
  EXPECT_EQ(p.log.Lines(), (std::vector<std::string>{"H8/3672 #0 Programmed OK"}));
  EXPECT_TRUE(boxes.boxes.empty());

  loop.RunFor(100);
  sim.Signal(SIGTERM);
  ASSERT_TRUE(sim.Wait(5000).has_value());
  const std::string summary = sim.Stderr();
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
