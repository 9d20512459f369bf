// vkprog program, detect and find as a production line runs them: a real process against the
// programmer unit simulated by vkdevsim on a pseudo-terminal.

#include "cli/CliTestSupport.h"
#include "support/HexText.h"

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

using vk::test::Container;
using vk::test::Contains;
using vk::test::HexText;
using vk::test::Lines;
using vk::test::LogLines;
using vk::test::Pattern;
using vk::test::Simulator;
using vk::test::StatusLines;
using vk::test::Tagged;
using vk::test::TempDir;
using vk::test::Vkprog;

namespace {

// The line of the simulator's summary about one module.
std::string ModuleLine(const std::string& summary, int address) {
  for (const auto& line : Lines(summary))
    if (line.rfind("module " + std::to_string(address) + " ", 0) == 0) return line;
  return {};
}

// Whether want appears in have in this order (other items may lie between).
bool InOrder(const std::vector<std::string>& have, const std::vector<std::string>& want) {
  std::size_t i = 0;
  for (const auto& h : have)
    if (i < want.size() && h == want[i]) ++i;
  return i == want.size();
}

// 4 KiB for QRD14 (type 136) at 0x1000, in a container.
std::string Qrd14Firmware(const TempDir& dir) {
  return Container(dir, "qrd14", HexText(0x1000, Pattern(0x1000)), "88000000");
}

} // namespace

TEST(VkprogProgram, ProgramsOneModuleAndEndsAfterTheLastCommandHasGone) {
  TempDir dir;
  const std::string firmware = Qrd14Firmware(dir);
  Simulator sim(
      {"backplane", "--module", "7:136", "--module", "8:136", "--erase-ms", "200", "--no-pace"});
  ASSERT_TRUE(sim.Ready());

  const auto r =
      Vkprog({"program", "--port", sim.Port(), "--target", "QRD14", "--address", "7", firmware});
  const std::string summary = sim.Stop();
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(LogLines(r.out), (std::vector<std::string>{"QRD14 #7 Programmed OK"}));
  EXPECT_TRUE(InOrder(StatusLines(r.out), {"Detecting ...", "Initializing Module", "Erasing Module",
                                           "Programming Module", "Module Programmed OK"}))
      << r.out;
  // stderr is not a terminal here: plain progress lines, and no kernel warnings for a module
  // that needs no kernel.
  const auto progress = Tagged(r.err, "progress: ");
  ASSERT_FALSE(progress.empty()) << r.err;
  // The jump table at 0F80 and the checksum word at 2000 are sent too.
  EXPECT_EQ(progress.back(), "QRD14 #7 100% (4226 of 4226 bytes)");
  EXPECT_FALSE(Contains(r.err, "kernel")) << r.err;
  // The jump table, 32 blocks and the checksum word; "G" reached the unit before vkprog ended.
  EXPECT_TRUE(Contains(ModuleLine(summary, 7), "erase1 x1, erase2 x0, 1 load(s), 34 record(s)"))
      << summary;
  EXPECT_TRUE(Contains(ModuleLine(summary, 7), "started x1")) << summary;
  EXPECT_TRUE(Contains(ModuleLine(summary, 8), "untouched")) << summary;
}

TEST(VkprogProgram, RangeProgramsEachModuleInTurn) {
  TempDir dir;
  const std::string firmware = Qrd14Firmware(dir);
  Simulator sim({"backplane", "--module", "7:136", "--module", "8:136", "--module", "9:136",
                 "--module", "10:133", "--erase-ms", "100", "--no-pace"});
  ASSERT_TRUE(sim.Ready());

  auto r =
      Vkprog({"program", "--port", sim.Port(), "--target", "QRD14", "--range", "7-8", firmware});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(LogLines(r.out),
            (std::vector<std::string>{"QRD14 #7 Programmed OK", "QRD14 #8 Programmed OK"}));
  // A range given backwards is refused: MultiProgram would program its last module only.
  r = Vkprog({"program", "--port", sim.Port(), "--target", "QRD14", "--range", "9-8", firmware});
  EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
  EXPECT_TRUE(Contains(r.err, "--range: the first address 9 lies above the last 8")) << r.err;
  // A module of another type in the range is skipped with its reason, never programmed as its own.
  r = Vkprog({"program", "--port", sim.Port(), "--target", "QRD14", "--range", "10-10", firmware});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(
      r.err, "QRD14 #10 Failed: the module is a QRA11 (type 133), not a QRD14; nothing written"))
      << r.err;

  const std::string summary = sim.Stop();
  EXPECT_TRUE(Contains(ModuleLine(summary, 7), "erase1 x1")) << summary;
  EXPECT_TRUE(Contains(ModuleLine(summary, 7), "started x1")) << summary;
  EXPECT_TRUE(Contains(ModuleLine(summary, 8), "erase1 x1")) << summary;
  EXPECT_TRUE(Contains(ModuleLine(summary, 8), "started x1")) << summary;
  EXPECT_TRUE(Contains(ModuleLine(summary, 9), "untouched")) << summary;
  EXPECT_TRUE(Contains(ModuleLine(summary, 10), "untouched")) << summary;
}

