#include "image/crc32.h"

#include <gtest/gtest.h>

#include <cstring>

using vk::image::TCRC32;

namespace {
const std::uint8_t* Bytes(const char* s) { return reinterpret_cast<const std::uint8_t*>(s); }
} // namespace

TEST(Crc32, TableIsTheStandardOne) {
  TCRC32 crc;
  EXPECT_EQ(crc.Entry(0), 0x00000000u);
  EXPECT_EQ(crc.Entry(1), 0x77073096u);
  EXPECT_EQ(crc.Entry(255), 0x2D02EF8Du);
  EXPECT_EQ(crc.StandardCrc(Bytes("123456789"), 9), 0xCBF43926u);
}

TEST(Crc32, ComputeRepeatsTheFirstByteOfTheRegion) {
  TCRC32 crc;
  EXPECT_EQ(crc.Compute(Bytes("abc"), 3), 0xF007732Du);
  EXPECT_EQ(crc.Compute(Bytes("aaa"), 3), 0xF007732Du);
  EXPECT_EQ(crc.StandardCrc(Bytes("aaa"), 3), 0xF007732Du);
  EXPECT_NE(crc.StandardCrc(Bytes("abc"), 3), crc.Compute(Bytes("abc"), 3));
  EXPECT_EQ(crc.Compute(Bytes("abc"), 0), 0u);
  // Repeated calls give the same value: no state is carried between them.
  EXPECT_EQ(crc.Compute(Bytes("V"), 24), crc.Compute(Bytes("VK"), 24));
}
