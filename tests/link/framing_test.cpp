// The framing of received bytes into entries, on the framing class alone: text lines, the
// "." and 0x06 entries, "~" frames, raw blocks, the idle flush and mode switches.

#include "link/RxFraming.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using vk::link::TRxFraming;
using namespace std::string_literals;

namespace {

// Feeds bytes, then idle reads; returns every entry handed over, in order.
struct Feeder {
  TRxFraming framing;
  std::vector<std::string> entries;

  Feeder& Bytes(const std::string& bytes) {
    for (unsigned char b : bytes)
      if (auto e = framing.Byte(b)) entries.push_back(*e);
    return *this;
  }
  Feeder& Idle(int reads) {
    for (int i = 0; i < reads; ++i)
      if (auto e = framing.Idle()) entries.push_back(*e);
    return *this;
  }
};

using Entries = std::vector<std::string>;

} // namespace

TEST(RxFraming, TextLines) {
  {
    SCOPED_TRACE("CR LF ends one line, without the terminators");
    Feeder f;
    f.Bytes("ID 12\r\n");
    EXPECT_EQ(f.entries, Entries{"ID 12"});
    EXPECT_EQ(f.framing.Pending(), "");
  }
  {
    SCOPED_TRACE("LF alone, CR alone, and empty lines give no entry");
    Feeder f;
    f.Bytes("a\nb\r\r\n\n\rc\r");
    EXPECT_EQ(f.entries, (Entries{"a", "b", "c"}));
  }
  {
    SCOPED_TRACE("any byte but CR, LF and ~ belongs to the line, 0x00 included");
    Feeder f;
    f.Bytes(std::string("x\0\x01\xff y\r", 7));
    EXPECT_EQ(f.entries, Entries{std::string("x\0\x01\xff y", 6)});
  }
}

TEST(RxFraming, DotAndAckAtTheStartOfALine) {
  {
    SCOPED_TRACE("\".\" at the start of a line is an entry at once");
    Feeder f;
    f.Bytes(".");
    EXPECT_EQ(f.entries, Entries{"."});
  }
  {
    SCOPED_TRACE("inside a line it is an ordinary byte: 1.5 then CR is one entry");
    Feeder f;
    f.Bytes("1.5\r");
    EXPECT_EQ(f.entries, Entries{"1.5"});
  }
  {
    SCOPED_TRACE("0x06 after a CR is an entry of that one byte");
    Feeder f;
    f.Bytes("OK\r\x06");
    EXPECT_EQ(f.entries, (Entries{"OK", "\x06"}));
  }
  {
    SCOPED_TRACE("several acknowledgements in a row are one entry each");
    Feeder f;
    f.Bytes("\x06\x06..");
    EXPECT_EQ(f.entries, (Entries{"\x06", "\x06", ".", "."}));
  }
  {
    SCOPED_TRACE("0x06 inside a line stays in it");
    Feeder f;
    f.Bytes("A\x06.\r");
    EXPECT_EQ(f.entries, Entries{"A\x06."});
  }
}

TEST(RxFraming, Frames) {
  {
    SCOPED_TRACE("two letters, then ~ 0x03 and five bytes: the letters, then a 7-byte frame");
    Feeder f;
    f.Bytes("ab");
    f.Bytes(std::string("\x7e\x03\x11\x0d\x0a\x7e", 6));
    ASSERT_EQ(f.entries.size(), 1u);
    EXPECT_EQ(f.entries[0], "ab");
    EXPECT_EQ(f.framing.RxMode, TRxFraming::FrameBody);
    f.Bytes(std::string("\x00", 1)); // ~, H, three bytes and two closing bytes
    EXPECT_EQ(f.entries, (Entries{"ab", "\x7e\x03\x11\x0d\x0a\x7e\x00"s}));
    EXPECT_EQ(f.framing.RxMode, TRxFraming::Text);
    f.Bytes("c\r");
    EXPECT_EQ(f.entries.back(), "c");
  }
  {
    SCOPED_TRACE("the frame length comes from the low nibble of the header only");
    Feeder f;
    f.Bytes("\x7e\xf0\x01\x02"); // (0xF0 and 0x0F) + 4 = 4 bytes
    EXPECT_EQ(f.entries, Entries{"\x7e\xf0\x01\x02"});
    f.Bytes("\x7e\x0f" + std::string(16, 'z'));
    EXPECT_EQ(f.entries.size(), 1u);
    f.Bytes("!");
    ASSERT_EQ(f.entries.size(), 2u);
    EXPECT_EQ(f.entries[1].size(), 19u);
  }
  {
    SCOPED_TRACE("text after a frame is text again");
    Feeder f;
    f.Bytes("\x7e\x00\x01\x02OK\r"s);
    EXPECT_EQ(f.entries, (Entries{"\x7e\x00\x01\x02"s, "OK"}));
  }
  {
    SCOPED_TRACE("~ with nothing before it hands over nothing");
    Feeder f;
    f.Bytes("\x7e");
    EXPECT_TRUE(f.entries.empty());
    EXPECT_EQ(f.framing.RxMode, TRxFraming::FrameHeader);
  }
}