// A port that goes away mid-range reaches none of the modules after it: they are reported at
// once as not attempted, never detected one by one into "no answer".
TEST(VkprogProgram, APortGoneMidRangeEndsTheRestAtOnce) {
  TempDir dir;
  const std::string firmware = Qrd14Firmware(dir);
  // 34 records a module: the 40th is the 6th of module 2.
  Simulator sim({"backplane", "--module", "1:136", "--module", "2:136", "--module", "3:136",
                 "--module", "4:136", "--erase-ms", "100", "--no-pace", "--fault",
                 "record:40=hangup"});
  ASSERT_TRUE(sim.Ready());
  const std::string report = dir.File("report.jsonl");
  const auto r = Vkprog({"program", "--port", sim.Port(), "--target", "QRD14", "--range", "1-4",
                         "--report", report, firmware});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_EQ(LogLines(r.out).front(), "QRD14 #1 Programmed OK") << r.out;
  for (const int m : {3, 4})
    EXPECT_TRUE(Contains(r.err, "QRD14 #" + std::to_string(m) + " Failed: not attempted: COM"))
        << r.err;
  EXPECT_FALSE(Contains(r.err, "no answer to \"OP 3\"")) << r.err;
  const auto lines = Lines(TempDir::Read(report));
  ASSERT_EQ(lines.size(), 4u) << TempDir::Read(report);
  const auto last = nlohmann::json::parse(lines.back());
  EXPECT_EQ(last["address"], 4);
  EXPECT_TRUE(last["detected_type"].is_null()) << lines.back();
  EXPECT_EQ(last["reason"].get<std::string>().rfind("not attempted: COM", 0), 0u) << lines.back();
}

