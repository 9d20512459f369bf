// The H8 boot-mode model and its vkdevsim command, driven in-process in virtual time.

#include "devsim/H8BootMode.h"
#include "support/RunProcess.h"

#include <gtest/gtest.h>

#include <cstdio>

using vk::devsim::H8BootConfig;
using vk::devsim::H8BootMode;
using vk::devsim::Millis;

namespace {

// The host side of the line: writes at a virtual time and reads what has arrived by then.
struct Host {
  H8BootMode& chip;
  Millis now = 0;
  std::string Ask(std::string_view bytes) {
    chip.Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), now);
    const auto out = chip.TakeOutput(now);
    return std::string(out.begin(), out.end());
  }
  void Baud(std::uint32_t baud) { chip.SetHostBaud(baud, now); }
};

std::string Record(std::uint16_t address, const std::vector<std::uint8_t>& data, int type = 0) {
  char buf[16];
  std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address,
                type);
  std::string text = buf;
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
  for (const auto b : data) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    text += buf;
    sum += b;
  }
  std::snprintf(buf, sizeof buf, "%02X\r", (0x100 - (sum & 0xFF)) & 0xFF);
  return text + buf;
}

// Boots the chip at 9600 with a kernel of 0x11 bytes; the host then talks at 115200. The ROM
// says 0xAA once it has erased the flash: eraseMs later.
void Boot(Host& h, Millis eraseMs = 0) {
  h.Baud(9600);
  ASSERT_EQ(h.Ask(std::string(3, '\0')), std::string(1, '\0'));
  ASSERT_EQ(h.Ask("\x55"), "\xAA");
  ASSERT_EQ(h.Ask(std::string("\x04\x00", 2)), std::string("\x04\x00", 2));
  const std::string kernel(1024, '\x11');
  ASSERT_EQ(h.Ask(kernel), eraseMs > 0 ? kernel : kernel + "\xAA");
  if (eraseMs > 0) {
    h.now += eraseMs - 1;
    ASSERT_EQ(h.Ask(""), "") << "still erasing";
    h.now += 1;
    ASSERT_EQ(h.Ask(""), "\xAA");
  }
  h.Baud(115200);
}

} // namespace

TEST(H8BootModeModel, BootRomMatchesTheRateAndTakesExactly1024Bytes) {
  H8BootMode chip;
  Host h{chip};
  h.Baud(19200);
  EXPECT_EQ(h.Ask("\x55"), "") << "no confirmation before the rate is matched";
  EXPECT_EQ(h.Ask(std::string(2, '\0')), "") << "the boot ROM is still measuring";
  EXPECT_EQ(h.Ask(std::string(1, '\0')), std::string(1, '\0')) << "the third 0x00 is answered";
  EXPECT_EQ(chip.MatchedBaud(), 19200u);
  h.Baud(9600);
  EXPECT_EQ(h.Ask("\x55"), "") << "lost: the chip listens at the matched rate only";
  h.Baud(19200);
  EXPECT_EQ(h.Ask("\x55"), "\xAA");
  // A size other than 1,024 is refused; the chip waits for a new 0x00.
  EXPECT_EQ(h.Ask(std::string("\x02\x00", 2)), std::string("\x02\x00\xFF", 3));
  EXPECT_EQ(chip.CurrentStage(), H8BootMode::Stage::AwaitMatch);
  Boot(h);
  EXPECT_EQ(chip.CurrentStage(), H8BootMode::Stage::Kernel);
  EXPECT_EQ(chip.Stats().kernelsStarted, 1);
  h.Baud(9600);
  EXPECT_EQ(h.Ask(std::string(1, '\0')), "") << "the kernel talks at 115200 only";
}

TEST(H8BootModeModel, KernelProgramsRecordsAndRefusesBadOnes) {
  H8BootConfig config;
  config.flashSize = 0x4000;
  H8BootMode chip(config);
  chip.PutFlash(0x100, {0x00, 0x00});
  chip.PutFlash(0x3000, {0x00});
  Host h{chip};
  Boot(h, 2 * config.eraseBlockMs); // two blocks hold data
  EXPECT_EQ(chip.Flash()[0x100], 0xFF) << "the kernel erases the flash";
  EXPECT_EQ(h.Ask(Record(0x0010, {1, 2, 3})), "\x06");
  EXPECT_EQ(chip.Flash()[0x0012], 3);
  std::string bad = Record(0x0020, {1});
  bad[bad.size() - 2] ^= 1; // checksum
  EXPECT_EQ(h.Ask(bad), "X");
  EXPECT_EQ(h.Ask(":0102\r"), "X");
  EXPECT_EQ(h.Ask(Record(0x3FFF, {1, 2})), "R") << "past the flash";
  EXPECT_EQ(h.Ask(Record(0x0000, {0, 0}, 4)), "R") << "extended address";
  EXPECT_EQ(h.Ask(Record(0x0010, {0xFF})), "R") << "not erased: programming cannot set bits";
  EXPECT_EQ(h.Ask("hello\r\n"), "");
  EXPECT_EQ(h.Ask(":00000001FF\r"), "");
  EXPECT_EQ(chip.CurrentStage(), H8BootMode::Stage::AwaitMatch) << "ready for the next board";
  EXPECT_EQ(chip.Stats().programmed, 1u);
  EXPECT_EQ(chip.Stats().refused, 5u);
}

