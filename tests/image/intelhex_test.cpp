#include "image/FirmwareImage.h"
#include "support/ImageTestUtil.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

using vk::image::ImageFormat;
using vk::test::LoadedImage;

namespace {

// One Intel HEX record with its checksum (bad = spoil the checksum).
std::string Rec(std::uint16_t addr, std::uint8_t type, const std::vector<std::uint8_t>& data,
                bool bad = false, bool lower = false) {
  std::uint8_t sum = static_cast<std::uint8_t>(data.size() + (addr >> 8) + (addr & 0xFF) + type);
  std::ostringstream s;
  s << std::hex << std::uppercase;
  auto put = [&](unsigned v) {
    char buf[3];
    std::snprintf(buf, sizeof buf, lower ? "%02x" : "%02X", v & 0xFF);
    s << buf;
  };
  s << ':';
  put(static_cast<unsigned>(data.size()));
  put(addr >> 8);
  put(addr & 0xFF);
  put(type);
  for (auto b : data) {
    put(b);
    sum = static_cast<std::uint8_t>(sum + b);
  }
  put(static_cast<std::uint8_t>(-sum + (bad ? 1 : 0)));
  s << "\r\n";
  return s.str();
}
const std::string kEof = ":00000001FF\r\n";

std::vector<std::uint8_t> Seq(std::size_t n, std::uint8_t first) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(first + i);
  return v;
}

} // namespace

TEST(IntelHexReader, RangeFollowsTheRecords) {
  {
    LoadedImage t;
    ASSERT_EQ(t.Load(kEof), ImageFormat::IntelHex);
    EXPECT_EQ(t.vkf->MemStart(), 0xFFFFu);
    EXPECT_EQ(t.vkf->MemEnd(), 0u);
    EXPECT_TRUE(t.vkf->IsEmpty());
  }
  {
    LoadedImage t; // an empty data record still marks its address
    ASSERT_EQ(t.Load(Rec(0x0100, 0, {}) + kEof), ImageFormat::IntelHex);
    EXPECT_EQ(t.vkf->MemStart(), 0x0100u);
    EXPECT_EQ(t.vkf->MemEnd(), 0x0100u);
  }
  {
    LoadedImage t; // records out of order, with a gap
    ASSERT_EQ(t.Load(Rec(0x2000, 0, Seq(4, 1)) + Rec(0x1000, 0, Seq(2, 9)) + kEof),
              ImageFormat::IntelHex);
    EXPECT_EQ(t.vkf->MemStart(), 0x1000u);
    EXPECT_EQ(t.vkf->MemEnd(), 0x2004u);
    EXPECT_EQ(t.At(0x1001), 10);
    EXPECT_EQ(t.At(0x1002), 0xFF);
    EXPECT_EQ(t.At(0x2003), 4);
  }
}

TEST(IntelHexReader, StopRules) {
  {
    LoadedImage t; // records after the end record are ignored
    t.Load(Rec(0x0000, 0, Seq(2, 1)) + kEof + Rec(0x0100, 0, Seq(2, 1)));
    EXPECT_EQ(t.At(0x0100), 0xFF);
    EXPECT_EQ(t.vkf->MemEnd(), 0x0002u);
  }
  {
    LoadedImage t; // no end record: read to the end of the text
    t.Load(Rec(0x0000, 0, Seq(2, 1)) + Rec(0x0300, 0, Seq(2, 7)));
    EXPECT_EQ(t.At(0x0301), 8);
    EXPECT_EQ(t.vkf->MemEnd(), 0x0302u);
  }
  {
    // Data in one 64 KiB window loads at its 16-bit addresses, whatever the window: a
    // Cortex-M3 image at 0x08000000, the bottom window named outright, a segment above 64 KiB.
    for (const auto& upper : {Rec(0x0000, 4, {0x08, 0x00}), std::string(":020000040000FA\r\n"),
                              Rec(0x0000, 2, {0x10, 0x00})}) {
      LoadedImage t;
      ASSERT_EQ(t.Load(upper + Rec(0x0040, 0, Seq(2, 5)) + upper + Rec(0x0042, 0, Seq(1, 7)) +
                       Rec(0x0000, 5, {0x08, 0x00, 0x01, 0x01}) + kEof),
                ImageFormat::IntelHex)
          << upper;
      EXPECT_EQ(t.At(0x0040), 5);
      EXPECT_EQ(t.At(0x0042), 7);
      EXPECT_EQ(t.vkf->MemStart(), 0x0040u);
      EXPECT_EQ(t.vkf->MemEnd(), 0x0043u);
      EXPECT_TRUE(t.boxes.boxes.empty());
    }
  }
}

