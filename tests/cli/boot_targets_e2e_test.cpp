// vkprog program on the chips programmed through their own boot loaders, each simulated by
// vkdevsim: over a pseudo-terminal, and for the QX4T's CAN loader over Qt's virtual CAN bus.

#include "cli/CliTestSupport.h"
#include "support/HexText.h"

#include <algorithm>

using vk::test::Contains;
using vk::test::HexText;
using vk::test::KernelSRecords;
using vk::test::LogLines;
using vk::test::Pattern;
using vk::test::Simulator;
using vk::test::SimulatorHas;
using vk::test::StatusLines;
using vk::test::Tagged;
using vk::test::TempDir;
using vk::test::Vkprog;

TEST(VkprogBootTargets, AT89C51RD2) {
  TempDir dir;
  const std::string hex = dir.Write("app.hex", HexText(0x0000, Pattern(0x800)));
  Simulator sim({"isp8051", "--variant", "at89", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  const auto r = Vkprog({"program", "--port", sim.Port(), "--target", "AT89C51RD2", hex});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(LogLines(r.out), (std::vector<std::string>{"AT89C51RD2 #0 Programmed OK"}));
  // Another image over it: no erase, as the dry run says; the page writes erase by themselves.
  const std::string newer = dir.Write("newer.hex", HexText(0x0000, Pattern(0x800, 7)));
  const auto plan =
      Vkprog({"program", "--port", sim.Port(), "--target", "AT89C51RD2", "--dry-run", newer});
  EXPECT_TRUE(Contains(plan.out, "plan: erase none (each page write erases its page)")) << plan.out;
  const auto again = Vkprog({"program", "--port", sim.Port(), "--target", "AT89C51RD2", newer});
  EXPECT_EQ(LogLines(again.out), (std::vector<std::string>{"AT89C51RD2 #0 Programmed OK"}))
      << again.err;
  const std::string summary = sim.Stop();
  // The closing command (the status byte) is the last thing sent; it reached the chip.
  EXPECT_TRUE(Contains(summary, "erase x0, 32 record(s) programmed, 4096 byte(s) in 0x0000-0x07FF"))
      << summary;
  EXPECT_TRUE(Contains(summary, "status byte 00")) << summary;
}

TEST(VkprogBootTargets, H8WithAGeneratedKernel) {
  TempDir dir;
  std::vector<std::uint8_t> kernel(1024);
  for (std::size_t i = 0; i < kernel.size(); ++i) kernel[i] = static_cast<std::uint8_t>(i * 13 + 5);
  const std::string kernels = (dir.Path() / "kernels").string();
  std::filesystem::create_directory(kernels);
  dir.Write("kernels/kernelB.a20", KernelSRecords(0xF780, kernel)); // the H8/3664's
  const auto data = Pattern(0x600);
  const std::string hex = dir.Write("app.hex", HexText(0x0000, data));
  const std::string flashOut = dir.File("flash.bin"), kernelOut = dir.File("kernel.bin");

  Simulator sim({"h8", "--no-pace", "--flash-out", flashOut, "--kernel-out", kernelOut});
  ASSERT_TRUE(sim.Ready());
  // The kernel goes out byte by byte with a 10 ms wait each; a tenth of that is plenty here.
  const auto r = Vkprog({"program", "--port", sim.Port(), "--target", "H8/3664", hex}, 10,
                        {{"VKPROG_KERNEL_DIR", kernels}});
  const std::string summary = sim.Stop();
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(LogLines(r.out), (std::vector<std::string>{"H8/3664 #0 Programmed OK"}));
  EXPECT_FALSE(Contains(r.err, "Can't open")) << r.err;
  // The kernel is a progress phase of its own; the image's bytes do not count it.
  const auto progress = vk::test::Tagged(r.err, "progress: ");
  EXPECT_NE(
      std::find(progress.begin(), progress.end(), "H8/3664 #0 kernel 100% (1024 of 1024 bytes)"),
      progress.end())
      << r.err;
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), "H8/3664 #0 100% (1536 of 1536 bytes)") << r.err;
  EXPECT_EQ(TempDir::Read(kernelOut), std::string(kernel.begin(), kernel.end()));
  std::string expected(data.begin(), data.end());
  expected.resize(0x8000, '\xFF');
  EXPECT_EQ(TempDir::Read(flashOut), expected);
  EXPECT_TRUE(Contains(summary, "end record x1")) << summary;

  // --timeout stops the download through the protocol: the chip never starts the kernel.
  Simulator slow({"h8", "--no-pace"});
  ASSERT_TRUE(slow.Ready());
  const auto stopped =
      Vkprog({"program", "--port", slow.Port(), "--target", "H8/3664", "--timeout", "1", hex}, 20,
             {{"VKPROG_KERNEL_DIR", kernels}});
  EXPECT_EQ(stopped.exitCode, 3) << stopped.err;
  // A kernel file that is no kernel: the dry run refuses it, naming the file and the fault.
  dir.Write("kernels/kernelB.a20", "");
  const auto plan =
      Vkprog({"program", "--port", slow.Port(), "--target", "H8/3664", "--dry-run", hex}, 20,
             {{"VKPROG_KERNEL_DIR", kernels}});
  EXPECT_EQ(plan.exitCode, 1);
  EXPECT_TRUE(Contains(plan.err, "kernelB.a20: no S1 data (empty file)")) << plan.err;
  const std::string slowSummary = slow.Stop();
  EXPECT_TRUE(Contains(slowSummary, "started 0 time(s)")) << slowSummary;

  // Without its kernel file the target's warning is shown (and only that kernel's).
  Simulator bare({"h8", "--no-pace"});
  ASSERT_TRUE(bare.Ready());
  const auto missing =
      Vkprog({"program", "--port", bare.Port(), "--target", "H8/3664", "--timeout", "1", hex});
  bare.Stop();
  EXPECT_TRUE(Contains(missing.err, "kernelB: Can't open file The 'kernelB' boot programming "
                                    "kernel will not be available"))
      << missing.err;
  EXPECT_FALSE(Contains(missing.err, "kernelA")) << missing.err;
}

