// The 8051 boot loader model, driven in-process in virtual time.

#include "devsim/Isp8051Loader.h"
#include "support/RunProcess.h"

#include <gtest/gtest.h>

#include <cstdio>

using vk::devsim::Isp8051Chip;
using vk::devsim::Isp8051Config;
using vk::devsim::Isp8051Loader;
using vk::devsim::Millis;

namespace {

// The host side of the line: writes at a virtual time and collects what arrived by then.
struct Host {
  Isp8051Loader& chip;
  Millis now = 0;
  std::uint32_t baud = 9600;

  void Write(std::string_view text) {
    chip.SetHostBaud(baud, now);
    chip.Receive(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), now);
  }
  std::string ReadAt(Millis t) {
    now = t;
    const auto bytes = chip.TakeOutput(now);
    return std::string(bytes.begin(), bytes.end());
  }
  std::string Ask(std::string_view text) {
    Write(text);
    return ReadAt(now);
  }
};

std::string DataRecord(std::uint16_t address, const std::vector<std::uint8_t>& data,
                       int checksumError = 0) {
  char buf[8];
  std::string text = ":";
  std::uint8_t sum = 0;
  auto put = [&](std::uint8_t b) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    text += buf;
    sum = static_cast<std::uint8_t>(sum + b);
  };
  put(static_cast<std::uint8_t>(data.size()));
  put(static_cast<std::uint8_t>(address >> 8));
  put(static_cast<std::uint8_t>(address & 0xFF));
  put(0);
  for (const auto b : data) put(b);
  std::snprintf(buf, sizeof buf, "%02X", static_cast<std::uint8_t>(-sum + checksumError));
  return text + buf;
}

Isp8051Config Quiet(Isp8051Chip chip = Isp8051Chip::AT89C51RX2) {
  Isp8051Config c;
  c.chip = chip;
  c.echo = false;
  c.recordMs = 0;
  return c;
}

const std::vector<std::uint8_t> kData = {0x12, 0x34, 0x56, 0x78};

} // namespace

TEST(Isp8051Loader, SynchronisesOnUAtTheHostsRate) {
  Isp8051Loader chip; // echo on
  Host host{chip};
  EXPECT_EQ(host.Ask(":0100000307F5xy"), "") << "nothing is read before the rate is known";
  EXPECT_EQ(chip.Counters().erases, 0u);
  EXPECT_EQ(host.Ask("U"), "U");
  EXPECT_EQ(chip.SyncedBaud(), 9600u);
  EXPECT_EQ(host.Ask("\r"), "\r") << "echo";
  EXPECT_EQ(host.Ask(DataRecord(0x100, kData) + "\r"), DataRecord(0x100, kData))
      << "echoed at once; the answer and its CR LF follow after the programming time, then the "
         "echo of the host's CR";
  EXPECT_EQ(host.ReadAt(host.now + chip.Config().recordMs), ".\r\n\r");
  EXPECT_EQ(chip.Flash()[0x103], 0x78);

  // Another rate: noise until "U" is sent at it.
  host.baud = 19200;
  EXPECT_EQ(host.Ask(DataRecord(0x200, kData)), "");
  EXPECT_EQ(chip.Counters().wrongRate, DataRecord(0x200, kData).size());
  EXPECT_EQ(chip.Flash()[0x200], 0xFF);
  EXPECT_EQ(host.Ask("U"), "U");
  EXPECT_EQ(chip.SyncedBaud(), 19200u);
  host.Write(DataRecord(0x200, kData));
  EXPECT_EQ(host.ReadAt(host.now + 2), DataRecord(0x200, kData) + ".\r\n");
  EXPECT_EQ(chip.Flash()[0x200], 0x12);
}

