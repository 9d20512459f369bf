#include "protocol/Catalogue.h"
#include "protocol/ImagePrep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

using namespace vk::programmer;

namespace {
struct Image {
  std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(0x10000, 0xFF);
  std::uint8_t* data() { return bytes.data(); }
  std::uint16_t Word(std::uint32_t a) const {
    return static_cast<std::uint16_t>(bytes[a] << 8 | bytes[a + 1]);
  }
  void SetWord(std::uint32_t a, std::uint16_t w) {
    bytes[a] = static_cast<std::uint8_t>(w >> 8);
    bytes[a + 1] = static_cast<std::uint8_t>(w);
  }
  std::uint16_t SumWords(std::uint32_t from, std::uint32_t to) const {
    std::uint16_t s = 0;
    for (std::uint32_t a = from; a + 1 <= to; a += 2) s = static_cast<std::uint16_t>(s + Word(a));
    return s;
  }
};
} // namespace

TEST(JumpTable, BuiltOnlyForAProgramAt1000AndOnlyForVectorsInside) {
  Image img;
  img.SetWord(0x1002, 0x1234); // vector 1
  img.SetWord(0x1004, 0x8000); // vector 2: above the range
  img.SetWord(0x1006, 0x0FFF); // vector 3: below it
  img.SetWord(0x103E, 0x7FFF); // vector 31
  img.SetWord(0x1000, 0x2000); // vector 0 is never turned into a jump

  std::uint32_t cur = 0x0000;
  EXPECT_FALSE(BuildJumpTable(img.data(), cur));
  EXPECT_EQ(cur, 0x0000u);
  EXPECT_EQ(img.bytes[0x0F84], 0xFF);

  cur = 0x1000;
  EXPECT_TRUE(BuildJumpTable(img.data(), cur));
  EXPECT_EQ(cur, 0x0F80u);
  EXPECT_EQ((std::array<std::uint8_t, 4>{img.bytes[0xF84], img.bytes[0xF85], img.bytes[0xF86],
                                         img.bytes[0xF87]}),
            (std::array<std::uint8_t, 4>{0x5A, 0x00, 0x12, 0x34}));
  EXPECT_EQ(img.Word(0x0F88), 0xFFFF);
  EXPECT_EQ(img.Word(0x0F8C), 0xFFFF);
  EXPECT_EQ(img.Word(0x0F80), 0xFFFF);
  EXPECT_EQ(img.Word(0x0FFC), 0x5A00);
  EXPECT_EQ(img.Word(0x0FFE), 0x7FFF);
}

TEST(Checksum, WordMakesTheRegionAddUpToZero) {
  Image img;
  img.bytes[0] = 0x12;
  img.bytes[1] = 0x34;
  img.bytes[2] = 0x56;
  img.bytes[3] = 0x78;
  std::uint32_t end = 4;
  EXPECT_EQ(AppendChecksum(img.data(), end, 0, 3), ChecksumResult::Appended);
  EXPECT_EQ(img.bytes[4], 0x97);
  EXPECT_EQ(img.bytes[5], 0x54);
  EXPECT_EQ(end, 6u);

  end = 5; // an odd end moves up first
  EXPECT_EQ(AppendChecksum(img.data(), end, 0, 3), ChecksumResult::Appended);
  EXPECT_EQ(end, 8u);
  EXPECT_EQ(img.Word(6), 0x9754);

  // With the word inside the region the region sums to zero.
  Image full;
  for (std::uint32_t a = 0x4000; a < 0x5001; ++a) full.bytes[a] = static_cast<std::uint8_t>(a * 7);
  end = 0x5001;
  ASSERT_EQ(AppendChecksum(full.data(), end, 0x4000, 0xFFFF), ChecksumResult::Appended);
  EXPECT_EQ(end, 0x5004u);
  EXPECT_EQ(full.SumWords(0x4000, 0xFFFF), 0);
}

