#pragma once
// Everything the program can program, in target-tree order, as one table of data.

#include <cstdint>
#include <span>
#include <string_view>

namespace vk::programmer {

// Which protocol reaches an entry's memory: the codes of the rows in ProtocolKinds.def.
enum CpuKindCode : std::uint8_t {
#define VK_PROTOCOL_KIND(code, id, ...) id = code,
#include "protocol/ProtocolKinds.def"
#undef VK_PROTOCOL_KIND
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
  int KernelNo;       // 0: none, 1: H8/3672, 2: H8/3664, 3: H8/3687
  bool MultiProgram;  // MultiProgram (a range of modules in one go) is offered
  int DefaultAddress; // the address a person's selection puts in the address box; 0: none
  bool Root;          // the tree's root: Detect (and Erase of the module found) start here
};

std::span<const CatalogueEntry> Catalogue();

// The module type code a container's target word names: its bits 24..31.
constexpr std::int32_t TypeCodeOf(std::uint32_t targetWord) {
  return static_cast<std::int32_t>(targetWord >> 24);
}

// First entry (in tree order) with that name, or null.
const CatalogueEntry* FindEntryByName(std::string_view name);
// First entry (in tree order) with that type code, or null.
const CatalogueEntry* FindEntryByType(std::int32_t typeCode);

} // namespace vk::programmer