TEST(IntelHexReader, DamagedFilesAreRefusedWhole) {
  const std::string good = Rec(0x0000, 0, Seq(4, 1));
  std::string digit = Rec(0x0010, 0, Seq(4, 0x11));
  digit[12] = 'G';
  std::string cut = Rec(0x0100, 0, {0xAB, 0xCD, 0xEF});
  cut.resize(13);
  std::string byteShort = Rec(0x0010, 0, Seq(4, 0x11)); // the count says 4, 3 follow
  byteShort.erase(9, 2);
  const struct {
    const char* what;
    std::string text;
    std::uint32_t line;
    const char* says = "";
  } rows[] = {
      {"wrong checksum", good + Rec(0x0010, 0, Seq(4, 0x11), true) + good + kEof, 2},
      {"not a digit", good + good + digit + kEof, 3, "not a hexadecimal digit"},
      {"a byte short", good + byteShort + kEof, 2, "cut short: its line ends"},
      {"cut short by the end", good + cut, 2},
      {"end record damaged", good + ":00000001F\r\n", 2},
      {"two windows", Rec(0, 4, {0x08, 0x00}) + good + Rec(0, 4, {0x08, 0x01}) + good + kEof, 4},
      {"past 0xFFFF", good + Rec(0xFFFE, 0, Seq(4, 0x41)) + kEof, 2},
      {"short extended address", good + Rec(0, 4, {0x08}) + kEof, 2},
  };
  for (const auto& row : rows) {
    LoadedImage t;
    ASSERT_EQ(t.Load(Rec(0x0040, 0, Seq(4, 0x55)) + kEof), ImageFormat::IntelHex);
    EXPECT_EQ(t.Refused(row.text, row.line), "") << row.what;
    EXPECT_NE(t.boxes.boxes.back().text.find(row.says), std::string::npos) << row.what;
  }
}

TEST(IntelHexReader, LowerCaseDigitsReadAsTheirValues) {
  LoadedImage t;
  const auto data = std::vector<std::uint8_t>{0xab, 0xcd, 0xef, 0x0f};
  ASSERT_EQ(t.Load(Rec(0xabc0, 0, data, false, true) + ":00000001ff\r\n"), ImageFormat::IntelHex);
  EXPECT_EQ(t.At(0xabc0), 0xAB);
  EXPECT_EQ(t.At(0xabc3), 0x0F);
  EXPECT_EQ(t.vkf->MemEnd(), 0xABC4u);
}

TEST(IntelHexReader, TopOfTheAddressSpace) {
  {
    LoadedImage t; // data up to 0xFFFF is kept and the range ends at 0x10000
    t.Load(Rec(0xFFF0, 0, Seq(16, 1)) + kEof);
    EXPECT_EQ(t.At(0xFFFF), 16);
    EXPECT_EQ(t.vkf->MemEnd(), 0x10000u);
    EXPECT_FALSE(t.vkf->IsEmpty());
  }
}