TEST(VkprogBootTargets, CortexM3BlankAndNotBlank) {
  TempDir dir;
  const std::string hex = dir.Write("app.hex", HexText(0x0000, Pattern(0x100)));
  {
    SCOPED_TRACE("blank: all 33 blocks read, the data right behind each \"y\"; nothing written");
    Simulator sim({"cortex", "--no-pace"});
    ASSERT_TRUE(sim.Ready());
    const auto r = Vkprog({"program", "--port", sim.Port(), "--target", "Cortex-M3", hex});
    const std::string summary = sim.Stop();
    EXPECT_EQ(r.exitCode, 4) << r.out << r.err;
    EXPECT_EQ(LogLines(r.out), (std::vector<std::string>{
                                   "Cortex-M3 #0 Blank (0000-20FF checked), nothing written"}));
    EXPECT_FALSE(Contains(r.out, "Programmed OK")) << r.out;
    EXPECT_TRUE(Contains(summary, "33 block(s) sent (0x0000 .. 0x2000)")) << summary;
  }
  {
    SCOPED_TRACE(
        "not blank, with the loader's pause: the check stops at the first programmed block");
    Simulator sim({"cortex", "--no-pace", "--data-delay-ms", "40", "--not-blank-from", "0x300"});
    ASSERT_TRUE(sim.Ready());
    const std::string report = dir.File("report.jsonl");
    const auto r =
        Vkprog({"program", "--port", sim.Port(), "--target", "Cortex-M3", "--report", report, hex});
    const std::string summary = sim.Stop();
    EXPECT_EQ(r.exitCode, 5) << r.out << r.err;
    EXPECT_EQ(LogLines(r.out), (std::vector<std::string>{
                                   "Cortex-M3 #0 Not blank (data at 0300-03FF), nothing written"}));
    EXPECT_FALSE(Contains(r.out, "Erasing")) << r.out;
    EXPECT_TRUE(Contains(TempDir::Read(report), "\"result\":\"not blank\""))
        << TempDir::Read(report);
    EXPECT_TRUE(Contains(summary, "4 block(s) sent (0x0000 .. 0x0300)")) << summary;
  }
}

TEST(VkprogBootTargets, QX4TBootOverAPseudoTerminal) {
  if (!SimulatorHas("qx4t-boot")) GTEST_SKIP() << "this vkdevsim has no qx4t-boot device yet";
  TempDir dir;
  const std::string hex = dir.Write("app.hex", HexText(0x0000, Pattern(0x800)));
  Simulator sim({"qx4t-boot", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  // The loader takes the image at 57600 bit/s whatever the port's speed: so does the plan.
  const auto plan = Vkprog({"program", "--port", sim.Port(), "--target", "QX4T - BOOT", "--speed",
                            "115200", "--dry-run", hex});
  EXPECT_TRUE(Contains(plan.out, "per module at 57600 bit/s")) << plan.out << plan.err;
  const auto r = Vkprog({"program", "--port", sim.Port(), "--target", "QX4T - BOOT", hex});
  const std::string summary = sim.Stop();
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err << summary;
  EXPECT_EQ(LogLines(r.out), (std::vector<std::string>{"QX4T - BOOT #0 Programmed OK"}));
  // "GN", the last command, reached the loader: the application runs.
  EXPECT_TRUE(Contains(summary, "16 record(s) programmed, 2048 byte(s) in 0x0000-0x07FF"))
      << summary;
  EXPECT_TRUE(Contains(summary, "started x1")) << summary;
}

TEST(VkprogBootTargets, QX4TOverTheVirtualCanBus) {
  if (!SimulatorHas("qx4t-can")) GTEST_SKIP() << "this vkdevsim has no qx4t-can device yet";
  TempDir dir;
  const std::string hex = dir.Write("app.hex", HexText(0x0400, Pattern(0x800)));
  // A virtual bus of this test's own, so that other tests on the machine's can0 do not talk
  // to this node.
  const std::string bus = "tcp://127.0.0.1:" + std::to_string(36000 + ::getpid() % 20000) + "/can0";
  Simulator sim({"qx4t-can", "--interface", bus, "--node", "5"});
  ASSERT_TRUE(sim.Ready());
  const std::string trace = dir.File("trace.txt");
  const auto r = Vkprog({"program", "--port", "PCAN", "--can", "virtualcan:" + bus, "--can-node",
                         "5", "--target", "QX4T - PCAN", "--trace", trace, hex});
  const std::string summary = sim.Stop();
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err << summary;
  EXPECT_EQ(LogLines(r.out), (std::vector<std::string>{"QX4T - PCAN #0 Programmed OK"}));
  // The jump table's block and the 16 of the image.
  EXPECT_TRUE(Contains(summary, "17 block(s) programmed")) << summary;
  EXPECT_TRUE(Contains(summary, "0 refused")) << summary;
  // The trace has the frames both ways, to node 5 and from it.
  const std::string text = TempDir::Read(trace);
  EXPECT_TRUE(Contains(text, "can tx @500000 id 0x785 len ")) << text.substr(0, 2000);
  EXPECT_TRUE(Contains(text, "can rx @500000 id 0x705 len ")) << text.substr(0, 2000);
  EXPECT_FALSE(Contains(r.err, "qt.canbus")) << r.err;
}
