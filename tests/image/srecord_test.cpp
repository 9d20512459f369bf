#include "image/FirmwareImage.h"
#include "support/ImageTestUtil.h"

#include <gtest/gtest.h>

#include <random>

using vk::image::ImageFormat;
using vk::test::LoadedImage;

namespace {

// One S-record of the given type with a 16-bit address (bad = spoil the checksum).
std::string SRec(char type, std::uint16_t addr, const std::vector<std::uint8_t>& data,
                 bool bad = false, bool lower = false) {
  const unsigned count = static_cast<unsigned>(data.size()) + 3;
  std::uint8_t sum = static_cast<std::uint8_t>(count + (addr >> 8) + (addr & 0xFF));
  std::string s = "S";
  s += type;
  auto put = [&](unsigned v) {
    char buf[3];
    std::snprintf(buf, sizeof buf, lower ? "%02x" : "%02X", v & 0xFF);
    s += buf;
  };
  put(count);
  put(addr >> 8);
  put(addr & 0xFF);
  for (auto b : data) {
    put(b);
    sum = static_cast<std::uint8_t>(sum + b);
  }
  put(static_cast<std::uint8_t>(0xFF - sum + (bad ? 1 : 0)));
  return s + "\r\n";
}
const std::string kHeader = "S00B0000424F4F545F41534D80\r\n";
const std::string kEnd = "S9030000FC\r\n";

std::vector<std::uint8_t> Seq(std::size_t n, std::uint8_t first) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(first + i);
  return v;
}

} // namespace

TEST(SRecordReader, RecordKindsAndStopRules) {
  {
    LoadedImage t; // header consumed, S5 skipped, data on both sides of it read
    ASSERT_EQ(t.Load(kHeader + SRec('1', 0x0200, Seq(4, 1)) + "S5030001FB\r\n" +
                     SRec('1', 0x0204, Seq(4, 5)) + kEnd),
              ImageFormat::SRecord);
    EXPECT_EQ(t.vkf->MemStart(), 0x0200u);
    EXPECT_EQ(t.vkf->MemEnd(), 0x0208u);
    EXPECT_EQ(t.At(0x0207), 8);
    EXPECT_TRUE(t.boxes.boxes.empty());
  }
  {
    LoadedImage t; // S2 and S3 data in one 64 KiB window loads at its 16-bit addresses
    ASSERT_EQ(t.Load(kHeader + "S208010000112233444C\r\n" + "S30808000004556677B9\r\n" +
                     "S5030002FA\r\nS70508000000F2\r\n" + SRec('1', 0x0010, Seq(2, 1))),
              ImageFormat::Unknown); // two windows: 0x01xxxx and 0x0800xxxx
    ASSERT_EQ(t.Load(kHeader + "S30808000004556677B9\r\n" + "S3080800000011223389\r\n" +
                     "S70508000000F2\r\n" + SRec('1', 0x0010, Seq(2, 1))),
              ImageFormat::SRecord);
    EXPECT_EQ(t.At(0x0000), 0x11);
    EXPECT_EQ(t.At(0x0006), 0x77);
    EXPECT_EQ(t.At(0x0010), 0xFF); // after the S7 end record
    EXPECT_EQ(t.vkf->MemStart(), 0x0000u);
    EXPECT_EQ(t.vkf->MemEnd(), 0x0007u);
  }
  {
    LoadedImage t; // no S9: read to the end
    t.Load(SRec('1', 0x0100, Seq(3, 1)) + SRec('1', 0x0400, Seq(3, 1)));
    EXPECT_EQ(t.vkf->MemStart(), 0x0100u);
    EXPECT_EQ(t.vkf->MemEnd(), 0x0403u);
  }
  {
    LoadedImage t; // records after S9 are ignored
    t.Load(SRec('1', 0x0100, Seq(3, 1)) + kEnd + SRec('1', 0x0400, Seq(3, 1)));
    EXPECT_EQ(t.At(0x0400), 0xFF);
  }
}

TEST(SRecordReader, LowerCaseAndTopOfTheAddressSpace) {
  {
    LoadedImage t;
    ASSERT_EQ(t.Load(SRec('1', 0xbeef, {0xde, 0xad}, false, true)), ImageFormat::SRecord);
    EXPECT_EQ(t.At(0xBEEF), 0xDE);
    EXPECT_EQ(t.At(0xBEF0), 0xAD);
  }
  {
    LoadedImage t; // data may reach 0xFFFF; the range then ends at 0x10000
    t.Load(SRec('1', 0xFFF0, Seq(16, 1)) + kEnd);
    EXPECT_EQ(t.At(0xFFFF), 16);
    EXPECT_EQ(t.vkf->MemEnd(), 0x10000u);
  }
}