TEST(Checksum, StaysInsideTheImage) {
  Image img;
  std::uint32_t end = 0xFFFF; // no room for the word at the top
  EXPECT_EQ(AppendChecksum(img.data(), end, 0x1000, 0xFFFF), ChecksumResult::NoRoom);
  EXPECT_EQ(end, 0xFFFFu);
  end = 0x10000;
  EXPECT_EQ(AppendChecksum(img.data(), end, 0x1000, 0xFFFF), ChecksumResult::NoRoom);
  EXPECT_EQ(img.Word(0xFFFE), 0xFFFF);

  // A region wholly above the image gets no word.
  end = 0x0100;
  EXPECT_EQ(AppendChecksum(img.data(), end, 0x8000000, 0x801FFFF), ChecksumResult::RegionOutside);
  EXPECT_EQ(end, 0x0100u);
  EXPECT_EQ(img.Word(0x0100), 0xFFFF);

  // A region that runs past the top is summed up to 0xFFFF.
  Image q;
  for (std::uint32_t a = 0x1000; a < 0x3000; ++a) q.bytes[a] = static_cast<std::uint8_t>(a ^ 0x5A);
  end = 0x3000;
  ASSERT_EQ(AppendChecksum(q.data(), end, 0x1000, 0x1FFFF), ChecksumResult::Appended);
  EXPECT_EQ(q.SumWords(0x1000, 0xFFFF), 0);
}

TEST(PrepareForTarget, RangeCoversJumpTableAndChecksum) {
  const auto* qrd14 = FindEntryByName("QRD14");
  ASSERT_NE(qrd14, nullptr);
  Image img;
  for (std::uint32_t a = 0x1000; a < 0x1100; ++a) img.bytes[a] = 0x00;
  img.SetWord(0x1002, 0x1080);
  const auto p = PrepareForTarget(img.data(), 0x1000, 0x1100, *qrd14);
  EXPECT_TRUE(p.jumpTable);
  EXPECT_EQ(p.checksum, ChecksumResult::Appended);
  EXPECT_EQ(p.start, 0x0F80u);
  EXPECT_EQ(p.end, 0x1102u);
  EXPECT_EQ(img.Word(0x0F84), 0x5A00);
  EXPECT_EQ(img.SumWords(0x1000, 0x7FFF), 0);

  // An entry without a jump table leaves the start where the image starts.
  Image other;
  other.bytes[0x4000] = 1;
  const auto q = PrepareForTarget(other.data(), 0x4000, 0x4001, *FindEntryByName("QRA11"));
  EXPECT_FALSE(q.jumpTable);
  EXPECT_EQ(q.start, 0x4000u);
  EXPECT_EQ(q.end, 0x4004u);
  EXPECT_EQ(other.bytes[0x4001], 0xFF); // the pad byte before the even address is untouched
  EXPECT_EQ(other.SumWords(0x4000, 0xFFFF), 0);

  // A word the region cannot hold: refused where the run appends it (QRA11 up to FFFF; QX4T -
  // PCAN appends two), left out where it appends none (H8/3664, 0000-7FFF).
  Image full;
  std::fill(full.bytes.begin(), full.bytes.begin() + 0x8000, 0x00);
  EXPECT_EQ(PrepareForTarget(full.data(), 0x4000, 0x10000, *FindEntryByName("QRA11")).refusal.text,
            "the image leaves no room for the checksum word inside 4000-FFFF; nothing written");
  EXPECT_EQ(
      PrepareForTarget(full.data(), 0x0400, 0xBFFE, *FindEntryByName("QX4T - PCAN")).refusal.text,
      "the image leaves no room for the two checksum words inside 0400-BFFF; nothing written");
  const auto h8 = PrepareForTarget(full.data(), 0x0000, 0x8000, *FindEntryByName("H8/3664"));
  EXPECT_EQ(h8.checksum, ChecksumResult::NoRoom);
  EXPECT_EQ(full.Word(0x8000), 0xFFFF) << "no word written";
}
