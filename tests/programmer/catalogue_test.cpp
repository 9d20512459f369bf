#include "programmer/Catalogue.h"

#include <gtest/gtest.h>

using namespace vk::programmer;

TEST(Catalogue, TreeOrderAndLookups) {
  const auto cat = Catalogue();
  ASSERT_EQ(cat.size(), 25u);
  EXPECT_EQ(cat.front().Name, "Kestron");
  EXPECT_EQ(cat.back().Name, "H8/3687");
  EXPECT_EQ(cat[0].Level, 1);
  for (const auto& e : cat) EXPECT_EQ(e.BlockSize, 128) << e.Name;

  // The first entry with a code wins; code 0 is the root.
  EXPECT_EQ(FindEntryByType(136)->Name, "QRD14");
  EXPECT_EQ(FindEntryByType(114)->Name, "QRF18 mkIII");
  EXPECT_EQ(FindEntryByType(0)->Name, "Kestron");
  EXPECT_EQ(FindEntryByType(99), nullptr);
  EXPECT_EQ(FindEntryByName("QRH")->Level, 1);
  EXPECT_EQ(FindEntryByName("QRH")->CpuKind, kKindH8);
  EXPECT_EQ(FindEntryByName("QRG20")->RegionEnd, 0x1FFFF);
  EXPECT_EQ(FindEntryByName("QX4T - PCAN")->TypeCode, 162);
  EXPECT_TRUE(FindEntryByName("QX4T - PCAN")->JumpTable);
  EXPECT_EQ(FindEntryByName("H8/3687")->KernelNo, 3);
  EXPECT_EQ(FindEntryByName("nonsense"), nullptr);
}