TEST(SRecordReader, DamagedFilesAreRefusedWhole) {
  const std::string good = SRec('1', 0x0000, Seq(2, 1));
  std::string digit = SRec('1', 0x0010, Seq(4, 0x11));
  digit[9] = 'x';
  std::string byteShort = SRec('1', 0x0010, Seq(4, 0x11)); // the count says 4, 3 follow
  byteShort.erase(8, 2);
  const struct {
    const char* what;
    std::string text;
    std::uint32_t line;
    const char* says = "";
  } rows[] = {
      {"wrong checksum", kHeader + good + SRec('1', 0x0010, Seq(2, 1), true) + kEnd, 3},
      {"not a digit", kHeader + digit + kEnd, 2, "not a hexadecimal digit"},
      {"a byte short", kHeader + good + byteShort + kEnd, 3, "cut short: its line ends"},
      {"cut short by the end", kHeader + good + "S1070020AABB", 3},
      {"past 0xFFFF", kHeader + good + SRec('1', 0xFFF8, Seq(16, 0x40)) + kEnd, 3},
      {"two windows", kHeader + good + "S208010000112233444C\r\n" + kEnd, 3},
  };
  for (const auto& row : rows) {
    LoadedImage t;
    ASSERT_EQ(t.Load(SRec('1', 0x0040, Seq(4, 0x55))), ImageFormat::SRecord);
    EXPECT_EQ(t.Refused(row.text, row.line), "") << row.what;
    EXPECT_NE(t.boxes.boxes.back().text.find(row.says), std::string::npos) << row.what;
  }
}

TEST(SRecordCheck, FirstRecordDecidesSilentlyOrWithAMessage) {
  {
    LoadedImage t; // a first record of type 3 is not ours, and nothing is said about it
    EXPECT_EQ(t.Load("S30900000000112233AA\r\n"), ImageFormat::Unknown);
    EXPECT_EQ(t.boxes.Captions(),
              (std::vector<std::string>{"Unknown Format", "Unknown File type"}));
  }
  {
    LoadedImage t; // a bad first S1 says so, then detection goes on
    EXPECT_EQ(t.Load(SRec('1', 0, Seq(2, 1), true)), ImageFormat::Unknown);
    ASSERT_FALSE(t.boxes.boxes.empty());
    EXPECT_EQ(t.boxes.boxes[0].caption, "Format Error");
    EXPECT_EQ(t.boxes.boxes[0].text, "The source file may not contain S-RECORDS");
  }
  {
    LoadedImage t; // an "S" in a text whose records are Intel HEX: S fails, Intel HEX passes
    EXPECT_EQ(t.Load("S:0100000011EE\r\n:00000001FF\r\n"), ImageFormat::IntelHex);
    EXPECT_TRUE(t.boxes.boxes.empty());
  }
}

TEST(SRecordWriter, HeaderRowsOf16AndEndRecord) {
  LoadedImage t;
  t.Load(SRec('1', 0x0105, Seq(0x2B, 0)) + kEnd);
  ASSERT_EQ(t.vkf->MemStart(), 0x0105u);
  ASSERT_EQ(t.vkf->MemEnd(), 0x0130u);
  const std::string text = t.vkf->SRecordText(t.vkf->MemStart(), t.vkf->MemEnd());
  const std::string expectedFirst = "S1130100FFFFFFFFFF000102030405060708090A0B";
  ASSERT_EQ(text.substr(0, kHeader.size()), kHeader);
  const auto rows = text.substr(kHeader.size());
  EXPECT_EQ(rows.substr(0, 8), "S1130100");
  EXPECT_EQ(rows.substr(0, 40), expectedFirst.substr(0, 40));
  EXPECT_EQ(rows.find("S1130110"), 44u);
  EXPECT_EQ(rows.find("S1130120"), 88u);
  EXPECT_EQ(rows.substr(132), kEnd);
  EXPECT_EQ(rows.find("\r\n"), 42u); // a data line is 42 characters

  LoadedImage empty;
  EXPECT_EQ(empty.vkf->SRecordText(empty.vkf->MemStart(), empty.vkf->MemEnd()), kHeader + kEnd);
}

TEST(SRecordWriter, RoundTripsThroughTheReader) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 20; ++trial) {
    LoadedImage a;
    std::string text = kHeader;
    const std::uint32_t start = rng() % 0xF000;
    const std::uint32_t len = 1 + rng() % 0x900;
    for (std::uint32_t off = 0; off < len; off += 32) {
      std::vector<std::uint8_t> d(std::min<std::uint32_t>(32, len - off));
      for (auto& b : d) b = static_cast<std::uint8_t>(rng());
      text += SRec('1', static_cast<std::uint16_t>(start + off), d);
    }
    ASSERT_EQ(a.Load(text + kEnd), ImageFormat::SRecord);
    LoadedImage b;
    ASSERT_EQ(b.Load(a.vkf->SRecordText(a.vkf->MemStart(), a.vkf->MemEnd())), ImageFormat::SRecord);
    EXPECT_EQ(0, std::memcmp(a.vkf->Image(), b.vkf->Image(), 0x10000));
    EXPECT_EQ(b.vkf->MemStart(), a.vkf->MemStart() & 0xFFE0);
  }
}
