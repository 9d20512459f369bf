// vkprog program on the chips programmed through their own boot loaders, each simulated by
// vkdevsim, in what the device matrix (device_matrix_e2e_test.cpp) does not run: a second image
// over the first, kernel faults and the timeout, the check with the loader's pause, and the
// QX4T's CAN loader over a private virtual CAN bus.

#include "cli/CliTestSupport.h"
#include "support/HexText.h"
#include "support/PrivateCanBus.h"

#include <algorithm>
#include <cstdlib>

using vk::test::Contains;
using vk::test::HexText;
using vk::test::KernelSRecords;
using vk::test::LogLines;
using vk::test::Pattern;
using vk::test::Simulator;
using vk::test::TempDir;
using vk::test::Vkprog;

TEST(VkprogBootTargets, AT89C51RD2TakesASecondImageWithoutAnErase) {
  TempDir dir;
  const std::string hex = dir.Write("app.hex", HexText(0x0000, Pattern(0x800)));
  Simulator sim({"isp8051", "--variant", "at89", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  const auto r = Vkprog({"program", "--port", sim.Port(), "--target", "AT89C51RD2", hex});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  // Another image over it: no erase, as the dry run says; the page writes erase by themselves.
  const std::string newer = dir.Write("newer.hex", HexText(0x0000, Pattern(0x800, 7)));
  const auto plan =
      Vkprog({"program", "--port", sim.Port(), "--target", "AT89C51RD2", "--dry-run", newer});
  EXPECT_TRUE(Contains(plan.out, "plan: erase none (each page write erases its page)")) << plan.out;
  const auto again = Vkprog({"program", "--port", sim.Port(), "--target", "AT89C51RD2", newer});
  EXPECT_EQ(LogLines(again.out), (std::vector<std::string>{"AT89C51RD2 #0 Verified 2048 bytes",
                                                           "AT89C51RD2 #0 Programmed OK"}))
      << again.err;
  const std::string summary = sim.Stop();
  EXPECT_TRUE(Contains(summary, "erase x0, 32 record(s) programmed, 4096 byte(s) in 0x0000-0x07FF"))
      << summary;
}

// vkprog read gives the programmed range back as the file it came from; vkprog verify compares
// without writing: 0 equal, 6 differs (naming the first difference); a target that cannot be
// read is a usage error.
TEST(VkprogBootTargets, AT89C51RD2ReadAndVerify) {
  TempDir dir;
  const auto data = Pattern(0x900, 3);
  const std::string hex = dir.Write("app.hex", HexText(0x1000, data));
  Simulator sim({"isp8051", "--variant", "at89", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  const std::vector<std::string> link = {"--port", sim.Port(), "--target", "AT89C51RD2"};
  const auto with = [&](std::vector<std::string> head, std::vector<std::string> tail) {
    head.insert(head.end(), link.begin(), link.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return Vkprog(head);
  };
  ASSERT_EQ(with({"program"}, {hex}).exitCode, 0);
  const std::string back = dir.File("back.hex");
  const std::string readReport = dir.File("read.jsonl");
  const auto read = with({"read"}, {"--range", "1000-18FF", "--report", readReport, back});
  EXPECT_EQ(read.exitCode, 0) << read.err;
  // The read's line names the file and counts the bytes read.
  EXPECT_TRUE(Contains(TempDir::Read(readReport), "\"bytes\":2304,")) << TempDir::Read(readReport);
  EXPECT_TRUE(Contains(TempDir::Read(readReport), "\"files\":[\"" + back + "\"]"));
  // A read and a verify that went whole say so in their progress too.
  EXPECT_TRUE(Contains(read.err, "progress: AT89C51RD2 #0 100% (2304 of 2304 bytes)")) << read.err;
  ASSERT_EQ(Vkprog({"convert", hex, dir.File("same.hex")}).exitCode, 0);
  EXPECT_EQ(TempDir::Read(back), TempDir::Read(dir.File("same.hex")));

  const auto same = with({"verify"}, {hex});
  EXPECT_EQ(same.exitCode, 0);
  EXPECT_TRUE(Contains(same.err, "progress: AT89C51RD2 #0 100% (2304 of 2304 bytes)")) << same.err;
  auto other = data;
  other[0x123] ^= 0x10;
  const auto differs = with(
      {"verify"}, {"--report", dir.File("r.jsonl"), dir.Write("b.hex", HexText(0x1000, other))});
  EXPECT_EQ(differs.exitCode, 6) << differs.err;
  char first[96];
  std::snprintf(first, sizeof first,
                "AT89C51RD2 #0 Failed: verify: flash differs at 0x1123 (read %02X, expected %02X)",
                data[0x123], other[0x123]);
  EXPECT_TRUE(Contains(differs.err, first)) << differs.err;
  EXPECT_TRUE(Contains(TempDir::Read(dir.File("r.jsonl")), "\"verified\":false"));

  const auto refused = Vkprog({"read", "--port", sim.Port(), "--target", "QRD14", back});
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_TRUE(Contains(refused.err, "cannot be read back; the targets that can: AT89C51RD2"))
      << refused.err;
  const std::string summary = sim.Stop();
  EXPECT_TRUE(Contains(summary, "18 record(s) programmed")) << "read and verify wrote nothing\n"
                                                            << summary;
}

TEST(VkprogBootTargets, H8StopsAtTheTimeoutAndNamesAFaultyOrMissingKernel) {
  TempDir dir;
  std::vector<std::uint8_t> kernel(1024);
  for (std::size_t i = 0; i < kernel.size(); ++i) kernel[i] = static_cast<std::uint8_t>(i * 13 + 5);
  const std::string kernels = (dir.Path() / "kernels").string();
  std::filesystem::create_directory(kernels);
  dir.Write("kernels/kernelB.a20", KernelSRecords(0xF780, kernel)); // the H8/3664's
  const std::string hex = dir.Write("app.hex", HexText(0x0000, Pattern(0x600)));

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

// Not blank, with the loader's pause before each block: the check stops at the first
// programmed block, having synchronised once.
TEST(VkprogBootTargets, CortexM3CheckWaitsOutTheLoadersPause) {
  TempDir dir;
  const std::string hex = dir.Write("app.hex", HexText(0x0000, Pattern(0x100)));
  Simulator sim({"cortex", "--no-pace", "--data-delay-ms", "40", "--not-blank-from", "0x300"});
  ASSERT_TRUE(sim.Ready());
  const std::string report = dir.File("report.jsonl");
  const auto r = Vkprog({"program", "--port", sim.Port(), "--direct", "--target", "Cortex-M3",
                         "--report", report, hex});
  const std::string summary = sim.Stop();
  EXPECT_EQ(r.exitCode, 5) << r.out << r.err;
  EXPECT_EQ(LogLines(r.out),
            (std::vector<std::string>{
                "Cortex-M3 #0 Not blank (data at 08000300-080003FF), nothing written"}));
  EXPECT_FALSE(Contains(r.out, "Erasing")) << r.out;
  // The line says what was read, and no CRC-32 of an image nothing was done with.
  EXPECT_TRUE(Contains(TempDir::Read(report), "\"checked_range\":\"08000000-080003FF\""));
  EXPECT_TRUE(Contains(TempDir::Read(report), "\"crc32\":null,")) << TempDir::Read(report);
  EXPECT_TRUE(Contains(
      summary, "synchronised 1 time(s); 4 read command(s); 4 block(s) sent (0x0000 .. 0x0300)"))
      << summary;

  // A check programs nothing, and a chip that refuses to be read is named as protected.
  Simulator locked({"cortex", "--no-pace", "--read-protected"});
  ASSERT_TRUE(locked.Ready());
  const auto refused =
      Vkprog({"program", "--port", locked.Port(), "--direct", "--target", "Cortex-M3", hex});
  locked.Stop();
  EXPECT_EQ(refused.exitCode, 1) << refused.err;
  EXPECT_FALSE(Contains(refused.out, "Programming")) << refused.out;
  EXPECT_TRUE(Contains(refused.out, "Module Check Failed")) << refused.out;
  EXPECT_TRUE(Contains(refused.err, "the chip's read protection is active")) << refused.err;
}

// The dry run places a Cortex-M3 Flash image as the run does, and refuses in the run's words
// what the run refuses: a segment record's 0x00010000 is 0x08010000; 0x08020000 is past the flash.
TEST(VkprogBootTargets, CortexM3FlashDryRunPlacesTheImageAsTheRunDoes) {
  TempDir dir;
  const auto data = Pattern(0x100, 4);
  const std::string segment = dir.Write("seg.hex", ":020000021000EC\r\n" + HexText(0, data));
  const std::string past = dir.Write("past.hex", ":020000040802F0\r\n" + HexText(0, data));
  Simulator sim({"cortex", "--no-pace", "--flash-out", dir.File("flash.bin")});
  ASSERT_TRUE(sim.Ready());
  const auto with = [&](const std::string& option, const std::string& file) {
    return Vkprog(
        {"program", "--port", sim.Port(), "--direct", "--target", "Cortex-M3 Flash", option, file});
  };
  const auto plan = with("--dry-run", segment);
  EXPECT_EQ(plan.out.find("plan: note"), std::string::npos) << plan.out;
  EXPECT_TRUE(Contains(plan.out, "plan: image 8010000-8010100, 256 bytes")) << plan.out;
  EXPECT_EQ(with("-q", segment).exitCode, 0);
  const std::string why =
      "the image at 08020000-080200FF lies outside the flash 08000000-0801FFFF; nothing written";
  EXPECT_TRUE(Contains(with("--dry-run", past).err, "vkprog: program: dry run: " + why));
  EXPECT_TRUE(Contains(with("-q", past).err, "Cortex-M3 Flash #0 Failed: " + why));
  sim.Stop();
  EXPECT_EQ(TempDir::Read(dir.File("flash.bin")).substr(0x10000, 0x100),
            std::string(data.begin(), data.end()));
}

// An STM32 on a bare USB adapter: the "O" of "OP n" would be the first byte its ROM loader
// measures the rate on, so only --direct reaches it; then a start at a given address, and the
// loader's own erase of the whole flash.
TEST(VkprogBootTargets, CortexM3FlashOnABareAdapterWithDirectStartAndChipErase) {
  TempDir dir;
  const std::string hex = dir.Write("app.hex", ":020000040800F2\r\n" + HexText(0, Pattern(0x300)));
  const std::string flash = dir.File("flash.bin");
  {
    Simulator sim({"cortex", "--no-pace"});
    ASSERT_TRUE(sim.Ready());
    const auto r = Vkprog(
        {"program", "--port", sim.Port(), "--target", "Cortex-M3 Flash", "--timeout", "20", hex});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(Contains(sim.Stop(), "rate measured on 0x4F, not 0x7F")) << r.out;
  }
  {
    // The setting says what --direct says; an older program goes with the whole flash.
    Simulator sim({"cortex", "--no-pace", "--not-blank-from", "0", "--flash-out", flash});
    ASSERT_TRUE(sim.Ready());
    const auto erase = Vkprog(
        {"program", "--port", sim.Port(), "--target", "Cortex-M3 Flash", "--erase-only"}, 20,
        {{"VK_SETTINGS_FILE", dir.Write("direct.ini", "[General]\nDirectBootLoader=True\n")}});
    EXPECT_EQ(erase.exitCode, 0) << erase.out << erase.err;
    EXPECT_TRUE(Contains(erase.out, "erasing the whole flash")) << erase.out;
    EXPECT_TRUE(Contains(sim.Stop(), "1 mass erase(s)"));
    EXPECT_TRUE(TempDir::Read(flash) == std::string(0x20000, '\xFF')) << "the flash is not blank";
  }
  Simulator sim({"cortex", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  const auto identify =
      Vkprog({"identify", "--port", sim.Port(), "--direct", "--target", "Cortex-M3 Flash"});
  EXPECT_EQ(identify.exitCode, 0) << identify.out << identify.err;
  EXPECT_TRUE(Contains(identify.out, "product ID: 0x0410 (STM32F10x medium-density)\n"
                                     "protection: none (the flash can be read)\n"
                                     "flash: 128 KiB (the flash size register at 0x1FFFF7E0)\n"))
      << identify.out;
  const auto go = Vkprog({"program", "--port", sim.Port(), "--direct", "--target",
                          "Cortex-M3 Flash", "--go", "0x08000100", hex});
  EXPECT_EQ(go.exitCode, 0) << go.out << go.err;
  EXPECT_TRUE(Contains(sim.Stop(), "started at 0x8000100"));
}

// The 8051 loader's chip erase lifts the security level identify reports, and empties the flash.
TEST(VkprogBootTargets, AT89C51RD2IdentifyAndTheLoadersChipErase) {
  TempDir dir;
  const std::string hex = dir.Write("app.hex", HexText(0x0000, Pattern(0x400)));
  const std::string flash = dir.File("flash.bin");
  // A chip that erases in 0.1 s: the documented 6 s are waited for in the protocol's own test.
  Simulator sim({"isp8051", "--variant", "at89", "--no-pace", "--locked", "--erase-ms", "100",
                 "--flash-out", flash});
  ASSERT_TRUE(sim.Ready());
  const std::vector<std::string> at89 = {"--port", sim.Port(), "--target", "AT89C51RD2"};
  const auto run = [&](std::vector<std::string> head, std::vector<std::string> tail = {}) {
    head.insert(head.end(), at89.begin(), at89.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return Vkprog(head);
  };
  const auto locked = run({"identify"});
  EXPECT_EQ(locked.exitCode, 0) << locked.out << locked.err;
  EXPECT_TRUE(Contains(locked.out, "manufacturer: 0x58 (Atmel)\ndevice ID: 0xD7 0xF7 0xFF\n"))
      << locked.out;
  EXPECT_TRUE(Contains(locked.out, "protection: read and write protected")) << locked.out;
  const auto erase = run({"program"}, {"--erase-only"});
  EXPECT_EQ(erase.exitCode, 0) << erase.out << erase.err;
  EXPECT_EQ(LogLines(erase.out), (std::vector<std::string>{"Module #0 Erased OK"}));
  EXPECT_TRUE(Contains(run({"identify"}).out, "protection: none (security level 0)"));
  ASSERT_EQ(run({"program"}, {hex}).exitCode, 0);
  ASSERT_EQ(run({"program"}, {"--erase-only"}).exitCode, 0);
  EXPECT_TRUE(Contains(sim.Stop(), "erase x2")) << erase.out;
  EXPECT_TRUE(TempDir::Read(flash) == std::string(0x10000, '\xFF')) << "the flash is not blank";
}

// What avrdude and stm32flash users keep: raw binary, placed by --binary-base, from standard
// input; read back into a .bin file it is the same bytes.
TEST(VkprogBootTargets, RawBinaryInFromStandardInputAndOutAsBin) {
  TempDir dir;
  const auto data = Pattern(0x500, 5);
  const std::string bin = dir.Write("app.bin", std::string(data.begin(), data.end()));
  Simulator sim({"isp8051", "--variant", "at89", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  const auto program = vk::test::VkprogShell(
      {"program", "--port", sim.Port(), "--target", "AT89C51RD2", "--binary-base", "0x100", "-"},
      "< '" + bin + "'");
  EXPECT_EQ(program.exitCode, 0) << program.out << program.err;
  const std::string back = dir.File("back.bin");
  const auto read =
      Vkprog({"read", "--port", sim.Port(), "--target", "AT89C51RD2", "--range", "100-5FF", back});
  EXPECT_EQ(read.exitCode, 0) << read.out << read.err;
  EXPECT_TRUE(TempDir::Read(back) == TempDir::Read(bin)) << "read back differs";
  sim.Stop();
}

TEST(VkprogBootTargets, QX4TBootIsPlannedAtItsLoadersRate) {
  // The loader takes the image at 57600 bit/s whatever the port's speed: so does the plan.
  TempDir dir;
  const std::string hex = dir.Write("app.hex", HexText(0x0000, Pattern(0x800)));
  Simulator sim({"qx4t-boot", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  const auto plan = Vkprog({"program", "--port", sim.Port(), "--target", "QX4T - BOOT", "--speed",
                            "115200", "--dry-run", hex});
  sim.Stop();
  EXPECT_TRUE(Contains(plan.out, "per module at 57600 bit/s")) << plan.out << plan.err;
  EXPECT_TRUE(Contains(plan.out, "plan: erase \"BM\" at 57600 bit/s")) << plan.out;
  // The estimate counts the waits: 17 records (the end record too), each after the loader's
  // 100 ms, where the wire alone takes 0.8 s.
  const auto at = plan.out.find("plan: run time about ");
  ASSERT_NE(at, std::string::npos) << plan.out;
  EXPECT_GT(std::strtod(plan.out.c_str() + at + 21, nullptr), 1.7 + 0.8) << plan.out;
}

TEST(VkprogBootTargets, QX4TOverTheVirtualCanBus) {
  TempDir dir;
  const std::string hex = dir.Write("app.hex", HexText(0x0400, Pattern(0x800)));
  const std::string bus = vk::test::NewPrivateBus();
  Simulator sim({"qx4t-can", "--interface", bus, "--node", "5"});
  ASSERT_TRUE(sim.Ready());
  const std::string trace = dir.File("trace.txt");
  const auto r =
      Vkprog({"program", "--port", "PCAN", "--can", "virtualcan:" + bus, "--can-node", "5",
              "--target", "QX4T - PCAN", "--trace", trace, "--report", dir.File("r.jsonl"), hex});
  const std::string summary = sim.Stop();
  // The line counts the two checksum words the run wrote behind the image.
  EXPECT_TRUE(Contains(TempDir::Read(dir.File("r.jsonl")), "\"range_end\":\"0C04\""));
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err << summary;
  EXPECT_EQ(LogLines(r.out), (std::vector<std::string>{"QX4T - PCAN node 5 Programmed OK"}));
  // The jump table's block and the 16 of the image, after one erase.
  EXPECT_TRUE(Contains(summary, "node 5 (commands 785, answers 705): started x2, erased x1, 17 "
                                "block(s) programmed"))
      << summary;
  EXPECT_TRUE(Contains(summary, "0 refused")) << summary;
  EXPECT_FALSE(Contains(summary, "host too soon")) << summary;
  // The trace has the frames both ways, to node 5 and from it.
  const std::string text = TempDir::Read(trace);
  EXPECT_TRUE(Contains(text, "can tx @500000 id 0x785 len ")) << text.substr(0, 2000);
  EXPECT_TRUE(Contains(text, "can rx @500000 id 0x705 len ")) << text.substr(0, 2000);
  EXPECT_FALSE(Contains(r.err, "qt.canbus")) << r.err;
}