TEST(Isp8051Loader, Records) {
  Isp8051Config c = Quiet();
  c.recordAck = '\x06';
  Isp8051Loader chip(c);
  Host host{chip};
  ASSERT_EQ(host.Ask("U"), "U");
  EXPECT_EQ(host.Ask(DataRecord(0x0010, kData) + "\r"), "\x06\r\n");
  EXPECT_EQ(host.Ask(DataRecord(0x0020, kData, 1) + "\r"), "X\r\n") << "bad checksum";
  EXPECT_EQ(chip.Flash()[0x0020], 0xFF);
  // A record broken off by a stray character; the ":" after it starts the next one.
  EXPECT_EQ(host.Ask(":04003000G" + DataRecord(0x0040, kData)), "X\r\n\x06\r\n");
  EXPECT_EQ(chip.Flash()[0x0040], 0x12);
  EXPECT_EQ(host.Ask(DataRecord(0x0011, {0xFF, 0x01})), "\x06\r\n")
      << "the AT89C51RX2's page write erases first";
  EXPECT_EQ(chip.Flash()[0x0011], 0xFF);
  EXPECT_EQ(chip.Flash()[0x0013], 0x78) << "the page's other bytes are kept";
  EXPECT_EQ(host.Ask(DataRecord(0xFFFE, kData)), "R\r\n") << "past the end of the flash";
  EXPECT_EQ(host.Ask(":00000001FF\r"), "\x06\r\n");
  EXPECT_EQ(chip.Counters().records, 6u);
  EXPECT_EQ(chip.Counters().programmed, 3u);
  EXPECT_EQ(chip.Counters().refused, 3u);
  EXPECT_EQ(chip.Counters().endRecords, 1u);
  EXPECT_EQ(chip.LowestWritten(), 0x0010u);

  Isp8051Loader p89(Quiet(Isp8051Chip::P89C51RX2)); // a bit that is 0 stays 0 on this one
  Host other{p89};
  EXPECT_EQ(other.Ask("U" + DataRecord(0x0010, kData) + DataRecord(0x0010, {0xFF})), "U.\r\nR\r\n");
}

TEST(Isp8051Loader, CommandsOfEachVariant) {
  for (const auto variant : {Isp8051Chip::AT89C51RX2, Isp8051Chip::P89C51RX2}) {
    const bool at89 = variant == Isp8051Chip::AT89C51RX2;
    Isp8051Config c = Quiet(variant);
    c.eraseMs = 40;
    c.locked = true;
    Isp8051Loader chip(c);
    chip.Preload(0x0400, kData);
    Host host{chip};
    ASSERT_EQ(host.Ask("U"), "U");
    EXPECT_EQ(host.Ask(":0100000212EB"), at89 ? "R\r\n" : ".\r\n");
    EXPECT_EQ(chip.OscillatorMHz(), at89 ? 0 : 18);
    EXPECT_EQ(host.Ask(DataRecord(0x0000, kData)), at89 ? "L\r\n" : "R\r\n") << "locked";

    // The erase clears the lock and the flash; bytes sent meanwhile wait for it.
    host.Write(":0100000307F5" + DataRecord(0x0400, {0x01}));
    EXPECT_EQ(host.ReadAt(host.now + 39), "");
    EXPECT_EQ(host.ReadAt(host.now + 1), ".\r\n.\r\n");
    EXPECT_FALSE(chip.Locked());
    EXPECT_EQ(chip.Flash()[0x0401], 0xFF);
    EXPECT_EQ(chip.Flash()[0x0400], 0x01);

    EXPECT_FALSE(chip.StartsApplication());
    if (at89) {
      EXPECT_EQ(host.Ask(":03000003060000F4"), ".\r\n");
    } else {
      EXPECT_EQ(host.Ask(":020000030400F7"), ".\r\n");
      EXPECT_EQ(chip.BootVector(), 0x00);
      EXPECT_EQ(host.Ask(":030000030601FCF7"), ".\r\n");
      EXPECT_EQ(chip.BootVector(), 0xFC);
    }
    EXPECT_TRUE(chip.StartsApplication());
    EXPECT_EQ(chip.Counters().closingCommands, at89 ? 1u : 2u);
    EXPECT_EQ(host.Ask(":0100000309F3"), "R\r\n") << "unknown function";
    EXPECT_EQ(host.Ask(":0100000500FA"), "R\r\n") << "unknown record type";
  }
}

// Display (record type 04, function 00) and blank check (01) as the AT89C51RX2's data sheet
// gives them; a stuck bit shows only there.
TEST(Isp8051Loader, DisplayAndBlankCheck) {
  Isp8051Config c = Quiet();
  c.stuckBitAt = 0x0402;
  Isp8051Loader chip(c);
  Host host{chip};
  ASSERT_EQ(host.Ask("U" + DataRecord(0x0400, kData)), "U.\r\n");
  EXPECT_EQ(host.Ask(":050000040400041200DD"),
            "\r\n0400=12345778" + std::string(24, 'F') + "\r\n0410=FFFFFF\r\n")
      << "0x0402 was written 56 and reads 57";
  EXPECT_EQ(host.Ask(":050000040400040301EB"), "0400\r\n") << "the first address not blank";
  EXPECT_EQ(host.Ask(":050000040404041001DA"), ".\r\n");
  EXPECT_EQ(host.Ask(":050000040000040000F3"), "R\r\n") << "more than 1 KiB";

  c.locked = true;
  Isp8051Loader locked(c);
  Host other{locked};
  ASSERT_EQ(other.Ask("U"), "U");
  EXPECT_EQ(other.Ask(":050000040400041200DD"), "L\r\n");
  Isp8051Loader p89(Quiet(Isp8051Chip::P89C51RX2));
  Host third{p89};
  ASSERT_EQ(third.Ask("U"), "U");
  EXPECT_EQ(third.Ask(":050000040400041200DD"), "R\r\n") << "not modelled for the P89C51RX2";
}

