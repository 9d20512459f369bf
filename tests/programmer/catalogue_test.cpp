#include "cpu/Backplane.h"
#include "platform/SimulatedEventLoop.h"
#include "programmer/CpuFactory.h"
#include "protocol/Catalogue.h"
#include "protocol/ProtocolKinds.h"

#include <gtest/gtest.h>

#include <set>
#include <typeindex>

using namespace vk::programmer;

// The catalogue in tree order with its lookups; one kind row per code, and every kind the
// catalogue uses has its row (what each row decides is shown by the runs that use it).
TEST(Catalogue, EntriesLookupsAndKindRowsAgree) {
  const auto cat = Catalogue();
  ASSERT_EQ(cat.size(), 26u);
  EXPECT_EQ(cat.front().Name, "Kestron");
  EXPECT_EQ(cat.back().Name, "H8/3687");
  EXPECT_EQ(cat[0].Level, 1);
  // Cortex-M3 Flash writes blocks of up to 256 bytes, as its boot loader takes them.
  for (const auto& e : cat)
    EXPECT_EQ(e.BlockSize, e.CpuKind == kKindCortexFlash ? 256 : 128) << e.Name;

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

  vk::platform::SimulatedEventLoop loop;
  const CpuFactory factory = MakeCpuFactory(nullptr);
  std::set<int> codes;
  for (const auto& k : ProtocolKinds()) {
    SCOPED_TRACE(testing::Message() << "kind " << int(k.Kind) << " " << k.Name);
    EXPECT_TRUE(codes.insert(k.Kind).second) << "one row per code";
    EXPECT_EQ(&KindOf(k.Kind), &k);
    EXPECT_FALSE(k.Name.empty());
    EXPECT_FALSE(k.PlanWords.empty());
    EXPECT_NE(factory(k.Kind, loop), nullptr);
  }
  // A code with no row is served as a backplane module, by the factory and by the facts.
  EXPECT_EQ(std::type_index(typeid(*factory(200, loop))), std::type_index(typeid(TCPU_BACKPLANE)));
  EXPECT_EQ(KindOf(200).Kind, kKindBackplane);

  int roots = 0;
  for (const auto& e : Catalogue()) {
    SCOPED_TRACE(std::string(e.Name));
    EXPECT_EQ(KindOf(e.CpuKind).Kind, e.CpuKind) << "the entry's kind has no row";
    EXPECT_EQ(e.MultiProgram, e.TypeCode == 136);
    EXPECT_EQ(e.DefaultAddress, e.TypeCode >= 133 && e.TypeCode <= 135 ? 64 : 0);
    EXPECT_EQ(e.Root, e.Name == "Kestron");
    roots += e.Root;
  }
  EXPECT_EQ(roots, 1);
  EXPECT_TRUE(Catalogue().front().Root) << "the tree starts at its root";
}
