#pragma once
// Digit decoding and encoding shared by the Intel HEX and S-record readers and writers.

#include "platform/Hex.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace vk::image::hex {

// Reader decoder: "0"-"9", "A"-"F" and "a"-"f" map to their values, anything else to 0xFF, so
// the readers notice a character that is not a digit (the high bit survives the pair below).
struct ReaderTable {
  std::array<std::uint8_t, 256> v{};
  constexpr ReaderTable() {
    for (int c = 0; c < 256; ++c) {
      if (c >= '0' && c <= '9')
        v[c] = static_cast<std::uint8_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        v[c] = static_cast<std::uint8_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        v[c] = static_cast<std::uint8_t>(c - 'A' + 10);
      else
        v[c] = 0xFF;
    }
  }
};
inline constexpr ReaderTable kReader{};

// One byte from two digits; `bad` collects 0x80 or more once either is not a digit.
inline std::uint8_t ReaderPair(std::uint8_t hi, std::uint8_t lo, unsigned& bad) {
  const unsigned h = kReader.v[hi], l = kReader.v[lo];
  bad |= h | l;
  return static_cast<std::uint8_t>((h << 4) | l);
}
inline constexpr unsigned kBadDigit = 0x80;

// Whether the `count` characters from `digits` run into the end of their line: a record a byte
// short then reads its line end as digits, which is a cut, not a wrong character.
inline bool RunsPastLineEnd(const std::uint8_t* digits, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i)
    if (digits[i] == '\r' || digits[i] == '\n') return true;
  return false;
}

// One digit of a device's answer: its value, or -1 for a character that is not one.
inline int DigitValue(char c) {
  const std::uint8_t v = kReader.v[static_cast<std::uint8_t>(c)];
  return v == 0xFF ? -1 : v;
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

inline char* PutByte(char* p, std::uint8_t b) {
  p[0] = platform::kHexDigits[b >> 4];
  p[1] = platform::kHexDigits[b & 0xF];
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
