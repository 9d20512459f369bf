// Port numbers and devices: the ranges, explicit entries from the settings and the
// environment, and what is made of malformed entries.

#include "platform/LinkTestSupport.h"
#include "platform/PortMap.h"
#include "platform/SettingsStore.h"

#include <gtest/gtest.h>

using vk::platform::PortMap;

TEST(PortMap, RangesCoverBuiltInUsbAndAcmPorts) {
  const PortMap map;
  EXPECT_EQ(map.DeviceOf(1), "/dev/ttyS0");
  EXPECT_EQ(map.DeviceOf(16), "/dev/ttyS15");
  EXPECT_EQ(map.DeviceOf(17), "/dev/ttyUSB0");
  EXPECT_EQ(map.DeviceOf(32), "/dev/ttyUSB15");
  EXPECT_EQ(map.DeviceOf(33), "/dev/ttyACM0");
  EXPECT_EQ(map.DeviceOf(48), "/dev/ttyACM15");
  EXPECT_EQ(map.DeviceOf(49), "");
  EXPECT_EQ(map.DeviceOf(0), "");
  EXPECT_EQ(map.DeviceOf(-3), "");
  EXPECT_EQ(map.DeviceOf(100), "");

  const PortMap explicitOnly({{17, "/dev/pts/4"}, {60, "/dev/serial/by-id/usb-X"}}, false);
  EXPECT_EQ(explicitOnly.DeviceOf(17), "/dev/pts/4");
  EXPECT_EQ(explicitOnly.DeviceOf(60), "/dev/serial/by-id/usb-X");
  EXPECT_EQ(explicitOnly.DeviceOf(1), "");
}

TEST(PortMap, ParsesEntriesAndNamesTheBadOnes) {
  std::vector<std::string> problems;
  const auto entries = PortMap::ParseEntries(
      " COM5=/dev/pts/3 ; com6 = /dev/ttyUSB1\n7=/dev/a=b;COM=/x;COM8=;junk;;COMx=/y;0=/z",
      &problems);
  const std::map<int, std::string> expected = {
      {5, "/dev/pts/3"}, {6, "/dev/ttyUSB1"}, {7, "/dev/a=b"}};
  EXPECT_EQ(entries, expected);
  EXPECT_EQ(problems.size(), 5u);
  EXPECT_NE(problems[0].find("COM=/x"), std::string::npos);
}

TEST(PortMap, EnvironmentWinsOverSettingsWhichWinOverRanges) {
  vk::test::TempDir dir;
  vk::platform::SettingsStore settings(dir.File("settings.ini"));
  ASSERT_TRUE(settings.Write("SerialPorts/COM17", "/dev/serial/by-id/usb-FTDI_A"));
  ASSERT_TRUE(settings.Write("SerialPorts/COM49", "/dev/pts/9"));
  ASSERT_TRUE(settings.Write("SerialPorts/Printer", "/dev/lp0"));
  {
    vk::test::ScopedEnv env(PortMap::kEnvironmentVariable, "COM49=/dev/pts/12;COM2=/dev/pts/13");
    std::vector<std::string> problems;
    const PortMap map = PortMap::FromSettingsAndEnvironment(&settings, &problems);
    EXPECT_EQ(map.DeviceOf(17), "/dev/serial/by-id/usb-FTDI_A");
    EXPECT_EQ(map.DeviceOf(49), "/dev/pts/12");
    EXPECT_EQ(map.DeviceOf(2), "/dev/pts/13");
    EXPECT_EQ(map.DeviceOf(3), "/dev/ttyS2");
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("SerialPorts/Printer"), std::string::npos);
  }
  vk::test::ScopedEnv noEnv(PortMap::kEnvironmentVariable, std::nullopt);
  EXPECT_EQ(PortMap::FromSettingsAndEnvironment(&settings).DeviceOf(49), "/dev/pts/9");
  EXPECT_EQ(PortMap::FromSettingsAndEnvironment(nullptr).DeviceOf(49), "");
}
