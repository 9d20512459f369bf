#pragma once
// Everything the program can program, in target-tree order, as one table of data.

#include <cstdint>
#include <span>
#include <string_view>

namespace vk::programmer {

// Which protocol class reaches an entry's memory.
enum CpuKindCode : std::uint8_t {
  kKindGroup = 0,     // root and group entries (served by the backplane protocol)
  kKindBackplane = 1, // module behind the programmer unit
  kKindAT89C51RX2 = 2,
  kKindCortex = 3,
  kKindP89C51RX2 = 4,
  kKindH8 = 5, // kernel download
  kKindARM7 = 6,
  kKindQX4T = 7, // over CAN
  kKindQX4TBoot = 8,
};

struct CatalogueEntry {
  int Level; // 1: top-level node, 2: child of the level-1 entry above it
  std::string_view Name;
  std::int32_t TypeCode; // 0: no code
  std::uint8_t CpuKind;
  bool JumpTable;
  std::int32_t RegionStart;
  std::int32_t RegionEnd; // inclusive
  std::int32_t BlockSize;
  std::int32_t BootBaud;
  std::int32_t SecondBaud; // carried to the protocol object; no protocol reads it
  int KernelNo;            // 0: none, 1: H8/3672, 2: H8/3664, 3: H8/3687
};

std::span<const CatalogueEntry> Catalogue();

// First entry (in tree order) with that name, or null.
const CatalogueEntry* FindEntryByName(std::string_view name);
// First entry (in tree order) with that type code, or null.
const CatalogueEntry* FindEntryByType(std::int32_t typeCode);

} // namespace vk::programmer
