#pragma once
// Intel HEX text for test images, written independently of the program's writer.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vk::test {

// Records of up to 16 bytes for data placed at addr, and the end record.
inline std::string HexText(std::uint32_t addr, const std::vector<std::uint8_t>& data) {
  std::string text;
  for (std::size_t off = 0; off < data.size(); off += 16) {
    const std::size_t n = std::min<std::size_t>(16, data.size() - off);
    const std::uint32_t a = addr + static_cast<std::uint32_t>(off);
    char buf[16];
    std::snprintf(buf, sizeof buf, ":%02X%04X00", static_cast<unsigned>(n), a & 0xFFFF);
    text += buf;
    unsigned sum = static_cast<unsigned>(n) + (a >> 8 & 0xFF) + (a & 0xFF);
    for (std::size_t i = 0; i < n; ++i) {
      std::snprintf(buf, sizeof buf, "%02X", data[off + i]);
      text += buf;
      sum += data[off + i];
    }
    std::snprintf(buf, sizeof buf, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    text += buf;
  }
  return text + ":00000001FF\r\n";
}

// A kernel file as the maker lays them out: S1 records of 16 bytes for data placed at addr (a
// whole number of records), then S9, each line ended by LF.
inline std::string KernelSRecords(std::uint32_t addr, const std::vector<std::uint8_t>& data) {
  std::string text;
  char buf[16];
  for (std::size_t off = 0; off < data.size(); off += 16) {
    const unsigned a = addr + static_cast<unsigned>(off);
    unsigned sum = 19 + (a >> 8) + (a & 0xFF);
    std::snprintf(buf, sizeof buf, "S113%04X", a);
    text += buf;
    for (std::size_t i = 0; i < 16; ++i) {
      std::snprintf(buf, sizeof buf, "%02X", data[off + i]);
      text += buf;
      sum += data[off + i];
    }
    std::snprintf(buf, sizeof buf, "%02X\n", ~sum & 0xFF);
    text += buf;
  }
  return text + "S9030000FC\n";
}

// A pattern that is never 0xFF, so no block of it counts as blank.
inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed = 1) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>((seed + i * 7) % 0xFF);
  return v;
}

} // namespace vk::test