TEST(VkprogProgram, UntypedFirmwareStopsOrAsks) {
  TempDir dir;
  const std::string hex = dir.Write("plain.hex", HexText(0x1000, Pattern(0x200)));
  Simulator sim({"backplane", "--module", "7:136", "--erase-ms", "100", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  const std::vector<std::string> base = {"program", "--port",    sim.Port(), "--target",
                                         "QRD14",   "--address", "7"};
  // The machine-wide settings allow untyped programming; the user's file cannot overrule them.
  const std::string machine = dir.Write("machine.ini", "[General]\nAllowUntypedProgram=True\n");
  const std::vector<std::pair<std::string, std::string>> allowed = {
      {"VK_SYSTEM_SETTINGS_FILE", machine}};
  auto run = [&](std::vector<std::string> extra,
                 const std::vector<std::pair<std::string, std::string>>& env = {}) {
    auto args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(hex);
    return Vkprog(args, 20, env);
  };
  const std::string error = "ID Mismatch: The Firmware in this programmer does not match the ID "
                            "from the selected module.";
  {
    SCOPED_TRACE("not allowed: the error, and the end the window comes to");
    for (const auto& extra : {std::vector<std::string>{}, std::vector<std::string>{"--yes"}}) {
      const auto r = run(extra);
      EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
      EXPECT_TRUE(Contains(r.err, error)) << r.err;
      EXPECT_FALSE(Contains(r.err, "proceed")) << r.err;
      EXPECT_EQ(StatusLines(r.out).back(), "Programming aborted");
      EXPECT_TRUE(LogLines(r.out).empty());
    }
  }
  {
    SCOPED_TRACE("a range ends at the mismatch: the modules not programmed are counted, and "
                 "the hint does not offer to force the firmware in");
    const auto r =
        Vkprog({"program", "--port", sim.Port(), "--target", "QRD14", "--range", "7-8", hex});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(Contains(r.err, "vkprog: program: 2 of 2 module(s) not programmed")) << r.err;
    EXPECT_FALSE(Contains(r.err, "--allow-untyped")) << r.err;
  }
  {
    SCOPED_TRACE("--allow-untyped where no setting offers it, or the machine's withholds it");
    const std::vector<std::pair<std::string, std::string>> userOnly = {
        {"VK_SYSTEM_SETTINGS_FILE", dir.Write("withheld.ini", "[General]\nAllowUntypedProgram=\n")},
        {"VK_SETTINGS_FILE", dir.Write("user.ini", "[General]\nAllowUntypedProgram=True\n")}};
    for (const auto& env : {std::vector<std::pair<std::string, std::string>>{}, userOnly}) {
      const auto r = run({"--allow-untyped", "--yes"}, env);
      EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
      EXPECT_TRUE(Contains(r.err, "\"AllowUntypedProgram\" is in neither the machine-wide"))
          << r.err;
      EXPECT_TRUE(Contains(r.err, env.empty() ? "machine.ini" : "withheld.ini")) << r.err;
    }
    // "False" machine-wide withholds it, whatever the user's file says.
    const auto r = run({"--allow-untyped", "--yes"},
                       {{"VK_SYSTEM_SETTINGS_FILE",
                         dir.Write("false.ini", "[General]\nAllowUntypedProgram=False\n")},
                        userOnly[1]});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_TRUE(Contains(r.err, "withheld on this machine")) << r.err;
  }
  {
    SCOPED_TRACE("allowed, answered No");
    const auto r = run({"--allow-untyped"}, allowed);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(Contains(r.err, error + " Module #7: QRD14 (type 136) Firmware for: none (the "
                                        "file names no module type) Do You want to proceed "
                                        "anyway ?"))
        << r.err;
    EXPECT_EQ(StatusLines(r.out).back(), "Programming aborted");
    EXPECT_TRUE(LogLines(r.out).empty());
  }
  {
    SCOPED_TRACE("allowed, answered Yes");
    const auto r = run({"--allow-untyped", "--yes"}, allowed);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(LogLines(r.out), (std::vector<std::string>{"QRD14 #7 Programmed OK"}));
  }
  const std::string summary = sim.Stop();
  // Only the run answered Yes got as far as the module's flash.
  EXPECT_TRUE(Contains(ModuleLine(summary, 7), "erase1 x1, erase2 x0, 1 load(s)")) << summary;
}

TEST(VkprogProgram, EraseOnlyAndFailedRuns) {
  TempDir dir;
  const std::string firmware = Qrd14Firmware(dir);
  Simulator sim({"backplane", "--module", "7:136", "--module", "8:136", "--erase-ms", "100",
                 "--no-pace", "--fault", "record:3=E"});
  ASSERT_TRUE(sim.Ready());

  auto r = Vkprog({"program", "--port", sim.Port(), "--target", "QRD14", "--address", "8",
                   "--erase-only", firmware});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(LogLines(r.out), (std::vector<std::string>{"Module #8 Erased OK"}));
  EXPECT_EQ(StatusLines(r.out).back(), "Module Erased OK");

  // The unit refuses the third record: the run fails, and so does vkprog; the trace says why
  // right after the refusal.
  const std::string trace = dir.File("trace.txt");
  r = Vkprog({"program", "--port", sim.Port(), "--target", "QRD14", "--address", "7", "--trace",
              trace, firmware});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_EQ(LogLines(r.out), (std::vector<std::string>{"QRD14 #7 Failed"}));
  EXPECT_TRUE(Contains(r.err, "1 of 1 module(s) not programmed")) << r.err;
  EXPECT_TRUE(Contains(r.err, "QRD14 #7 Failed: record at 0x1080 refused (E)")) << r.err;
  EXPECT_TRUE(std::regex_search(TempDir::Read(trace),
                                std::regex(R"(rx  @\d+ "E[^\n]*\n *[\d.]+ ---- QRD14 #7 Failed: )"
                                           R"(record at 0x1080 refused \(E\)\n)")))
      << TempDir::Read(trace);

  const std::string summary = sim.Stop();
  EXPECT_TRUE(Contains(ModuleLine(summary, 8), "erase1 x1, erase2 x0, 0 load(s)")) << summary;
}

TEST(VkprogProgram, SigtermStopsTheRunAndSaysSo) {
  TempDir dir;
  Simulator sim({"backplane", "--module", "7:136", "--erase-ms", "20000", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  // As a supervisor ends it: SIGTERM once the erase is under way.
  const std::string out = dir.File("out.txt");
  const auto r = vk::test::VkprogShell(
      {"program", "-p", sim.Port(), "-t", "QRD14", "-a", "7", Qrd14Firmware(dir)},
      ">" + out + " & for i in $(seq 400); do grep -q Erasing " + out +
          " && break; sleep 0.05; done; kill -TERM $!; wait $!; exit $?");
  EXPECT_EQ(r.exitCode, 143) << r.err;
  EXPECT_TRUE(Contains(r.err, "QRD14 #7 Failed: stopped (SIGTERM)")) << r.err;
  EXPECT_TRUE(Contains(r.err, "vkprog: program: stopped (SIGTERM)")) << r.err;
  sim.Stop();
}

// On a terminal the status line is one line, each text over the one before; a log line ends it.
TEST(VkprogProgram, StatusLineIsRewrittenInPlaceOnATerminal) {
  TempDir dir;
  Simulator sim({"backplane", "--module", "7:136", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  int master = -1, slave = -1;
  char name[256] = {}, chunk[4096];
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  const auto r = vk::test::VkprogShell(
      {"program", "-p", sim.Port(), "-t", "QRD14", "-a", "7", Qrd14Firmware(dir)},
      ">" + std::string(name));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  ::fcntl(master, F_SETFL, O_NONBLOCK);
  std::string screen;
  for (ssize_t n; (n = ::read(master, chunk, sizeof chunk)) > 0;) screen.append(chunk, n);
  ::close(slave);
  ::close(master);
  // Initializing, erasing and programming on one line, which the log line ends.
  EXPECT_EQ(screen.find('\n', screen.find("Initializing Module")),
            screen.find("\r\nQRD14 #7 Programmed OK\r\n") + 1)
      << screen;
  sim.Stop();
}

TEST(VkprogProgram, NoRoomForTheChecksumWordWritesNothing) {
  // An image that fills QRD14's region 1000-7FFF: the word would land at 8000.
  TempDir dir;
  const std::string full = Container(dir, "full", HexText(0x1000, Pattern(0x7000)), "88000000");
  const std::string why =
      "the image leaves no room for the checksum word inside 1000-7FFF; nothing written";
  Simulator sim({"backplane", "--module", "7:136", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  std::vector<std::string> run = {"program", "-p", sim.Port(), "-t", "QRD14", "-a", "7", full};
  auto r = Vkprog(run);
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(r.err, "vkprog: QRD14 #7 Failed: " + why)) << r.err;
  run.push_back("--dry-run");
  EXPECT_TRUE(Contains(Vkprog(run).err, "vkprog: program: dry run: " + why));
  EXPECT_TRUE(Contains(ModuleLine(sim.Stop(), 7), "untouched"));
  r = Vkprog({"convert", "--target", "QRD14", full, dir.File("out.hex")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, "vkprog: convert: " + why)) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.File("out.hex")));
}

TEST(VkprogProgram, SilentUnitEndsWithTheTimeout) {
  TempDir dir;
  const std::string firmware = Qrd14Firmware(dir);
  // An erase that is never answered: the one wait long enough for the time-out to end first.
  Simulator sim(
      {"backplane", "--module", "7:136", "--no-pace", "--fault", "command:erase1=silent"});
  ASSERT_TRUE(sim.Ready());
  const auto r = Vkprog({"program", "--port", sim.Port(), "--target", "QRD14", "--address", "7",
                         "--timeout", "2.5", firmware});
  // The time-out, and no other limit, ends it: its exit code and its own words.
  EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
  EXPECT_TRUE(Contains(r.err, "vkprog: program: no end after 2.5 s (--timeout)")) << r.err;
  EXPECT_TRUE(Contains(r.out, "Erasing Module")) << r.out;
  sim.Stop();
}

TEST(VkprogProgram, TheModuleAtTheAddressGivenIsTheOneChecked) {
  // QRA11 modules at 8 and at 64, the address a click on QRA11 would choose.
  TempDir dir;
  const std::string firmware = Container(dir, "qra11", HexText(0x4000, Pattern(0x400)), "85000000");
  Simulator sim({"backplane", "--module", "7:136", "--module", "8:133", "--module", "64:133",
                 "--erase-ms", "100", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  // The entry named is the entry written: a QRD14 is not programmed as a QRA11 is.
  auto r =
      Vkprog({"program", "--port", sim.Port(), "--target", "QRA11", "--address", "7", firmware});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(
      r.err, "QRA11 #7 Failed: the module is a QRD14 (type 136), not a QRA11; nothing written"))
      << r.err;
  r = Vkprog({"program", "--port", sim.Port(), "--target", "QRA11", "--address", "8", firmware});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(LogLines(r.out), (std::vector<std::string>{"QRA11 #8 Programmed OK"}));
  // An empty address: the module fails with its reason, and vkprog does not wait for good.
  r = Vkprog({"program", "--port", sim.Port(), "--target", "QRA11", "--address", "9", firmware});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(r.err, "QRA11 #9 Failed: no answer to \"OP 9\"; nothing written")) << r.err;
  const std::string summary = sim.Stop();
  EXPECT_TRUE(Contains(ModuleLine(summary, 8), "started x1")) << summary;
  EXPECT_TRUE(Contains(ModuleLine(summary, 64), "untouched")) << summary;
  EXPECT_TRUE(Contains(ModuleLine(summary, 7), "untouched")) << summary;
}

TEST(VkprogProgram, RefusesWhatTheWindowWouldNotOffer) {
  TempDir dir;
  const std::string firmware = Qrd14Firmware(dir);
  const std::string text = dir.Write("notes.txt", "not firmware\r\n");
  const std::string before = TempDir::Read(firmware);
  // A named pipe nobody writes to would hold vkprog for good.
  const std::string fifo = dir.File("fifo.hex");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  Simulator sim({"backplane", "--module", "7:136", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  const std::string port = sim.Port();
  vk::test::PrepareVkprogEnvironment();
  const std::string settings = std::getenv("VK_SETTINGS_FILE");
  struct Case {
    std::vector<std::string> args;
    int exit;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"--target", "QRD14", firmware}, 2, "--port is required"},
      {{"--port", port, firmware}, 2, "--target is required"},
      {{"--port", port, "--target", "QRD99", firmware}, 2, "no catalogue entry is named"},
      {{"--port", port, "--target", "QRD14"}, 2, "name the firmware file"},
      {{"--port", port, "--target", "QRD14", "--speed", "4800", firmware}, 2, "not one of 115200"},
      {{"--port", port, "--target", "QRD14", "--address", "256", firmware}, 2, "too large"},
      {{"--port", port, "--target", "QRD14", "--address", "7", "--range", "7-8", firmware},
       2,
       "exclude each other"},
      {{"--port", port, "--target", "AT89C51RD2", "--range", "1-2", firmware}, 2, "QRD14"},
      {{"--port", port, "--target", "QRD14", "--range", "1-2", "--erase-only", firmware},
       2,
       "--erase-only"},
      {{"--port", port, "--target", "Cortex-M3", "--erase-only", firmware}, 2, "--erase-only"},
      {{"--port", port, "--target", "QRD14", "--direct", firmware}, 2, "the programmer unit"},
      {{"--port", port, "--target", "AT89C51RD2", "--binary-base", "0", firmware, firmware},
       2,
       "exactly one"},
      {{"--port", "COM50", "--target", "QRD14", firmware}, 2, "COM49"},
      {{"--port", "ttyS0", "--target", "QRD14", firmware}, 2, "not COMn"},
      {{"--port", port, "--target", "QRD14", "--timeout", "0", firmware}, 2, "--timeout"},
      {{"--port", port, "--target", "QRD14", "--can-bitrate", "3K", firmware}, 2, "--can-bitrate"},
      {{"--port", port, "--target", "QRD14", firmware, text}, 1, "nothing was sent"},
      {{"-p", port, "-t", "QRD14", "--range", "5-3", firmware}, 2, "lies above the last 3"},
      {{"-p", port, "-t", "QRD14", "-a", "3", "--address", "4", firmware}, 2, "given twice"},
      {{"-p", port, "-t", "QRD41", firmware}, 2, "closest: \"QRD14\""},
      {{"-p", "PCAN", "-t", "QRD14", firmware}, 2, "not reached over CAN"},
      {{"-p", port, "-t", "QRD14", "--can", "nosuchbus:can0", firmware}, 2, "virtualcan"},
      {{"-p", port, "-t", "QRD14", "--trace", firmware, firmware}, 2, "would destroy it"},
      {{"-p", port, "-t", "QRD14", "--report", firmware, firmware}, 2, "would destroy it"},
      {{"-p", "/dev/ttyUSB7", "-t", "QRD14", firmware}, 1, "COM24"},
      {{"-p", "PCAN", "-t", "QX4T-PCAN", "--can", "socketcan:vkcan9", firmware},
       1,
       "vkcan9 (socketcan); plug in the adapter (or load its driver), then: ip link set vkcan9 "
       "up type can bitrate 500000\n"},
      {{"--port", dir.File("no-such-tty"), "--target", "QRD14", firmware}, 1, "no-such-tty"},
      {{"--port", port, "--target", "QRD14", fifo}, 1, "not a regular file (a named pipe)"},
      {{"--port", port, "--target", "QRD14", dir.Path().string()}, 1, "is a directory"},
      {{"-p", dir.Path().string(), "-t", "QRD14", firmware}, 1, "is a directory, not a serial"},
      {{"-p", port, "-t", "QRD14", "--report", dir.Path().string(), firmware},
       1,
       "--report: " + dir.Path().string() + " is a directory"},
      {{"-p", port, "-t", "QRD14", "-vvv", firmware}, 2, "--verbose is given 3 times"},
      // Trace and report go into files of their own, never into the port, the settings, the
      // program or a file that holds something else.
      {{"-p", port, "-t", "QRD14", "--trace", port, firmware}, 2, ") itself: the trace would go"},
      {{"-p", port, "-t", "QRD14", "--report", port, firmware}, 2, ") itself: the report would"},
      {{"-p", port, "-t", "QRD14", "--trace", settings, firmware}, 2, "is the settings file"},
      {{"-p", port, "-t", "QRD14", "--trace", VK_BIN_DIR "/vkprog", firmware},
       2,
       "is the program vkprog itself"},
      {{"-p", port, "-t", "QRD14", "--report", text, firmware}, 2, "is not a report of vkprog"},
      // A group of the tree is no target, whatever the run would have been.
      {{"-p", port, "-t", "QRE", firmware},
       2,
       "group of the target tree, not a target; name "
       "one of its entries: \"QRE15\", \"QRE16\""},
      {{"-p", port, "-t", "kestron", "--dry-run", firmware}, 2, "group of the target tree"},
      {{"-p", port, "-t", "QRF", "--erase-only", firmware}, 2, "group of the target tree"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"program"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = Vkprog(args);
    EXPECT_EQ(r.exitCode, c.exit) << c.says << "\n" << r.err;
    EXPECT_TRUE(Contains(r.err, c.says)) << r.err;
    EXPECT_TRUE(LogLines(r.out).empty());
  }
  // None of them sent anything, and the files named as outputs are as they were.
  EXPECT_EQ(TempDir::Read(firmware), before);
  EXPECT_EQ(TempDir::Read(text), "not firmware\r\n");
  EXPECT_FALSE(std::filesystem::exists(settings));
  const std::string summary = sim.Stop();
  EXPECT_TRUE(Contains(summary, "unit: 0 command(s)")) << summary;
}

TEST(VkprogProgram, DryRunPrintsThePlanAndSendsNothing) {
  TempDir dir;
  const std::string firmware = Qrd14Firmware(dir);
  Simulator sim({"backplane", "--module", "7:136", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  // A name that differs only in case and spacing is the entry.
  auto r = Vkprog({"program", "-p", sim.Port(), "-t", " qrd 14", "-a", "7", "--dry-run", firmware});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  const auto plan = Tagged(r.out, "plan: ");
  EXPECT_EQ(plan.front(), "entry QRD14 (type 136, backplane module, region 1000-7FFF)") << r.out;
  const auto has = [&](const std::string& line) {
    return std::find(plan.begin(), plan.end(), line) != plan.end();
  };
  EXPECT_TRUE(has("modules 7")) << r.out;
  // The jump table at 0F80, 32 blocks and the checksum word: the 34 records of a real run.
  EXPECT_TRUE(std::any_of(plan.begin(), plan.end(), [](const std::string& line) {
    return std::regex_match(
        line, std::regex("image 0F80-2002, 4226 bytes in 34 records of up to 128 bytes, "
                         "CRC-32 [0-9A-F]{8}"));
  })) << r.out;
  EXPECT_TRUE(has("erase \"erase1\" (flash below C000)")) << r.out;
  // Untyped firmware would stop at the question: the run could not start.
  const std::string hex = dir.Write("plain.hex", HexText(0x1000, Pattern(0x200)));
  r = Vkprog({"program", "-p", sim.Port(), "-t", "QRD14", "-a", "7", "--dry-run", hex});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(r.err, "ID Mismatch")) << r.err;
  const std::string summary = sim.Stop();
  EXPECT_TRUE(Contains(summary, "unit: 0 command(s)")) << summary;
  EXPECT_TRUE(Contains(summary, "bytes in 0, out 0")) << summary;
}

TEST(VkprogProgram, ReportHasALinePerModule) {
  TempDir dir;
  const std::string firmware = Qrd14Firmware(dir);
  // The unit refuses the third record, so module 7 fails after two; 8 is programmed; 9 is an
  // empty slot, whose line must not carry 8's type.
  Simulator sim({"backplane", "--module", "7:136", "--module", "8:136", "--erase-ms", "100",
                 "--no-pace", "--fault", "record:3=E"});
  ASSERT_TRUE(sim.Ready());
  // A line of an earlier run: only a report of vkprog's is appended to.
  const std::string report = dir.Write(
      "report.jsonl", "{\"time\":\"2026-01-01T00:00:00Z\",\"host\":\"b\",\"command\":\"scan\"}\n");
  const auto r = Vkprog({"program", "-p", sim.Port(), "-t", "QRD14", "-r", "7-9", "-q", "--report",
                         report, firmware});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  auto lines = Lines(TempDir::Read(report));
  ASSERT_EQ(lines.size(), 4u) << TempDir::Read(report); // appended
  const auto failed = nlohmann::json::parse(lines[1]);
  const auto done = nlohmann::json::parse(lines[2]);
  const auto empty = nlohmann::json::parse(lines[3]);
  EXPECT_EQ(failed["address"], 7);
  EXPECT_EQ(failed["result"], "failed");
  EXPECT_EQ(failed["reason"], "record at 0x1080 refused (E)");
  EXPECT_EQ(failed["bytes"], 256); // the jump table's record and the first of the image
  EXPECT_EQ(done["address"], 8);
  EXPECT_EQ(done["result"], "programmed");
  EXPECT_TRUE(done["reason"].is_null());
  EXPECT_EQ(done["detected_type"], 136);
  EXPECT_EQ(done["entry"], "QRD14");
  EXPECT_EQ(done["files"], nlohmann::json::array({firmware}));
  EXPECT_TRUE(std::regex_match(done["crc32"].get<std::string>(), std::regex("[0-9A-F]{8}")));
  // The image's CRC-32 and range belong to the runs that wrote it whole.
  EXPECT_TRUE(failed["crc32"].is_null() && failed["range_start"].is_null()) << failed;
  EXPECT_EQ(done["range_start"], "0F80");
  EXPECT_EQ(done["range_end"], "2002");
  EXPECT_EQ(done["bytes"], 4226);
  EXPECT_EQ(done["bit_rate"], 115200);
  EXPECT_EQ(done["device"], sim.Port());
  EXPECT_TRUE(std::regex_match(done["time"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
  EXPECT_GT(done["duration_s"].get<double>(), 0);
  EXPECT_EQ(empty["address"], 9);
  EXPECT_TRUE(empty["detected_type"].is_null()) << empty;
  EXPECT_EQ(empty["bytes"], 0);
  EXPECT_EQ(empty["reason"], "no answer to \"OP 9\"; nothing written");

  // A run that never begins still has its line: here the port will not open.
  const auto never = Vkprog({"program", "-p", dir.File("no-such-tty"), "-t", "QRD14", "-a", "5",
                             "--report", report, firmware});
  EXPECT_EQ(never.exitCode, 1) << never.err;
  lines = Lines(TempDir::Read(report));
  ASSERT_EQ(lines.size(), 5u);
  const auto unopened = nlohmann::json::parse(lines[4]);
  EXPECT_EQ(unopened["address"], 5);
  EXPECT_EQ(unopened["result"], "failed");
  // Named as the opened ports are: the number and the device the reason gives.
  const std::string port = unopened["port"];
  EXPECT_TRUE(Contains(unopened["reason"], port + " (")) << unopened;
  EXPECT_EQ(unopened["device"], dir.File("no-such-tty"));

  // The report and the trace in one file, however it is named, would mix: a usage error.
  const std::string full = dir.File("full");
  std::filesystem::create_symlink("/dev/full", full);
  const auto same = Vkprog({"program", "-p", sim.Port(), "-t", "QRD14", "-a", "8", "--report",
                            "/dev/full", "--trace", full, firmware});
  EXPECT_EQ(same.exitCode, 2) << same.err;
  EXPECT_TRUE(Contains(same.err, "--report and --trace name the same file")) << same.err;
  // A report or trace that cannot be written is said, and the exit is not 0.
  for (const char* option : {"--report", "--trace"}) {
    const auto r2 = Vkprog(
        {"program", "-p", sim.Port(), "-t", "QRD14", "-a", "8", "-q", option, full, firmware});
    EXPECT_EQ(r2.exitCode, 1) << r2.err;
    EXPECT_TRUE(Contains(r2.err, full + ": No space left on device")) << r2.err;
  }
  EXPECT_TRUE(Contains(ModuleLine(sim.Stop(), 8), "started x3"));
}

TEST(VkprogProgram, StationsSharingOneReportNeverMixTheirLines) {
  // Four stations of a line at once, each writing 256 lines of over 8 KiB (a buffered writer
  // splits such a line in two): every line must come out whole.
  TempDir dir;
  // A HEX file merges into the image each time, so every naming of it stays in the line.
  const std::string firmware = dir.Write("app.hex", HexText(0x1000, Pattern(0x100)));
  const std::string report = dir.File("line.jsonl");
  vk::test::PrepareVkprogEnvironment();
  std::vector<std::string> args = {"program", "-p", dir.File("gone"), "-t",  "QRD14", "-r",
                                   "0-255",   "-q", "--report",       report};
  for (int i = 0; i < 300; ++i) args.push_back(firmware); // the same file, named many times
  std::vector<std::thread> stations;
  for (int i = 0; i < 4; ++i)
    stations.emplace_back([&] {
      EXPECT_EQ(vk::test::RunProcess(std::string(VK_BIN_DIR) + "/vkprog", args).exitCode, 1);
    });
  for (auto& t : stations) t.join();
  const auto lines = Lines(TempDir::Read(report));
  ASSERT_EQ(lines.size(), 4u * 256);
  EXPECT_GT(lines.front().size(), 8192u);
  for (const auto& line : lines) ASSERT_TRUE(nlohmann::json::accept(line)) << line.substr(0, 200);
}

TEST(VkprogProgram, ReadsStandardInputAndOutlivesAClosedStdout) {
  TempDir dir;
  const std::string firmware = Qrd14Firmware(dir);
  Simulator sim(
      {"backplane", "--module", "7:136", "--module", "8:136", "--erase-ms", "300", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  // The firmware through a pipe, read once.
  auto r = vk::test::VkprogShell(
      {"program", "-p", sim.Port(), "-t", "QRD14", "-a", "7", "/dev/stdin"}, "< " + firmware);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(LogLines(r.out), (std::vector<std::string>{"QRD14 #7 Programmed OK"}));
  // Nobody reads stdout (vkprog ... | true): the run goes on to the end all the same.
  r = vk::test::VkprogShell({"program", "-p", sim.Port(), "-t", "QRD14", "-a", "8", firmware},
                            "| true");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::string summary = sim.Stop();
  for (const int module : {7, 8})
    EXPECT_TRUE(Contains(ModuleLine(summary, module), "34 record(s) programmed")) << summary;
}

TEST(VkprogProgram, AFileWithoutItsEndRecordIsProgrammedWithAWarning) {
  TempDir dir;
  std::string body = HexText(0x1000, Pattern(0x400));
  body.erase(body.find(":00000001FF"));
  const std::string firmware = Container(dir, "cut", body, "88000000");
  Simulator sim({"backplane", "--module", "7:136", "--erase-ms", "100", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  const std::string report = dir.File("report.jsonl");
  const auto r = Vkprog(
      {"program", "-p", sim.Port(), "-t", "QRD14", "-a", "7", "-q", "--report", report, firmware});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  const std::string warning = "cut.vkf: no end record: the file may be cut short";
  EXPECT_TRUE(InOrder(Lines(r.out), {warning, "QRD14 #7 Programmed OK"})) << r.out;
  EXPECT_TRUE(Contains(r.err, "warning: " + warning)) << r.err;
  EXPECT_EQ(nlohmann::json::parse(TempDir::Read(report))["warning"], warning);
  sim.Stop();
}

TEST(VkprogScan, ListsTheModulesOfARack) {
  Simulator sim(
      {"backplane", "--module", "3:136", "--module", "4:133", "--module", "6:200", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  auto r = Vkprog({"scan", "-p", sim.Port(), "--from", "3", "--to", "6"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(Lines(r.out), (std::vector<std::string>{
                              "address  type        entry", "      3  136 (0x88)  QRD14",
                              "      4  133 (0x85)  QRA11", "      6  200 (0xC8)  unknown"}));
  // The progress on stderr, as program's: the address asked, every tenth in a pipe.
  EXPECT_TRUE(InOrder(Lines(r.err),
                      {"progress: scan 0% (address 3, 1 of 4)",
                       "progress: scan 50% (address 5, 3 of 4)", "progress: scan 100% (4 of 4)"}))
      << r.err;
  r = Vkprog({"scan", "-p", sim.Port(), "--from", "7", "--to", "7", "--quiet"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_FALSE(Contains(r.err, "progress")) << r.err;
  EXPECT_EQ(Lines(r.out).size(), 1u) << r.out;
  // The empty address takes longer than this time-out, which is said as it was given.
  r = Vkprog({"scan", "-p", sim.Port(), "--from", "7", "--to", "7", "--timeout", "0.5"});
  EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
  EXPECT_TRUE(Contains(r.err, "no end after 0.5 s (--timeout), at address 7")) << r.err;
  sim.Stop();
}

// The commands that only talk to the programmer unit refuse PCAN alike.
TEST(VkprogLinkCommands, RefusePcanAlike) {
  for (const std::string command : {"detect", "find", "scan"}) {
    const auto r = Vkprog({command, "-p", "PCAN"});
    EXPECT_EQ(r.exitCode, 2) << command << r.err;
    EXPECT_TRUE(Contains(r.err, "PCAN has")) << r.err;
  }
}

TEST(VkprogTrace, HoldsEveryByteWithItsTimeDirectionAndRate) {
  TempDir dir;
  const std::string firmware = Qrd14Firmware(dir);
  // The unit listens at 57600 until the programmer identifies itself, then at 115200 too.
  Simulator sim(
      {"backplane", "--module", "7:136", "--baud", "57600", "--erase-ms", "100", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  const std::string trace = dir.File("trace.txt");
  const auto r = Vkprog({"program", "--port", sim.Port(), "--target", "QRD14", "--address", "7",
                         "--speed", "57600", "--trace", trace, firmware});
  const std::string summary = sim.Stop();
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;

  // Decodes an entry's bytes back from the text.
  auto decode = [](const std::string& shown) {
    std::string out;
    if (shown.rfind("hex", 0) == 0) {
      for (std::size_t i = 4; i + 1 < shown.size() + 1; i += 3)
        out += static_cast<char>(std::stoi(shown.substr(i, 2), nullptr, 16));
      return out;
    }
    for (std::size_t i = 1; i + 1 < shown.size(); ++i) {
      if (shown[i] != '\\') {
        out += shown[i];
        continue;
      }
      const char e = shown[++i];
      if (e == 'r')
        out += '\r';
      else if (e == 'n')
        out += '\n';
      else if (e == 't')
        out += '\t';
      else if (e == 'x') {
        out += static_cast<char>(std::stoi(shown.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else
        out += e;
    }
    return out;
  };
  const std::regex entry(R"(^ +([0-9]+\.[0-9]{6}) (tx|rx)  @([0-9]+) (.*)$)");
  std::size_t in = 0, out = 0;
  std::vector<std::pair<std::string, std::string>> sent; // rate, bytes
  std::vector<std::string> notes;
  double last = 0;
  const auto lines = vk::test::Lines(TempDir::Read(trace));
  ASSERT_GT(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("# V&K Programmer link trace: vkprog program, started ", 0), 0u);
  for (const auto& line : lines) {
    if (line[0] == '#') continue;
    const double at = std::stod(line);
    EXPECT_GE(at, last) << line;
    last = at;
    std::smatch m;
    if (!std::regex_match(line, m, entry)) {
      ASSERT_TRUE(Contains(line, " ---- ")) << line;
      notes.push_back(line.substr(line.find("---- ") + 5));
      continue;
    }
    const std::string bytes = decode(m[4]);
    if (m[2] == "tx") {
      out += bytes.size();
      sent.emplace_back(m[3], bytes);
    } else {
      in += bytes.size();
    }
  }
  // Every byte the unit saw and sent is in the trace.
  EXPECT_TRUE(Contains(summary, "bytes in " + std::to_string(out) + ", out " + std::to_string(in)))
      << summary << "\ntrace: " << out << " out, " << in << " in";
  ASSERT_GE(sent.size(), 5u);
  EXPECT_EQ(sent.front(), (std::pair<std::string, std::string>{"57600", "OP 7\r"}));
  EXPECT_EQ(sent.back(), (std::pair<std::string, std::string>{"115200", "G\r"}));
  const auto load =
      std::find_if(sent.begin(), sent.end(), [](const auto& s) { return s.second == "L\r"; });
  ASSERT_NE(load, sent.end());
  EXPECT_EQ(load->first, "115200");
  EXPECT_TRUE(std::find(notes.begin(), notes.end(), "line 57600 bit/s, parity none") !=
              notes.end());
  EXPECT_TRUE(std::find(notes.begin(), notes.end(), "line 115200 bit/s, parity none") !=
              notes.end());
  ASSERT_FALSE(notes.empty());
  EXPECT_EQ(notes.back(), notes.front().substr(0, notes.front().find(' ')) + " closed");
}

TEST(VkprogDetect, PrintsTheTypeAndTheEntry) {
  Simulator sim(
      {"backplane", "--module", "7:136", "--module", "8:133", "--module", "9:200", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  auto detect = [&](const std::string& address) {
    return Vkprog({"detect", "--port", sim.Port(), "--address", address});
  };
  auto r = detect("7");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Tagged(r.out, "type: "), (std::vector<std::string>{"136 (0x88)"}));
  EXPECT_EQ(Tagged(r.out, "entry: "), (std::vector<std::string>{"QRD14"}));
  r = detect("8");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Tagged(r.out, "entry: "), (std::vector<std::string>{"QRA11"}));
  r = detect("9");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Tagged(r.out, "type: "), (std::vector<std::string>{"200 (0xC8)"}));
  EXPECT_EQ(Tagged(r.out, "entry: "), (std::vector<std::string>{"none"}));
  r = detect("10");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(StatusLines(r.out).back(), "<no module found>");
  EXPECT_TRUE(Tagged(r.out, "type: ").empty());
  const std::string summary = sim.Stop();
  // Nine "OP 10" for the empty address, and one for each module.
  EXPECT_TRUE(Contains(summary, "unit: 15 command(s)")) << summary;
}

TEST(VkprogFind, FindsTheRateAndTheAddressThatAnswer) {
  // The unit listens at 38400 only: the finder has to go through 115200 and 57600 first.
  Simulator sim({"backplane", "--module", "5:136", "--baud", "38400", "--no-pace"});
  ASSERT_TRUE(sim.Ready());
  auto r = Vkprog({"find", "--port", sim.Port()});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(Tagged(r.out, "rate: "), (std::vector<std::string>{"38400"}));
  EXPECT_EQ(Tagged(r.out, "address: "), (std::vector<std::string>{"5"}));
  EXPECT_EQ(StatusLines(r.out), (std::vector<std::string>{"Searching for device setting ..."}));
  sim.Stop();

  Simulator silent({"backplane", "--module", "5:136", "--no-pace", "--fault", "silent"});
  ASSERT_TRUE(silent.Ready());
  r = Vkprog({"find", "--port", silent.Port(), "--end-address", "3", "--timeout", "1"});
  EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
  EXPECT_TRUE(Contains(r.err, "no programmer unit answered")) << r.err;
  // A rate given to the search would do nothing: refused, as its usage has none.
  r = Vkprog({"find", "--port", silent.Port(), "-s", "9600"});
  EXPECT_EQ(r.exitCode, 2) << r.err;
  EXPECT_TRUE(Contains(r.err, "--speed: find tries every rate itself")) << r.err;
  silent.Stop();
}
