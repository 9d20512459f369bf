// vkprog against vkdevsim on every serial target kind, through each kind of adapter a bench
// uses, and with the faults a bench sees: the adapter pulled out in the middle of the records,
// bit errors in the device's answers. Every case is a test of its own so that ctest spreads
// them over the cores. And the port list, which must open no device to find the ports.

#include "cli/CliTestSupport.h"
#include "support/HexText.h"
#include "support/PrivateCanBus.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

using vk::test::Contains;
using vk::test::HexText;
using vk::test::KernelSRecords;
using vk::test::Pattern;
using vk::test::Simulator;
using vk::test::TempDir;
using vk::test::Vkprog;

namespace {

using Clock = std::chrono::steady_clock;

// Where the image must stand in the simulator's --flash-out dump.
struct FlashPart {
  std::size_t at;
  std::string bytes;
};

struct Target {
  std::vector<std::string> device;  // vkdevsim's device and its options
  std::vector<std::string> program; // vkprog's options after --port
  std::vector<FlashPart> flash;     // empty: nothing is written (a check-only target)
  std::vector<std::string> log;     // vkprog's log lines for a good run
  std::vector<std::string> written; // the simulator's summary after a good run says these
  std::vector<std::string> errSays; // lines vkprog's standard error holds after a good run
  std::vector<FlashPart> kernel;    // what the device received as its kernel (--kernel-out)
  std::string unplugAfter;          // --unplug-after in the middle of the records
  std::string noise;                // --noise that spoils a few answers of a run
  int sleepPercent = 20;
  int okExit = 0;                 // 4: a check-only target, nothing written
  std::uint32_t bitRate = 115200; // the rate the report gives: the one the device was spoken to at
  std::vector<std::pair<std::string, std::string>> env;
  std::string traceSays; // the trace (--trace) holds this line; empty: no trace is written
  bool verified = false; // the run read back what it wrote (the report's "verified")
};

std::string Bytes(const std::vector<std::uint8_t>& v) { return {v.begin(), v.end()}; }

std::string Blank(std::size_t n) { return std::string(n, '\xFF'); }

Target MakeTarget(const std::string& kind, TempDir& dir) {
  Target t;
  if (kind == "Backplane" || kind == "BackplaneRange") {
    // QRD14 (type 136): the image at 0x1000; the unit adds its jump table below it and a
    // checksum word above it, so only the image's own range is compared.
    const auto data = Pattern(0x1000);
    const std::string vkf = vk::test::Container(dir, "qrd14", HexText(0x1000, data), "88000000");
    t.device = {"backplane", "--module", "3:136", "--module", "4:136", "--erase-ms", "100"};
    if (kind == "Backplane") {
      t.program = {"--target", "QRD14", "--address", "4", vkf};
      t.flash = {{0x10000 + 0x1000, Bytes(data)}};
      t.log = {"QRD14 #4 Programmed OK"};
      // The jump table, 32 blocks and the checksum word; "G" reached the unit.
      t.written = {"erase1 x1, erase2 x0, 1 load(s), 34 record(s) programmed", "started x1"};
    } else {
      t.program = {"--target", "QRD14", "--range", "3-4", vkf};
      t.flash = {{0x1000, Bytes(data)}, {0x10000 + 0x1000, Bytes(data)}};
      t.log = {"QRD14 #3 Programmed OK", "QRD14 #4 Programmed OK"};
      t.written = {"34 record(s)"};
    }
    t.unplugAfter = "5";
    t.noise = "0.02";
  } else if (kind == "AT89C51RD2") {
    const auto data = Pattern(0x800);
    t.device = {"isp8051", "--variant", "at89"};
    t.program = {"--target", "AT89C51RD2", dir.Write("app.hex", HexText(0, data))};
    t.flash = {{0, Bytes(data) + Blank(0x10000 - data.size())}};
    t.log = {"AT89C51RD2 #0 Verified 2048 bytes", "AT89C51RD2 #0 Programmed OK"};
    // The closing command (the status byte) is the last thing sent; it reached the chip.
    t.written = {"16 record(s) programmed", "display x2", "status byte 00"};
    t.verified = true;
    t.unplugAfter = "5";
    t.noise = "0.001"; // the loader echoes every byte: some 4,000 bytes come back
  } else if (kind == "H8") {
    std::vector<std::uint8_t> kernel(1024);
    for (std::size_t i = 0; i < kernel.size(); ++i)
      kernel[i] = static_cast<std::uint8_t>(i * 13 + 5);
    std::filesystem::create_directory(dir.Path() / "kernels");
    dir.Write("kernels/kernelB.a20", KernelSRecords(0xF780, kernel));
    const auto data = Pattern(0x600);
    t.device = {"h8", "--kernel-out", dir.File("kernel.bin")};
    t.program = {"--target", "H8/3664", dir.Write("app.hex", HexText(0, data))};
    t.flash = {{0, Bytes(data) + Blank(0x8000 - data.size())}};
    t.kernel = {{0, Bytes(kernel)}};
    t.log = {"H8/3664 #0 Programmed OK"};
    t.written = {"kernel: 1024 byte(s) received, started 1 time(s)",
                 "12 record(s) received, 12 programmed, 1536 byte(s) in 0x0000-0x05FF",
                 "end record x1"};
    // The kernel is a progress phase of its own; the image's bytes do not count it.
    t.errSays = {"progress: H8/3664 #0 kernel 100% (1024 of 1024 bytes)",
                 "progress: H8/3664 #0 100% (1536 of 1536 bytes)"};
    t.unplugAfter = "5";
    t.noise = "0.002";
    t.sleepPercent = 10; // the waits after the kernel; its bytes keep their 10 ms each
    t.env = {{"VKPROG_KERNEL_DIR", (dir.Path() / "kernels").string()}};
  } else if (kind == "CortexM3") {
    // A blank chip answering back to back: every block read, nothing written (exit 4).
    t.device = {"cortex"};
    t.okExit = 4;
    t.program = {"--direct", "--target", "Cortex-M3",
                 dir.Write("app.hex", HexText(0, Pattern(0x100)))};
    t.log = {"Cortex-M3 #0 Blank (08000000-080020FF checked), nothing written"};
    t.written = {"block(s) sent (0x0000 .. 0x2000)"}; // read to the end: found blank
    t.unplugAfter = "60b";                            // a few blocks into the check
    t.noise = "0.0005";
    t.traceSays = "sends a check byte"; // however late the adapter hands it over
  } else if (kind == "CortexM3NoCheckByte" || kind == "CortexM3NotBlankNoCheckByte") {
    // ST's ROM boot loader: the data without a check byte behind it.
    t.device = {"cortex", "--no-check-byte"};
    t.program = {"--direct", "--target", "Cortex-M3",
                 dir.Write("app.hex", HexText(0, Pattern(0x100)))};
    t.traceSays = "sends no check byte";
    if (kind == "CortexM3NoCheckByte") {
      t.okExit = 4;
      t.log = {"Cortex-M3 #0 Blank (08000000-080020FF checked), nothing written"};
      t.written = {"block(s) sent (0x0000 .. 0x2000)"};
    } else {
      t.device.insert(t.device.end(), {"--not-blank-from", "0x300"});
      t.okExit = 5; // checked, not blank
      t.log = {"Cortex-M3 #0 Not blank (data at 08000300-080003FF), nothing written"};
      t.written = {"block(s) sent (0x0000 .. 0x0300)"};
    }
  } else if (kind == "CortexM3Flash" || kind == "CortexM3FlashGo") {
    // An image from the file's window at 0x08000000, over flash that holds an older program.
    const auto data = Pattern(0x900);
    t.device = {"cortex", "--not-blank-from", "0"};
    t.program = {"--direct", "--target", "Cortex-M3 Flash",
                 dir.Write("app.hex", ":020000040800F2\r\n" + HexText(0, data))};
    t.flash = {{0, Bytes(data) + Blank(0xC00 - data.size())}};
    t.log = {"Cortex-M3 Flash #0 Verified 2304 bytes", "Cortex-M3 Flash #0 Programmed OK"};
    t.verified = true;
    t.written = {"9 block(s) written, 3 page(s) erased"};
    t.unplugAfter = "200b"; // in the middle of the writes
    t.noise = "0.003";      // a few of some 2,700 bytes read back
    if (kind == "CortexM3FlashGo") {
      // ST's loader: Extended Erase, no check byte behind the data read.
      t.device.insert(t.device.end(), {"--erase-command", "44", "--no-check-byte"});
      t.program.insert(t.program.begin(), "--go");
      t.written.push_back("started at 0x8000000");
      // The start is told after the verify that came before it.
      t.log.insert(t.log.begin() + 1, "Cortex-M3 Flash #0 started the program at 0x08000000");
    }
  } else if (kind == "QX4TBoot") {
    auto data = Pattern(0x800);
    std::fill(data.begin() + 0x80, data.begin() + 0x100, 0xFF); // a blank block: not sent
    t.device = {"qx4t-boot"};
    t.program = {"--target", "QX4T - BOOT", dir.Write("app.hex", HexText(0, data))};
    t.flash = {{0, Bytes(data) + Blank(0xE000 - data.size())}};
    t.log = {"QX4T - BOOT #0 Programmed OK"};
    // "GN", the last command, reached the loader: the application runs.
    t.written = {"entered x1 (erased x1), 15 record(s) programmed", "end record x1, started x1"};
    t.unplugAfter = "5";
    t.noise = "0.05";
    t.bitRate = 57600;
  }
  return t;
}

struct RunRecord {
  vk::test::ProcessResult result;
  std::string summary;
  std::string flash;
  double seconds = 0;     // printed, never asserted: speed is the benches' business
  bool unplugged = false; // the pseudo-terminal's path vanished during the run
};

RunRecord RunOnce(const Target& t, TempDir& dir, const std::vector<std::string>& line) {
  std::vector<std::string> args = t.device;
  args.insert(args.end(), line.begin(), line.end());
  const std::string flashOut = dir.File("flash.bin");
  args.insert(args.end(), {"--flash-out", flashOut});
  Simulator sim(args);
  RunRecord r;
  if (!sim.Ready()) {
    ADD_FAILURE() << sim.Stderr();
    return r;
  }
  // The pseudo-terminal's path vanishes when the adapter is pulled out.
  std::atomic<bool> done{false};
  std::atomic<bool> vanished{false};
  std::thread watch([&] {
    struct stat st {};
    while (!done && ::stat(sim.Port().c_str(), &st) == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    vanished = !done;
  });
  std::vector<std::string> program = {
      "program", "--port", sim.Port(), "--timeout", "60", "--report", dir.File("report.jsonl")};
  if (!t.traceSays.empty()) program.insert(program.end(), {"--trace", dir.File("trace.txt")});
  program.insert(program.end(), t.program.begin(), t.program.end());
  const auto start = Clock::now();
  r.result = Vkprog(program, t.sleepPercent, t.env);
  const auto end = Clock::now();
  r.seconds = std::chrono::duration<double>(end - start).count();
  done = true;
  watch.join();
  r.unplugged = vanished;
  r.summary = sim.Stop();
  r.flash = TempDir::Read(flashOut);
  return r;
}

// Whether the dump holds the parts where the target puts them.
bool Holds(const std::vector<FlashPart>& parts, const std::string& flash) {
  for (const auto& part : parts)
    if (flash.size() < part.at + part.bytes.size() ||
        flash.compare(part.at, part.bytes.size(), part.bytes) != 0)
      return false;
  return true;
}

const char* const kTargets[] = {"Backplane",
                                "BackplaneRange",
                                "AT89C51RD2",
                                "H8",
                                "CortexM3",
                                "CortexM3NoCheckByte",
                                "CortexM3NotBlankNoCheckByte",
                                "CortexM3Flash",
                                "CortexM3FlashGo",
                                "QX4TBoot"};

class DeviceMatrix : public ::testing::TestWithParam<std::tuple<const char*, const char*>> {};

TEST_P(DeviceMatrix, ProgramsTheImage) {
  const auto [kind, link] = GetParam();
  TempDir dir;
  const Target t = MakeTarget(kind, dir);
  const RunRecord r = RunOnce(t, dir, {"--link", link});
  EXPECT_EQ(r.result.exitCode, t.okExit) << r.result.out << r.result.err << r.summary;
  EXPECT_EQ(vk::test::LogLines(r.result.out), t.log);
  for (const auto& says : t.written)
    EXPECT_TRUE(Contains(r.summary, says)) << says << " in\n" << r.summary;
  const auto errLines = vk::test::Lines(r.result.err);
  for (const auto& line : t.errSays)
    EXPECT_NE(std::find(errLines.begin(), errLines.end(), line), errLines.end()) << line << " in\n"
                                                                                 << r.result.err;
  EXPECT_TRUE(Holds(t.flash, r.flash));
  EXPECT_TRUE(Holds(t.kernel, TempDir::Read(dir.File("kernel.bin"))));
  if (!t.traceSays.empty()) {
    EXPECT_TRUE(Contains(TempDir::Read(dir.File("trace.txt")), t.traceSays));
  }
  for (const auto& line : vk::test::Lines(TempDir::Read(dir.File("report.jsonl")))) {
    EXPECT_TRUE(Contains(line, "\"bit_rate\":" + std::to_string(t.bitRate))) << line;
    EXPECT_TRUE(Contains(line, t.verified ? "\"verified\":true" : "\"verified\":false")) << line;
  }
  RecordProperty("seconds", std::to_string(r.seconds));
  std::printf("matrix %s --link %s: %s in %.2f s\n", kind, link,
              r.result.exitCode == t.okExit ? "pass" : "FAIL", r.seconds);
}

INSTANTIATE_TEST_SUITE_P(Links, DeviceMatrix,
                         ::testing::Combine(::testing::ValuesIn(kTargets),
                                            ::testing::Values("ideal", "usb:16", "usb:1")),
                         [](const auto& info) {
                           std::string link = std::get<1>(info.param);
                           if (link.find(':') != std::string::npos)
                             link.replace(link.find(':'), 1, "");
                           return std::string(std::get<0>(info.param)) + "_" + link;
                         });

class DeviceFaults : public ::testing::TestWithParam<const char*> {};

// The run ends on the lost device itself, as failed (1), not by running into its --timeout (3).
TEST_P(DeviceFaults, APulledAdapterEndsTheRunAsFailedNotByTheTimeout) {
  TempDir dir;
  const Target t = MakeTarget(GetParam(), dir);
  const RunRecord r = RunOnce(t, dir, {"--link", "usb:16", "--unplug-after", t.unplugAfter});
  ASSERT_TRUE(r.unplugged) << "the adapter was never pulled: " << r.summary;
  EXPECT_EQ(r.result.exitCode, 1) << r.result.out << r.result.err;
  EXPECT_FALSE(Contains(r.result.out, "Programmed OK")) << r.result.out;
  EXPECT_TRUE(Contains(r.result.out, "the device has gone")) << r.result.out << r.result.err;
}

TEST_P(DeviceFaults, NoiseNeverPassesADifferentFlashAsProgrammed) {
  TempDir dir;
  const Target t = MakeTarget(GetParam(), dir);
  for (const char* seed : {"1", "2"}) {
    SCOPED_TRACE(std::string("seed ") + seed);
    const RunRecord r =
        RunOnce(t, dir, {"--link", "usb:16", "--noise", t.noise, "--noise-seed", seed});
    EXPECT_FALSE(Contains(r.summary, " 0 byte(s) with a flipped bit")) << r.summary;
    std::printf("noise %s seed %s: exit %d in %.2f s\n", GetParam(), seed, r.result.exitCode,
                r.seconds);
    if (r.result.exitCode == t.okExit || Contains(r.result.out, "Programmed OK")) {
      EXPECT_EQ(r.result.exitCode, t.okExit) << r.result.out;
      // Records sent again after a spoilt answer count twice in the summary: the flash says it.
      if (t.flash.empty()) {
        EXPECT_TRUE(Contains(r.summary, t.written.front())) << r.summary;
      }
      EXPECT_TRUE(Holds(t.flash, r.flash)) << "reported programmed, flash differs";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SerialTargets, DeviceFaults,
                         ::testing::Values("Backplane", "AT89C51RD2", "H8", "CortexM3",
                                           "CortexM3Flash", "QX4TBoot"));

// On Linux an open raises DTR and RTS, which resets many boards: listing the ports must open
// none of them. A fake device tree gives the kernel's list; inotify counts the opens of a real
// terminal named in the port map.
TEST(DeviceList, ListingThePortsOpensNoDevice) {
  TempDir dir;
  int master = -1, slave = -1;
  char name[256] = {};
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  const std::string terminal = name;
  const auto tty = dir.Path() / "sys" / "class" / "tty";
  for (const char* name : {"ttyS0", "ttyS1", "ttyUSB3", "tty1"})
    std::filesystem::create_directories(tty / name);
  for (const char* name : {"ttyS0", "ttyS1", "ttyUSB3"})
    std::filesystem::create_directories(tty / name / "device");
  dir.Write("sys/class/tty/ttyS0/type", "0\n"); // a UART the 8250 driver made up
  dir.Write("sys/class/tty/ttyS1/type", "4\n");

  const int watch = ::inotify_init1(IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, terminal.c_str(), IN_OPEN), 0);
  const auto listed = Vkprog(
      {"ports"}, 20,
      {{"VK_SYSFS_ROOT", (dir.Path() / "sys").string()}, {"VK_SERIAL_PORTS", "COM40=" + terminal}});
  char events[4096];
  const ssize_t opened = ::read(watch, events, sizeof events);
  // The count does see an open.
  ::close(::open(terminal.c_str(), O_RDWR | O_NOCTTY));
  EXPECT_GT(::read(watch, events, sizeof events), 0);
  ::close(watch);
  ::close(slave);
  ::close(master);
  EXPECT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_LE(opened, 0) << "the terminal was opened to list it";
  EXPECT_TRUE(Contains(listed.out, "COM40   " + terminal)) << listed.out;
  EXPECT_TRUE(Contains(listed.out, "COM2    /dev/ttyS1")) << listed.out;
  EXPECT_TRUE(Contains(listed.out, "COM20   /dev/ttyUSB3")) << listed.out;
  EXPECT_FALSE(Contains(listed.out, "COM1 ")) << "a made-up UART is no port: " << listed.out;
}

} // namespace

namespace {

// The CAN adapter pulled out during a QX4T - PCAN run: the loader serves its own virtual bus
// and leaves it after the 5th block, so the program's interface goes down under the run.
TEST(DeviceFaultsCan, AnInterfaceThatGoesDownFailsThePcanRun) {
  TempDir dir;
  const std::string hex = dir.Write("app.hex", HexText(0x0400, Pattern(0x800)));
  const std::string bus = vk::test::NewPrivateBus();
  Simulator sim({"qx4t-can", "--interface", bus, "--node", "5", "--fault", "record:5=hangup"});
  ASSERT_TRUE(sim.Ready());
  const auto r = Vkprog({"program", "--port", "PCAN", "--can", "virtualcan:" + bus, "--can-node",
                         "5", "--target", "QX4T - PCAN", "--timeout", "30", hex});
  const std::string summary = sim.Stop();
  EXPECT_NE(r.exitCode, 0) << r.out;
  EXPECT_FALSE(Contains(r.out, "Programmed OK")) << r.out;
  EXPECT_TRUE(Contains(r.out, "PCAN: the CAN interface has gone down")) << r.out << summary;
}

} // namespace
