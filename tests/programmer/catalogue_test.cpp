#include "cpu/ARM7.h"
#include "cpu/AT89C51RX2.h"
#include "cpu/Backplane.h"
#include "cpu/CortexM3Flash.h"
#include "cpu/Cortex_M3.h"
#include "cpu/H8_3664.h"
#include "cpu/P89C51RX2.h"
#include "cpu/QX4T.h"
#include "platform/SimulatedEventLoop.h"
#include "programmer/CpuFactory.h"
#include "protocol/Catalogue.h"
#include "protocol/ProtocolKinds.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <typeindex>

using namespace vk::programmer;

// The catalogue in tree order with its lookups; its fact columns and the kind rows replace
// decisions that were written in code, and each must decide as that code did; every kind the
// catalogue uses has its row.
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

  struct Old {
    std::type_index cls;
    const char* saveExt; // what File > Save proposed ("" : nothing)
    int filter;
    bool opFirst, erase, can, writes;
  };
  // By the CpuKind byte the stored entries and the tests use.
  const std::map<int, Old> old = {
      {0, {typeid(TCPU_BACKPLANE), "", 0, false, false, false, false}},
      {1, {typeid(TCPU_BACKPLANE), "*.a20", 3, false, true, false, true}},
      {2, {typeid(vk::cpu::TCPU_AT89C51RX2), "", 0, false, false, false, true}},
      {3, {typeid(vk::cpu::TCPU_CORTEX), "", 0, true, false, false, false}},
      {4, {typeid(vk::cpu::TCPU_P89C51RX2), "*.hex", 2, false, false, false, true}},
      {5, {typeid(vk::cpu::TCPU_H8_3664), "*.a20", 3, true, false, false, true}},
      {6, {typeid(vk::cpu::TCPU_ARM7), "*.a20", 3, true, false, false, false}},
      {7, {typeid(vk::cpu::TCPU_QX4T), "*.a20", 3, true, false, true, true}},
      {8, {typeid(vk::cpu::TCPU_QX4T_BOOT), "*.a20", 3, true, false, false, true}},
      {9, {typeid(vk::cpu::TCPU_CORTEX_FLASH), "*.hex", 2, true, false, false, true}},
  };
  vk::platform::SimulatedEventLoop loop;
  const CpuFactory factory = MakeCpuFactory(nullptr);
  std::set<int> codes;
  for (const auto& k : ProtocolKinds()) {
    SCOPED_TRACE(testing::Message() << "kind " << int(k.Kind) << " " << k.Name);
    EXPECT_TRUE(codes.insert(k.Kind).second) << "one row per code";
    EXPECT_EQ(&KindOf(k.Kind), &k);
    EXPECT_FALSE(k.Name.empty());
    EXPECT_FALSE(k.PlanWords.empty());
    const auto o = old.find(k.Kind);
    ASSERT_NE(o, old.end()) << "a new kind: add what it decides here";
    const auto made = factory(k.Kind, loop);
    EXPECT_EQ(std::type_index(typeid(*made)), o->second.cls);
    EXPECT_EQ(k.SaveExtension, o->second.saveExt);
    EXPECT_EQ(k.SaveFilterIndex, o->second.filter);
    EXPECT_EQ(k.OpFirst, o->second.opFirst);
    EXPECT_EQ(k.EraseOffered, o->second.erase);
    EXPECT_EQ(k.NeedsCan(), o->second.can);
    EXPECT_EQ(k.WritesImage, o->second.writes);
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
