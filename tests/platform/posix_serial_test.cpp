// Real serial devices over pseudo-terminals: exclusive opening, settings a terminal refuses,
// one-byte reads, whole writes, a far end that hangs up, and what each open failure says.

#include "platform/LinkTestSupport.h"
#include "platform/PosixSerial.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>

using vk::platform::LineSettings;
using vk::platform::PortMap;
using vk::platform::PortState;
using vk::platform::PosixSerialPorts;

namespace {

std::string ReadFromDevice(vk::platform::ISerialDevice& device, std::size_t count) {
  std::string out;
  for (int tries = 0; out.size() < count && tries < 5000; ++tries) {
    std::uint8_t b = 0;
    int error = 0;
    const int n = device.ReadByte(b, error);
    if (n == 1)
      out += static_cast<char>(b);
    else if (n < 0)
      break;
    else
      ::usleep(1000);
  }
  return out;
}

} // namespace

TEST(PosixSerial, OpensExclusivelyReadsWritesAndSurvivesRefusedSettings) {
  vk::test::PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  PosixSerialPorts ports(PortMap({{5, pty.SlavePath()}}, false));
  EXPECT_EQ(ports.DeviceOf(5), pty.SlavePath());
  EXPECT_EQ(ports.Probe(5), PortState::Present);

  auto opened = ports.Open(5);
  ASSERT_NE(opened.device, nullptr) << opened.message;
  auto& device = *opened.device;
  EXPECT_EQ(device.Path(), pty.SlavePath());
  // The open asked for low latency; a pseudo-terminal has no latency timer and refuses, and the
  // port works on regardless (below).
  EXPECT_FALSE(device.LowLatencyRefusal().empty());

  // A second open of the held port is refused, and the message names port, device and cause.
  EXPECT_EQ(ports.Probe(5), PortState::Busy);
  auto second = ports.Open(5);
  EXPECT_EQ(second.device, nullptr);
  EXPECT_EQ(second.state, PortState::Busy);
  EXPECT_NE(second.message.find("COM5 (" + pty.SlavePath() + ")"), std::string::npos);
  EXPECT_NE(second.message.find("in use by another program"), std::string::npos);

  // A pseudo-terminal takes the bit rate, but keeps no parity and refuses DTR and RTS: each
  // refusal is reported, none stops the device.
  LineSettings s;
  s.BaudRate = 9600;
  s.Parity = 2;
  const unsigned refused = device.Apply(s);
  EXPECT_EQ(refused & (vk::platform::kRefusedBaudRate | vk::platform::kRefusedLine), 0u);
  EXPECT_NE(refused & vk::platform::kRefusedParity, 0u);
  EXPECT_NE(refused & vk::platform::kRefusedDtr, 0u);
  EXPECT_NE(refused & vk::platform::kRefusedRts, 0u);
  termios line = pty.Line();
  EXPECT_EQ(cfgetospeed(&line), B9600);
  EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO), 0u);
  s.Parity = 0;
  EXPECT_EQ(device.Apply(s) & vk::platform::kRefusedParity, 0u);
  s.BaudRate = 12345; // no such rate: refused, the line goes on at the old one
  EXPECT_NE(device.Apply(s) & vk::platform::kRefusedBaudRate, 0u);
  line = pty.Line();
  EXPECT_EQ(cfgetospeed(&line), B9600);

  // Bytes, 0x00 included, one at a time; nothing waiting reads as 0.
  std::uint8_t b = 0;
  int error = 0;
  EXPECT_FALSE(device.HasInput());
  EXPECT_EQ(device.ReadByte(b, error), 0) << error;
  pty.Write(std::string("a\0\r\xff", 4));
  EXPECT_EQ(ReadFromDevice(device, 4), std::string("a\0\r\xff", 4));

  // A write far beyond one terminal buffer goes out whole.
  std::string big;
  for (int i = 0; i < 20000; ++i) big += static_cast<char>('A' + i % 26);
  std::string received;
  std::thread reader([&] { received = pty.Read(big.size()); });
  EXPECT_TRUE(device.Write(big));
  reader.join();
  EXPECT_EQ(received, big);

  // The far end hangs up: the device reports input, and the read fails with an error.
  pty.HangUp();
  EXPECT_TRUE(device.HasInput());
  EXPECT_EQ(device.ReadByte(b, error), -1);
  EXPECT_EQ(error, EIO);
  EXPECT_EQ(vk::platform::SystemErrorText(EIO), "Input/output error");

  // Closing the device frees the port for the next open.
  opened.device.reset();
  vk::test::PtyPair again;
  PosixSerialPorts ports2(PortMap({{5, again.SlavePath()}}, false));
  auto reopened = ports2.Open(5);
  EXPECT_NE(reopened.device, nullptr);
  reopened.device.reset();
  EXPECT_NE(ports2.Open(5).device, nullptr);
}

TEST(PosixSerial, OpenFailuresNameTheDeviceAndTheRemedy) {
  vk::test::TempDir dir;
  const std::string plainFile = dir.File("not-a-tty");
  std::ofstream(plainFile) << "x";
  PosixSerialPorts ports(PortMap({{7, dir.File("gone")}, {8, plainFile}}, false));

  auto missing = ports.Open(7);
  EXPECT_EQ(missing.device, nullptr);
  EXPECT_EQ(missing.state, PortState::Absent);
  EXPECT_EQ(missing.error, ENOENT);
  EXPECT_NE(missing.message.find("COM7 (" + dir.File("gone") + ") is not present"),
            std::string::npos);
  EXPECT_NE(missing.message.find("Connect the device"), std::string::npos);
  EXPECT_EQ(ports.Probe(7), PortState::Absent);

  auto notTty = ports.Open(8);
  EXPECT_EQ(notTty.device, nullptr);
  EXPECT_NE(notTty.message.find("is not a serial device"), std::string::npos);
  EXPECT_EQ(ports.Probe(8), PortState::Absent);

  auto unnamed = ports.Open(9);
  EXPECT_EQ(unnamed.device, nullptr);
  EXPECT_NE(unnamed.message.find("COM9 names no device"), std::string::npos);
  EXPECT_NE(unnamed.message.find("VK_SERIAL_PORTS"), std::string::npos);

  // Permission denied: root opens everything, so a root test checks it as "nobody" in a child.
  vk::test::PtyPair pty;
  ASSERT_EQ(::chmod(pty.SlavePath().c_str(), 0600), 0);
  auto check = [&]() -> int {
    PosixSerialPorts locked(PortMap({{17, pty.SlavePath()}}, false));
    if (locked.Probe(17) != PortState::NoPermission) return 1;
    auto denied = locked.Open(17);
    if (denied.device || denied.state != PortState::NoPermission) return 2;
    if (denied.message.find("Permission denied opening COM17 (" + pty.SlavePath() + ")") ==
        std::string::npos)
      return 3;
    if (denied.message.find("sudo usermod -aG ") == std::string::npos) return 4;
    return 0;
  };
  if (::geteuid() != 0) { // the terminal is this user's own: take the owner's rights away
    ASSERT_EQ(::chmod(pty.SlavePath().c_str(), 0), 0);
    EXPECT_EQ(check(), 0) << "1 probe, 2 open, 3 message, 4 remedy";
    return;
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
    ::_exit(check());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1 probe, 2 open, 3 message, 4 remedy, 10 setuid";
}