TEST(IntelHexCheck, OnlyTheFirstRecordIsChecked) {
  {
    LoadedImage t;
    EXPECT_EQ(t.Load("junk :10010000214601360121470136007EFE09D2190141\r\n"), ImageFormat::Unknown);
    ASSERT_GE(t.boxes.boxes.size(), 1u);
    EXPECT_EQ(t.boxes.boxes[0].caption, "Format Error");
    EXPECT_EQ(t.boxes.boxes[0].text, "The source file may not contain Intel-Hex records");
  }
  {
    LoadedImage t; // a bad second record passes detection; the reading then refuses the file
    EXPECT_EQ(t.Load(Rec(0, 0, Seq(2, 1)) + Rec(2, 0, Seq(2, 1), true)), ImageFormat::Unknown);
    EXPECT_EQ(t.boxes.Captions(), (std::vector<std::string>{"Damaged File"}));
  }
  {
    LoadedImage t; // a first record cut short fails the check
    EXPECT_EQ(t.Load(":1001000021"), ImageFormat::Unknown);
    EXPECT_EQ(t.boxes.Captions(),
              (std::vector<std::string>{"Format Error", "Unknown Format", "Unknown File type"}));
  }
}

TEST(IntelHexWriter, RecordsCoverTheRangeIn32ByteRows) {
  LoadedImage t;
  t.Load(Rec(0x0105, 0, Seq(16, 0x30)) + Rec(0x01F0, 0, Seq(16, 0x60)) + kEof);
  ASSERT_EQ(t.vkf->MemStart(), 0x0105u);
  ASSERT_EQ(t.vkf->MemEnd(), 0x0200u);
  const std::string text = t.vkf->IntelHexText(t.vkf->MemStart(), t.vkf->MemEnd());
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const auto eol = text.find("\r\n", at);
    ASSERT_NE(eol, std::string::npos) << "every line ends with CR LF";
    lines.push_back(text.substr(at, eol - at));
    at = eol + 2;
  }
  ASSERT_EQ(lines.size(), 9u); // 0x0100 .. 0x01E0 and the end record
  for (int i = 0; i < 8; ++i) {
    char head[10];
    std::snprintf(head, sizeof head, ":20%04X00", 0x0100 + 32 * i);
    EXPECT_EQ(lines[i].substr(0, 9), head);
    EXPECT_EQ(lines[i].size(), 75u);
  }
  EXPECT_EQ(lines[8], ":00000001FF");
  // Bytes below the start are written as the image holds them; digits are upper case.
  EXPECT_EQ(lines[0].substr(9, 10), "FFFFFFFFFF");
  EXPECT_EQ(lines[0].substr(19, 6), "303132");
  EXPECT_EQ(text.find_first_of("abcdef"), std::string::npos);

  LoadedImage empty;
  EXPECT_EQ(empty.vkf->IntelHexText(empty.vkf->MemStart(), empty.vkf->MemEnd()), kEof);
}

TEST(IntelHexWriter, RoundTripsEveryByteAndItsRange) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 20; ++trial) {
    LoadedImage a;
    std::string text;
    const std::uint32_t start = rng() % 0xF000;
    const std::uint32_t len = 1 + rng() % 0x800;
    for (std::uint32_t off = 0; off < len; off += 16) {
      std::vector<std::uint8_t> d(std::min<std::uint32_t>(16, len - off));
      for (auto& b : d) b = static_cast<std::uint8_t>(rng());
      text += Rec(static_cast<std::uint16_t>(start + off), 0, d);
    }
    ASSERT_EQ(a.Load(text + kEof), ImageFormat::IntelHex);
    LoadedImage b;
    ASSERT_EQ(b.Load(a.vkf->IntelHexText(a.vkf->MemStart(), a.vkf->MemEnd())),
              ImageFormat::IntelHex);
    EXPECT_EQ(0, std::memcmp(a.vkf->Image(), b.vkf->Image(), 0x10000));
    // The whole rows widen the range to 64-byte boundaries below and 32 above.
    EXPECT_EQ(b.vkf->MemStart(), a.vkf->MemStart() & 0xFFC0);
    EXPECT_GE(b.vkf->MemEnd(), a.vkf->MemEnd());
    EXPECT_LT(b.vkf->MemEnd(), a.vkf->MemEnd() + 32);
  }
}
