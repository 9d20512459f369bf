// vkdevsim as a user runs it: a real process serving a real pseudo-terminal, opened by the test
// as a host opens a serial port.

#include "support/RunProcess.h"
#include "support/SpawnedProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>

using vk::test::SpawnedProcess;

namespace {

const std::string kVkdevsim = std::string(VK_BIN_DIR) + "/vkdevsim";

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// The host end: the slave opened raw, as a serial port is.
class HostPort {
public:
  explicit HostPort(const std::string& path, speed_t speed = B115200) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return;
    termios t{};
    ::tcgetattr(fd_, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, speed);
    ::tcsetattr(fd_, TCSANOW, &t);
  }
  ~HostPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool IsOpen() const { return fd_ >= 0; }
  void Speed(speed_t speed) {
    termios t{};
    ::tcgetattr(fd_, &t);
    ::cfsetspeed(&t, speed);
    ::tcsetattr(fd_, TCSANOW, &t);
  }
  void Write(const std::string& text) {
    ASSERT_EQ(::write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // Reads until `want` bytes have come or `timeoutMs` has passed.
  std::string Read(std::size_t want, int timeoutMs) {
    std::string got;
    const auto start = Clock::now();
    while (got.size() < want) {
      const long left = timeoutMs - MsSince(start);
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[512];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) {
        lastReadFailed_ = true;
        break;
      }
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }
  std::string Ask(const std::string& text, std::size_t want, int timeoutMs = 2000) {
    Write(text);
    return Read(want, timeoutMs);
  }
  bool LastReadFailed() const { return lastReadFailed_; }

private:
  int fd_ = -1;
  bool lastReadFailed_ = false;
};

// Starts vkdevsim and returns the path from its "PORT " line.
std::string StartAndGetPort(SpawnedProcess& p) {
  EXPECT_TRUE(p.Started());
  const auto line = p.ReadLine(5000);
  if (!line || line->rfind("PORT ", 0) != 0) {
    ADD_FAILURE() << "no PORT line; stderr: " << p.Stderr();
    return {};
  }
  return line->substr(5);
}

TEST(Vkdevsim, HelpAndBadArguments) {
  auto r = vk::test::RunProcess(kVkdevsim, {"--help"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("backplane"), std::string::npos);
  r = vk::test::RunProcess(kVkdevsim, {"backplane", "--help"});
  EXPECT_EQ(r.exitCode, 0);
  for (const char* word : {"--module ADDR:TYPE", "--fault RULE", "--erase-ms", "--link", "--pace"})
    EXPECT_NE(r.out.find(word), std::string::npos) << word;

  const std::vector<std::vector<std::string>> bad = {
      {"toaster"},
      {"backplane", "--module", "300:1"},
      {"backplane", "--module", "7"},
      {"backplane", "--module", "7:1", "--module", "7:2"},
      {"backplane", "--fault", "record:0=X"},
      {"backplane", "--baud", "fast"},
      {"backplane", "--exit-after", "-1"},
      {"backplane", "--erase-ms"},
      {"backplane", "--frobnicate"},
      {"backplane", "--link", "usb:0"},
      {"backplane", "--noise", "2"},
      {"backplane", "--stall", "100"},
      {"backplane", "--unplug-after", "0"},
  };
  for (const auto& args : bad) {
    r = vk::test::RunProcess(kVkdevsim, args);
    EXPECT_EQ(r.exitCode, 2) << args.back();
    EXPECT_FALSE(r.err.empty()) << args.back();
    EXPECT_TRUE(r.out.empty()) << "no PORT line for " << args.back();
  }
}

TEST(Vkdevsim, ServesABackplaneOverAPseudoTerminal) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("vkdevsim-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string logPath = (dir / "transcript.log").string();
  SpawnedProcess p(kVkdevsim, {"backplane", "--module", "7:136", "--module", "0x08:0x0A",
                               "--erase-ms", "30", "--no-pace", "--log", logPath});
  const std::string path = StartAndGetPort(p);
  ASSERT_FALSE(path.empty());
  {
    HostPort host(path);
    ASSERT_TRUE(host.IsOpen());
    EXPECT_EQ(host.Ask("OP 7\r", 4), "OK\r\n");
    EXPECT_EQ(host.Ask("ID\r", 6), "ID88\r\n");
    EXPECT_EQ(host.Ask("OP8\r", 4), "OK\r\n");
    EXPECT_EQ(host.Ask("ID\r", 6), "ID0A\r\n");
    const auto start = Clock::now();
    EXPECT_EQ(host.Ask("erase2\r", 4), "OK\r\n");
    EXPECT_GE(MsSince(start), 29) << "the erase takes its time";
    EXPECT_EQ(host.Ask("L\r", 1, 100), "");
    EXPECT_EQ(host.Ask(":02C00000ABCDC6\r", 3), ".\r\n");
    EXPECT_EQ(host.Ask(":02C00200ABCD00\r", 3), "X\r\n");
    host.Write(":00000001FF\rG\r");
  }
  {
    // The host closes the port and opens it again: the unit is still there.
    HostPort again(path);
    ASSERT_TRUE(again.IsOpen());
    EXPECT_EQ(again.Ask("OP 7\r", 4), "OK\r\n");
    EXPECT_EQ(again.Ask("OP 9\r", 1, 150), "") << "no module at 9";
  }
  p.Signal(SIGTERM);
  ASSERT_EQ(p.Wait(5000), 0);
  const std::string err = p.Stderr();
  EXPECT_NE(err.find("stopped by a signal"), std::string::npos) << err;
  EXPECT_NE(err.find("module 8 (type 10 = 0x0A): erase1 x0, erase2 x1, 1 load(s), 1 record(s) "
                     "programmed, 2 byte(s) in 0xC000-0xC001, 1 refused, end record x1, "
                     "started x1"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("module 7 (type 136 = 0x88): untouched"), std::string::npos) << err;

  std::ifstream in(logPath);
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(log.find("host> @115200 OP 7\\r"), std::string::npos) << log;
  EXPECT_NE(log.find("dev>  @115200 ID0A\\r\\n"), std::string::npos) << log;
  EXPECT_NE(log.find("record 2: bad checksum"), std::string::npos) << log;
  EXPECT_EQ(log.find("fault"), std::string::npos) << "no fault was scripted: " << log;
  std::filesystem::remove_all(dir);
}

TEST(Vkdevsim, HearsTheRateTheHostSetOnTheTerminal) {
  SpawnedProcess p(kVkdevsim, {"backplane", "--module", "7:136", "--baud", "9600", "--no-pace"});
  const std::string path = StartAndGetPort(p);
  ASSERT_FALSE(path.empty());
  HostPort host(path, B115200);
  ASSERT_TRUE(host.IsOpen());
  EXPECT_EQ(host.Ask("OP 7\r", 1, 150), "") << "the unit listens at 9600 only";
  host.Speed(B9600);
  EXPECT_EQ(host.Ask("OP 7\r", 4), "OK\r\n");
  EXPECT_EQ(host.Ask("QV550274\r", 1, 100), "");
  host.Speed(B115200);
  EXPECT_EQ(host.Ask("OP 7\r", 4), "OK\r\n") << "115200 as well after QV550274";
  host.Speed(B57600);
  EXPECT_EQ(host.Ask("ID\r", 1, 150), "");
  p.Signal(SIGINT);
  ASSERT_EQ(p.Wait(5000), 0);
  EXPECT_NE(p.Stderr().find("lost to a rate mismatch: in 8, out 0"), std::string::npos)
      << p.Stderr();
}

TEST(Vkdevsim, ScriptedFaultsEndInAHangUp) {
  SpawnedProcess p(kVkdevsim, {"backplane", "--module", "7:136", "--no-pace", "--fault",
                               "record:1=X", "--fault", "after-records:3=hangup"});
  const std::string path = StartAndGetPort(p);
  ASSERT_FALSE(path.empty());
  HostPort host(path);
  ASSERT_TRUE(host.IsOpen());
  EXPECT_EQ(host.Ask("OP 7\r", 4), "OK\r\n");
  host.Write("L\r");
  const std::string record = ":0100000011EE\r";
  EXPECT_EQ(host.Ask(record, 3), "X\r\n");
  EXPECT_EQ(host.Ask(record, 3), ".\r\n");
  EXPECT_EQ(host.Ask(":0100010022DC\r", 3), ".\r\n") << "the third record is still answered";
  // Then the device is gone, as an unplugged adapter: reads fail, the program ends by itself.
  EXPECT_EQ(host.Read(1, 2000), "");
  EXPECT_TRUE(host.LastReadFailed());
  ASSERT_EQ(p.Wait(5000), 0);
  EXPECT_NE(p.Stderr().find("hung up"), std::string::npos) << p.Stderr();
}

TEST(Vkdevsim, LinkPathAndTimeLimit) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("vkdevsim-link-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string link = (dir / "ttyBACKPLANE").string();
  const auto start = Clock::now();
  SpawnedProcess p(kVkdevsim,
                   {"backplane", "--module", "3:19", "--link", link, "--exit-after", "0.4"});
  const std::string path = StartAndGetPort(p);
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), path);
  {
    HostPort host(link);
    ASSERT_TRUE(host.IsOpen());
    EXPECT_EQ(host.Ask("OP3\r", 4), "OK\r\n");
  }
  ASSERT_EQ(p.Wait(5000), 0);
  EXPECT_GE(MsSince(start), 390);
  EXPECT_NE(p.Stderr().find("time limit reached"), std::string::npos) << p.Stderr();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)))
      << "the link goes with the program";

  // A file that is not a link is never replaced.
  { std::ofstream(link) << "keep"; }
  const auto r =
      vk::test::RunProcess(kVkdevsim, {"backplane", "--link", link, "--exit-after", "1"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("not a symbolic link"), std::string::npos) << r.err;
  std::ifstream kept(link);
  std::string content;
  kept >> content;
  EXPECT_EQ(content, "keep");
  std::filesystem::remove_all(dir);
}

TEST(Vkdevsim, PacingTakesTheLineTime) {
  // At 1200 bit/s, "OP 7\r" and "OK\r\n" are 9 bytes of 10 bits: 75 ms on a real line.
  SpawnedProcess p(kVkdevsim, {"backplane", "--module", "7:136", "--baud", "1200", "--pace"});
  const std::string path = StartAndGetPort(p);
  ASSERT_FALSE(path.empty());
  HostPort host(path, B1200);
  ASSERT_TRUE(host.IsOpen());
  const auto start = Clock::now();
  EXPECT_EQ(host.Ask("OP 7\r", 4), "OK\r\n");
  EXPECT_GE(MsSince(start), 74);
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(5000), 0);
}

} // namespace
