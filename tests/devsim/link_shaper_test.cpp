// What the adapter between a simulated device and the host does to the bytes: a USB adapter
// sends them on in bursts, a stall holds them back, a pulled adapter cuts the line.

#include "devsim/LinkShaper.h"

#include <gtest/gtest.h>

using vk::devsim::LineFaults;
using vk::devsim::LinkConfig;
using vk::devsim::LinkShaper;
using vk::devsim::ParseLinkKind;

namespace {
std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t b = 'a') {
  return std::vector<std::uint8_t>(n, b);
}
} // namespace

TEST(LinkShaper, UsbAdapterSendsBurstsWhenThePacketFillsOrTheLatencyTimerRunsOut) {
  ASSERT_FALSE(ParseLinkKind("usb:0"));
  ASSERT_FALSE(ParseLinkKind("serial"));
  LinkShaper usb(*ParseLinkKind("usb:16"), {});
  usb.FromDevice(Bytes(3), 100, 0);
  EXPECT_EQ(usb.ToHost(100), "") << "held in the adapter";
  EXPECT_EQ(usb.NextDue(), 116);
  usb.FromDevice(Bytes(2), 110, 0);
  EXPECT_EQ(usb.ToHost(115), "");
  EXPECT_EQ(usb.ToHost(116).size(), 5u) << "the latency timer counts from the first byte";
  usb.FromDevice(Bytes(70), 200, 0);
  EXPECT_EQ(usb.ToHost(200).size(), LinkConfig::kUsbPacket) << "a full packet goes at once";
  EXPECT_EQ(usb.ToHost(216).size(), 70 - LinkConfig::kUsbPacket);

  LinkShaper uart(*ParseLinkKind("uart"), {});
  uart.FromDevice(Bytes(1), 0, 0);
  EXPECT_EQ(uart.ToHost(0), "a");
}

// Noise and the pulled adapter are seen end to end (tests/cli/device_matrix_e2e_test.cpp).
TEST(LinkShaper, AStallHoldsTheAnswersBackFromItsRecordOn) {
  LineFaults f;
  ASSERT_TRUE(vk::devsim::ParseStall("300@4", f));
  LinkShaper stall({}, f);
  stall.FromDevice(Bytes(1), 10, 3);
  EXPECT_EQ(stall.ToHost(10), "a");
  stall.FromDevice(Bytes(1), 20, 4);
  EXPECT_EQ(stall.ToHost(319), "") << "silent from record 4 on";
  EXPECT_EQ(stall.ToHost(320), "a");
}
