// vkprog ports: "PCAN" and the present ports with their devices, as a user runs it.

#include "platform/LinkTestSupport.h"
#include "support/RunProcess.h"

#include <gtest/gtest.h>

TEST(PortsCommand, ListsPcanAndThePresentPortsWithTheirDevices) {
  vk::test::PtyPair pty;
  vk::test::TempDir dir;
  vk::test::ScopedEnv settings("VK_SETTINGS_FILE", dir.File("vk.ini"));
  vk::test::ScopedEnv map("VK_SERIAL_PORTS",
                          "COM49=" + pty.SlavePath() + ";COM44=" + dir.File("gone") + ";bad");
  vk::test::ScopedEnv can("VK_CAN_BACKEND", "virtualcan");

  const auto listed = vk::test::RunProcess(std::string(VK_BIN_DIR) + "/vkprog", {"ports"});
  EXPECT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_EQ(listed.out.rfind("PCAN    CAN over virtualcan can0\n", 0), 0u) << listed.out;
  EXPECT_NE(listed.out.find("COM49   " + pty.SlavePath() + "\n"), std::string::npos) << listed.out;
  EXPECT_EQ(listed.out.find("COM44"), std::string::npos); // not present, not listed
  EXPECT_NE(listed.err.find("\"bad\" is not of the form COMn=/path/to/device"), std::string::npos);

  const auto all = vk::test::RunProcess(std::string(VK_BIN_DIR) + "/vkprog", {"ports", "--all"});
  EXPECT_EQ(all.exitCode, 0);
  EXPECT_NE(all.out.find("COM44   " + dir.File("gone") + "  (absent)"), std::string::npos)
      << all.out;
  EXPECT_NE(all.out.find("COM17   /dev/ttyUSB0"), std::string::npos);
  EXPECT_NE(all.out.find("Settings: " + dir.File("vk.ini")), std::string::npos);

  const auto wrong = vk::test::RunProcess(std::string(VK_BIN_DIR) + "/vkprog", {"ports", "x"});
  EXPECT_EQ(wrong.exitCode, 2);
}