TEST(Isp8051Loader, ScriptedFaults) {
  {
    Isp8051Loader chip; // echo on
    ASSERT_TRUE(chip.AddFault("silent"));
    Host host{chip};
    EXPECT_EQ(host.Ask("U"), "");
    EXPECT_EQ(host.Ask(DataRecord(0, kData)), "") << "not even an echo";
    EXPECT_EQ(chip.Flash()[0], 0x12) << "but the chip still works";
  }
  {
    Isp8051Loader chip(Quiet());
    std::string error;
    ASSERT_TRUE(chip.AddFault("record:2=L", &error)) << error;
    ASSERT_TRUE(chip.AddFault("record:3=R"));
    ASSERT_TRUE(chip.AddFault("record:4=garbage"));
    ASSERT_TRUE(chip.AddFault("command:SYNC#2=garbage"));
    ASSERT_TRUE(chip.AddFault("command:ERASE=silent"));
    ASSERT_TRUE(chip.AddFault("command:CLOSE#1=X"));
    ASSERT_TRUE(chip.AddFault("after-records:5=hangup"));
    EXPECT_FALSE(chip.AddFault("record:0=L", &error));
    EXPECT_NE(error.find("record:0=L"), std::string::npos) << error;
    EXPECT_FALSE(chip.AddFault("record:1=Q", &error));
    Host host{chip};
    ASSERT_EQ(host.Ask("U"), "U");
    EXPECT_EQ(host.Ask("U"), "\x9C\x3F\xF1");
    EXPECT_EQ(host.Ask(DataRecord(0x00, kData)), ".\r\n");
    EXPECT_EQ(host.Ask(DataRecord(0x10, kData)), "L\r\n");
    EXPECT_EQ(host.Ask(DataRecord(0x20, kData)), "R\r\n");
    EXPECT_EQ(chip.Flash()[0x10], 0xFF) << "refused records are not programmed";
    EXPECT_EQ(host.Ask(DataRecord(0x30, kData)), "\x9C\x3F\xF1\r\n");
    EXPECT_EQ(chip.Flash()[0x30], 0x12) << "a garbled answer to a programmed record";
    host.Write(":0100000307F5");
    EXPECT_EQ(host.ReadAt(host.now + chip.Config().eraseMs + 100), "");
    EXPECT_EQ(chip.Counters().erases, 1u) << "carried out, unanswered";
    EXPECT_EQ(host.Ask(":03000003060000F4"), "X\r\n");
    EXPECT_FALSE(chip.StartsApplication());
    EXPECT_EQ(host.Ask(":03000003060000F4"), ".\r\n");
    EXPECT_FALSE(chip.HungUp());
    EXPECT_EQ(host.Ask(DataRecord(0x40, kData)), ".\r\n") << "answered, then gone";
    EXPECT_TRUE(chip.HungUp());
  }
  {
    Isp8051Loader chip; // echo on
    ASSERT_TRUE(chip.AddFault("after-records:1=silent"));
    Host host{chip};
    ASSERT_EQ(host.Ask("U"), "U");
    EXPECT_EQ(host.Ask(DataRecord(0, kData)), DataRecord(0, kData));
    EXPECT_EQ(host.ReadAt(host.now + 5), ".\r\n");
    EXPECT_EQ(host.Ask("U"), "") << "silent from then on";
  }
}

TEST(Isp8051Loader, CommandLine) {
  const std::string vkdevsim = std::string(VK_BIN_DIR) + "/vkdevsim";
  auto r = vk::test::RunProcess(vkdevsim, {"isp8051", "--help"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("--variant at89|p89"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("--exit-after"), std::string::npos) << "the common options too";
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"isp8051", "--variant", "x51"},
        {"isp8051", "--record-ack", "07"},
        {"isp8051", "--erase-ms", "soon"},
        {"isp8051", "--fault", "command:ERASE=L2"},
        {"isp8051", "--frobnicate"}}) {
    r = vk::test::RunProcess(vkdevsim, bad);
    EXPECT_EQ(r.exitCode, 2) << bad[1];
    EXPECT_EQ(r.err.rfind("vkdevsim isp8051: ", 0), 0u) << r.err;
  }
  // A short session that nobody talks to ends by itself with its summary.
  r = vk::test::RunProcess(vkdevsim, {"isp8051", "--variant", "p89", "--exit-after", "0.2"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.rfind("PORT /dev/", 0), 0u) << r.out;
  EXPECT_NE(r.err.find("P89C51RX2 boot loader: never synchronised"), std::string::npos) << r.err;
}
