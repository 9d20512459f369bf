// The settings store in a temporary place: the environment variable chooses the file, values
// survive into a second store, groups list their names, and a failed write says so.

#include "platform/LinkTestSupport.h"
#include "platform/SettingsStore.h"

#include <gtest/gtest.h>

#include <fstream>

using vk::platform::SettingsStore;

TEST(SettingsStore, KeepsValuesWhereTheEnvironmentSays) {
  vk::test::TempDir dir;
  const std::string file = dir.File("sub/dir/vk.ini");
  {
    vk::test::ScopedEnv env(SettingsStore::kEnvironmentVariable, file);
    SettingsStore store;
    EXPECT_EQ(store.Place(), file);
    EXPECT_EQ(store.Read("PORT"), std::nullopt);
    EXPECT_TRUE(store.Write("PORT", "COM3"));
    EXPECT_TRUE(store.Write("AllowUntypedProgram", "1"));
    EXPECT_TRUE(store.Write("SerialPorts/COM5", "/dev/pts/3"));
    EXPECT_TRUE(store.Write("SerialPorts/COM6", "/dev/a,b")); // a comma must not split it
  }
  SettingsStore again(file);
  EXPECT_EQ(again.Read("PORT"), "COM3");
  EXPECT_EQ(again.Read("AllowUntypedProgram"), "1");
  EXPECT_EQ(again.Read("SerialPorts/COM6"), "/dev/a,b");
  EXPECT_EQ(again.Names("SerialPorts"), (std::vector<std::string>{"COM5", "COM6"}));
  EXPECT_TRUE(again.Names("CAN").empty());

  // A value written by another store is seen without reopening.
  SettingsStore writer(file);
  writer.Write("PORT", "COM7");
  EXPECT_EQ(again.Read("PORT"), "COM7");

  // The default place follows XDG_CONFIG_HOME, under the organisation and application names.
  vk::test::ScopedEnv xdg("XDG_CONFIG_HOME", dir.Path());
  EXPECT_EQ(SettingsStore::DefaultPlace(), dir.Path() + "/Velkor ApS./Velkor Programmer.ini");
}

TEST(SettingsStore, TheMachineWideUntypedPolicyWins) {
  vk::test::TempDir dir;
  std::ofstream(dir.File("machine.ini")) << "[General]\nAllowUntypedProgram=False\nPORT=COM9\n";
  vk::test::ScopedEnv env(SettingsStore::kSystemEnvironmentVariable, dir.File("machine.ini"));
  SettingsStore user(dir.File("user.ini"));
  EXPECT_EQ(user.MachinePlace(), dir.File("machine.ini"));
  ASSERT_TRUE(user.Write("AllowUntypedProgram", "True"));
  ASSERT_TRUE(user.Write("PORT", "COM3"));
  EXPECT_EQ(user.Read("AllowUntypedProgram"), "False");
  EXPECT_EQ(user.Read("PORT"), "COM3") << "only the policy is the machine's";
  // Where the machine says nothing, the user's value stands.
  std::ofstream(dir.File("machine.ini")) << "[General]\nPORT=COM9\n";
  EXPECT_EQ(SettingsStore(dir.File("user.ini")).Read("AllowUntypedProgram"), "True");
}

TEST(SettingsStore, AFailedWriteIsReported) {
  vk::test::TempDir dir;
  std::ofstream(dir.File("plain")) << "x";
  SettingsStore store(dir.File("plain") + "/vk.ini"); // a file where a folder would be
  EXPECT_FALSE(store.Write("PORT", "COM1"));
  EXPECT_EQ(store.Read("NOTHING"), std::nullopt);
}
