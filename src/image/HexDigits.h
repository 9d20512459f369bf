#pragma once
// Digit decoding and encoding shared by the Intel HEX and S-record readers and writers.

#include <array>
#include <cstdint>

namespace vk::image::hex {

// Reader decoder: any character maps to some value, so a wrong digit surfaces as a
// checksum error. Lower-case digits read as their values.
struct ReaderTable {
  std::array<std::uint8_t, 256> v{};
  constexpr ReaderTable() {
    for (int c = 0; c < 256; ++c) {
      if (c <= '9')
        v[c] = static_cast<std::uint8_t>(c - 48);
      else if (c >= 'a' && c <= 'f')
        v[c] = static_cast<std::uint8_t>(c - 87);
      else
        v[c] = static_cast<std::uint8_t>(c - 55);
    }
  }
};
inline constexpr ReaderTable kReader{};

inline std::uint8_t ReaderPair(std::uint8_t hi, std::uint8_t lo) {
  return static_cast<std::uint8_t>((kReader.v[hi] << 4) + kReader.v[lo]);
}

// Check decoder: only 0-9, A-F, a-f; a digit outside maps to 0 and marks the pair bad.
inline bool CheckDigit(std::uint8_t c, std::uint8_t& out) {
  if (c >= '0' && c <= '9') {
    out = c - '0';
    return true;
  }
  if (c >= 'A' && c <= 'F') {
    out = c - 'A' + 10;
    return true;
  }
  if (c >= 'a' && c <= 'f') {
    out = c - 'a' + 10;
    return true;
  }
  out = 0;
  return false;
}

inline constexpr char kUpper[] = "0123456789ABCDEF";

inline char* PutByte(char* p, std::uint8_t b) {
  p[0] = kUpper[b >> 4];
  p[1] = kUpper[b & 0xF];
  return p + 2;
}

// Pairs for the first-record checks, from a bounded text; a pair past the end counts as bad.
struct CheckPairs {
  const std::uint8_t* p;
  const std::uint8_t* end;
  bool Next(std::uint8_t& out) {
    std::uint8_t hi = 0, lo = 0;
    bool ok = end - p >= 2;
    if (ok) {
      const bool first = CheckDigit(p[0], hi); // both digits are always consumed
      const bool second = CheckDigit(p[1], lo);
      ok = first && second;
      p += 2;
    } else {
      p = end;
    }
    out = static_cast<std::uint8_t>((hi << 4) | lo);
    return ok;
  }
};

} // namespace vk::image::hex