TEST(H8BootModeModel, RomKeepsPaceWithTheLineAndOverrunsWhileBusy) {
  H8BootConfig config;
  config.matchZeros = 1;
  config.recordMs = 50;
  H8BootMode chip(config);
  chip.SetPacing(true);
  chip.PutFlash(0x100, {0x00}); // one block to erase before the 0xAA
  Host h{chip};
  h.Baud(9600);
  h.Ask(std::string(1, '\0'));
  h.now += 5;
  ASSERT_EQ(h.Ask("\x55"), std::string(1, '\0'));
  h.now += 5;
  ASSERT_EQ(h.Ask(""), "\xAA");
  // The size and the kernel back to back: every byte is taken and echoed at the line's pace.
  const std::string sizeAndKernel = std::string("\x04\x00", 2) + std::string(1024, '\x11');
  h.Ask(sizeAndKernel);
  h.now += 1100; // 1,026 byte times and one more for the last echo; the erase is under way
  EXPECT_EQ(h.Ask(""), sizeAndKernel);
  EXPECT_EQ(chip.Summary().find("overrun"), std::string::npos);
  h.now += 200;
  EXPECT_EQ(h.Ask(""), "\xAA");
  // While the kernel programs a record, one byte waits in the receiver; the next one overruns it
  // and is lost, and the receiver takes nothing more.
  h.Baud(115200);
  EXPECT_EQ(h.Ask(Record(0x0010, {1}) + "::"), "");
  h.now += 100;
  EXPECT_EQ(h.Ask(""), "\x06") << "the record was programmed";
  const std::string next = Record(0x0020, {2});
  EXPECT_EQ(h.Ask(next), "") << "the overrun stops the receiver";
  h.now += 100;
  EXPECT_EQ(h.Ask(""), "");
  EXPECT_NE(chip.Summary().find("lost to an overrun: " + std::to_string(1 + next.size())),
            std::string::npos)
      << chip.Summary();
}

TEST(H8BootModeModel, ScriptedFaults) {
  {
    H8BootMode chip;
    chip.Faults().Add("silent");
    Host h{chip};
    h.Baud(9600);
    EXPECT_EQ(h.Ask(std::string(1, '\0')), "");
  }
  {
    H8BootMode chip;
    chip.Faults().Add("command:sync#1=X");
    chip.Faults().Add("command:kernel=garbage");
    chip.Faults().Add("record:2=silent");
    chip.Faults().Add("after-records:3=hangup");
    Host h{chip};
    h.Baud(9600);
    EXPECT_EQ(h.Ask(std::string(3, '\0')), "\xFF") << "refused";
    EXPECT_EQ(h.Ask(std::string(3, '\0')), std::string(1, '\0'));
    EXPECT_EQ(h.Ask("\x55"), "\xAA");
    h.Ask(std::string("\x04\x00", 2));
    const std::string out = h.Ask(std::string(1024, '\x22'));
    ASSERT_EQ(out.size(), 1025u);
    EXPECT_NE(out.back(), '\xAA') << "garbled";
    h.Baud(115200);
    EXPECT_EQ(h.Ask(Record(0, {1})), "\x06");
    EXPECT_EQ(h.Ask(Record(1, {2})), "") << "programmed, answer withheld";
    EXPECT_EQ(chip.Flash()[1], 2);
    EXPECT_EQ(h.Ask(Record(2, {3})), "\x06");
    EXPECT_TRUE(chip.HungUp());
  }
}

TEST(H8BootModeModel, CommandLine) {
  const std::string vkdevsim = std::string(VK_BIN_DIR) + "/vkdevsim";
  auto r = vk::test::RunProcess(vkdevsim, {"h8", "--help"});
  EXPECT_EQ(r.exitCode, 0);
  for (const char* word : {"--flash-size", "--record-ack", "--flash-out", "--fault RULE", "--pace"})
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  const std::vector<std::vector<std::string>> bad = {
      {"h8", "--flash-size", "0x10001"}, {"h8", "--record-ack", "ack"},
      {"h8", "--kernel-baud", "0"},      {"h8", "--flash-out"},
      {"h8", "--fault", "sync=X"},       {"h8", "--frobnicate"},
  };
  for (const auto& args : bad) {
    r = vk::test::RunProcess(vkdevsim, args);
    EXPECT_EQ(r.exitCode, 2) << args.back();
    EXPECT_TRUE(r.out.empty()) << args.back();
  }
}
