#include "protocol/Catalogue.h"

#include <array>

namespace vk::programmer {

namespace {
// clang-format off
constexpr auto kCatalogue = std::to_array<CatalogueEntry>({
  // Lvl Name            Type Kind            Jump   Start      End        Block Boot    Kernel Multi  Addr Root
  {1, "Kestron",          0,  kKindGroup,     false, 0x1000,    0x7FFF,    128, 19200,  0,     false,  0, true},
  {2, "QRA11",          133,  kKindBackplane, false, 0x4000,    0xFFFF,    128, 19200,  0,     false, 64, false},
  {2, "QRB12",          134,  kKindBackplane, false, 0x4000,    0xFFFF,    128, 19200,  0,     false, 64, false},
  {2, "QRC13",          135,  kKindBackplane, false, 0x4000,    0xFFFF,    128, 19200,  0,     false, 64, false},
  {2, "QRD14",          136,  kKindBackplane, true,  0x1000,    0x7FFF,    128, 9600,   0,     true,   0, false},
  {1, "QRE",              0,  kKindGroup,     false, 0x1000,    0x7FFF,    128, 19200,  0,     false,  0, false},
  {2, "QRE15",          104,  kKindH8,        false, 0x0000,    0x3FFF,    128, 9600,   1,     false,  0, false},
  {2, "QRE16",          105,  kKindH8,        false, 0x0000,    0x3FFF,    128, 9600,   1,     false,  0, false},
  {2, "QRE17",          120,  kKindH8,        false, 0x0000,    0x7FFF,    128, 9600,   2,     false,  0, false},
  {1, "QRF",              0,  kKindGroup,     false, 0x1000,    0x7FFF,    128, 9600,   0,     false,  0, false},
  {2, "QRF18 mkII",       0,  kKindH8,        false, 0x0000,    0x7FFF,    128, 9600,   2,     false,  0, false},
  {2, "QRF18 mkIII",    114,  kKindBackplane, false, 0x1000,    0xBFFF,    128, 115200, 0,     false,  0, false},
  {1, "QRG",              0,  kKindGroup,     false, 0x1000,    0xBFFF,    128, 9600,   0,     false,  0, false},
  {2, "QRG19",          145,  kKindBackplane, false, 0x1000,    0xBFFF,    128, 9600,   0,     false,  0, false},
  {2, "QRG20",          146,  kKindBackplane, false, 0x1000,    0x1FFFF,   128, 9600,   0,     false,  0, false},
  {1, "QX4T",             0,  kKindGroup,     false, 0x0000,    0x7FFF,    128, 9600,   0,     false,  0, false},
  {2, "QX4T - PCAN",    162,  kKindQX4T,      true,  0x0400,    0xBFFF,    128, 19200,  0,     false,  0, false},
  {2, "QX4T - BOOT",      0,  kKindQX4TBoot,  false, 0x0000,    0xDFFF,    128, 57600,  0,     false,  0, false},
  {1, "QRH",              0,  kKindH8,        false, 0x0000,    0x3FFF,    128, 9600,   1,     false,  0, false},
  {1, "CPU BOOT",         0,  kKindGroup,     false, 0x0000,    0x7FFF,    128, 9600,   0,     false,  0, false},
  {2, "AT89C51RD2",       0,  kKindAT89C51RX2,false, 0x0000,    0xFFFF,    128, 9600,   0,     false,  0, false},
  {2, "Cortex-M3",        0,  kKindCortex,    false, 0x8000000, 0x801FFFF, 128, 115200, 0,     false,  0, false},
  {2, "Cortex-M3 Flash",  0,  kKindCortexFlash,false,0x8000000, 0x801FFFF, 256, 115200, 0,     false,  0, false},
  {2, "H8/3664",          0,  kKindH8,        false, 0x0000,    0x7FFF,    128, 9600,   2,     false,  0, false},
  {2, "H8/3672",          0,  kKindH8,        false, 0x0000,    0x3FFF,    128, 9600,   1,     false,  0, false},
  {2, "H8/3687",          0,  kKindH8,        false, 0x0000,    0xDFFF,    128, 9600,   3,     false,  0, false},
});
// clang-format on
} // namespace

std::span<const CatalogueEntry> Catalogue() { return kCatalogue; }

const CatalogueEntry* FindEntryByName(std::string_view name) {
  for (const auto& e : kCatalogue)
    if (e.Name == name) return &e;
  return nullptr;
}

const CatalogueEntry* FindEntryByType(std::int32_t typeCode) {
  for (const auto& e : kCatalogue)
    if (e.TypeCode == typeCode) return &e;
  return nullptr;
}

} // namespace vk::programmer