TEST(RxFraming, RawBlocks) {
  Feeder f;
  f.framing.RxMode = TRxFraming::Raw;
  std::string data;
  for (int i = 0; i < 2500; ++i) data += static_cast<char>(i * 7);
  f.Bytes(data);
  ASSERT_EQ(f.entries.size(), 2u);
  EXPECT_EQ(f.entries[0], data.substr(0, 1024));
  EXPECT_EQ(f.entries[1], data.substr(1024, 1024));
  f.Idle(2);
  EXPECT_EQ(f.entries.size(), 2u);
  f.Idle(1);
  ASSERT_EQ(f.entries.size(), 3u);
  EXPECT_EQ(f.entries[2], data.substr(2048));
  EXPECT_EQ(f.entries[2].size(), 452u);
  EXPECT_EQ(f.framing.RxMode, TRxFraming::Raw);
}

TEST(RxFraming, IdleFlush) {
  {
    SCOPED_TRACE("three letters and silence: one entry after the third idle read");
    Feeder f;
    f.Bytes("abc").Idle(2);
    EXPECT_TRUE(f.entries.empty());
    f.Idle(1);
    EXPECT_EQ(f.entries, Entries{"abc"});
    f.Idle(10);
    EXPECT_EQ(f.entries.size(), 1u);
  }
  {
    SCOPED_TRACE("a byte resets the count");
    Feeder f;
    f.Bytes("a").Idle(2).Bytes("b").Idle(2);
    EXPECT_TRUE(f.entries.empty());
    f.Idle(1);
    EXPECT_EQ(f.entries, Entries{"ab"});
  }
  {
    SCOPED_TRACE("idle reads with nothing pending count for nothing");
    Feeder f;
    f.Idle(5).Bytes("x").Idle(2);
    EXPECT_TRUE(f.entries.empty());
  }
  {
    SCOPED_TRACE("a frame cut short is handed over; the mode stays and the next bytes go on");
    Feeder f;
    f.Bytes("\x7e\x05\x01").Idle(3);
    EXPECT_EQ(f.entries, Entries{"\x7e\x05\x01"});
    EXPECT_EQ(f.framing.RxMode, TRxFraming::FrameBody);
    // The rest has no header of its own: the first two bytes of what follows serve as "~ H".
    f.Bytes("p");
    EXPECT_EQ(f.entries.size(), 1u);
    f.Bytes(std::string("\x00\x01\x02", 3)); // H = 0x00: four bytes in all
    EXPECT_EQ(f.entries.back(), std::string("p\x00\x01\x02", 4));
    EXPECT_EQ(f.framing.RxMode, TRxFraming::Text);
  }
  {
    SCOPED_TRACE("flushing at a port change hands over at once and ends a frame");
    Feeder f;
    f.Bytes("\x7e\x05");
    auto e = f.framing.Flush();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(*e, "\x7e\x05");
    EXPECT_EQ(f.framing.RxMode, TRxFraming::Text);
    EXPECT_FALSE(f.framing.Flush().has_value());
  }
}

TEST(RxFraming, ModeSwitches) {
  {
    SCOPED_TRACE("switching to raw mid-line: the line so far and the raw bytes are one block");
    Feeder f;
    f.Bytes("ab");
    f.framing.RxMode = TRxFraming::Raw;
    f.Bytes("\r\n~");
    f.Idle(3);
    EXPECT_EQ(f.entries, Entries{"ab\r\n~"});
  }
  {
    SCOPED_TRACE("back to text: CR ends the line again");
    Feeder f;
    f.framing.RxMode = TRxFraming::Raw;
    f.Bytes("xy");
    f.framing.RxMode = TRxFraming::Text;
    f.Bytes("z\r");
    EXPECT_EQ(f.entries, Entries{"xyz"});
  }
}
