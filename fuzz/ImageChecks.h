#pragma once
// Rules every fuzz target checks after the image has read whatever the input held. A broken rule
// aborts, so libFuzzer keeps the input and reports it like a crash.

#include "image/FirmwareImage.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace vk::fuzz {

// The messages of the last load, as the window would show them.
struct SaidBoxes {
  std::vector<vk::image::ImageMessage> boxes;
  void Reset() { boxes.clear(); }
  vk::image::ImageFormat Keep(vk::image::LoadResult r) {
    boxes = std::move(r.messages);
    return r.format;
  }
};

using image::FirmwareImage;
using image::ImageFormat;

[[noreturn]] inline void Violated(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: rule broken: %s\n", file, line, what);
  std::abort();
}

#define VK_REQUIRE(cond)                                                                           \
  do {                                                                                             \
    if (!(cond)) ::vk::fuzz::Violated(#cond, __FILE__, __LINE__);                                  \
  } while (0)

using ImageBytes = std::array<std::uint8_t, FirmwareImage::kImageSize>;

inline ImageBytes Snapshot(const FirmwareImage& v) {
  ImageBytes out;
  std::memcpy(out.data(), v.Image(), out.size());
  return out;
}

inline bool SameImage(const FirmwareImage& a, const FirmwareImage& b) {
  return std::memcmp(a.Image(), b.Image(), FirmwareImage::kImageSize) == 0;
}

inline bool SameRange(const FirmwareImage& a, const FirmwareImage& b) {
  return a.MemStart() == b.MemStart() && a.MemEnd() == b.MemEnd();
}

// Addresses are 16 bits wide; the end is exclusive, so it may be one past 0xFFFF.
inline void CheckRangeBounds(const FirmwareImage& v) {
  VK_REQUIRE(v.MemStart() <= 0xFFFF);
  VK_REQUIRE(v.MemEnd() <= FirmwareImage::kImageSize);
}

// Nothing outside the loaded range may differ from what the image held before the read.
inline void CheckOnlyRangeWritten(const FirmwareImage& v, const ImageBytes& before) {
  const std::uint32_t start = std::min(v.MemStart(), v.MemEnd());
  const std::uint32_t end = std::max(start, v.MemEnd());
  VK_REQUIRE(std::memcmp(v.Image(), before.data(), start) == 0);
  VK_REQUIRE(std::memcmp(v.Image() + end, before.data() + end, FirmwareImage::kImageSize - end) ==
             0);
}

inline bool LooksLikeWriterText(const std::string& text, const char* allowed) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') {
      if (i == 0 || text[i - 1] != '\r') return false;
    } else if (c != '\r' && !std::strchr(allowed, c)) {
      return false;
    }
  }
  return text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
}

inline bool IsErased(const FirmwareImage& v, std::uint32_t from, std::uint32_t to) {
  static const ImageBytes kErasedImage = [] {
    ImageBytes b;
    b.fill(FirmwareImage::kErased);
    return b;
  }();
  return from >= to || std::memcmp(v.Image() + from, kErasedImage.data(), to - from) == 0;
}

struct WrittenWindow {
  std::uint32_t start;
  std::uint32_t end;
};

// The addresses a writer covers for [start, end): whole records from start rounded down to
// `align`, `record` bytes each, never past the image.
inline WrittenWindow WindowFor(std::uint32_t start, std::uint32_t end, std::uint32_t align,
                               std::uint32_t record) {
  end = std::min(end, FirmwareImage::kImageSize);
  const std::uint32_t first = start & 0xFFFF & ~(align - 1);
  if (first >= end) return {first, first};
  return {first, first + (end - first + record - 1) / record * record};
}

// Saves the image in one format, reads the text back into `scratch`, and requires the same bytes
// over everything written, erased bytes elsewhere, no loaded byte left out, and the same text
// when the read-back image is saved again.
inline void CheckWriterRoundTrip(const FirmwareImage& v, FirmwareImage& scratch, bool intelHex) {
  const std::uint32_t start = v.MemStart(), end = v.MemEnd();
  const std::string text = intelHex ? v.IntelHexText(start, end) : v.SRecordText(start, end);
  VK_REQUIRE(LooksLikeWriterText(text, intelHex ? ":0123456789ABCDEF" : "S0123456789ABCDEF"));

  const WrittenWindow w = intelHex ? WindowFor(start, end, 64, 32) : WindowFor(start, end, 32, 16);
  if (start < end) VK_REQUIRE(w.start <= start && w.end >= end);

  scratch.Clear();
  const auto got = scratch.LoadFromMemory(
      "round trip", reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  VK_REQUIRE(got == (intelHex ? ImageFormat::IntelHex : ImageFormat::SRecord));
  CheckRangeBounds(scratch);
  if (w.start < w.end) {
    VK_REQUIRE(scratch.MemStart() == w.start && scratch.MemEnd() == w.end);
  } else {
    VK_REQUIRE(scratch.IsEmpty());
  }
  VK_REQUIRE(IsErased(scratch, 0, w.start));
  VK_REQUIRE(std::memcmp(scratch.Image() + w.start, v.Image() + w.start, w.end - w.start) == 0);
  VK_REQUIRE(IsErased(scratch, w.end, FirmwareImage::kImageSize));
  const std::string again = intelHex ? scratch.IntelHexText(scratch.MemStart(), scratch.MemEnd())
                                     : scratch.SRecordText(scratch.MemStart(), scratch.MemEnd());
  VK_REQUIRE(again == text);
}

inline void CheckBothWriters(const FirmwareImage& v, FirmwareImage& scratch) {
  CheckWriterRoundTrip(v, scratch, true);
  CheckWriterRoundTrip(v, scratch, false);
}

// Puts `text` into the file area without interpreting it, behind one 0 byte that no detection
// accepts, so a reader can then be called on it directly at offset 1.
inline void StageText(FirmwareImage& v, const std::uint8_t* text, std::size_t size,
                      const std::uint8_t* tail = nullptr, std::size_t tailSize = 0) {
  std::vector<std::uint8_t> staged;
  staged.reserve(1 + size + tailSize);
  staged.push_back(0);
  staged.insert(staged.end(), text, text + size);
  if (tail) staged.insert(staged.end(), tail, tail + tailSize);
  VK_REQUIRE(v.LoadFromMemory("staged", staged.data(), staged.size()) == ImageFormat::Unknown);
  VK_REQUIRE(v.CodeSize() == staged.size());
}

// What the reader for `format` makes of `text` alone, in a cleared image: how a container's body
// and a plain file must read.
inline void ReadAlone(FirmwareImage& v, const std::uint8_t* text, std::size_t size,
                      std::uint16_t format) {
  v.Clear();
  StageText(v, text, size);
  const auto n = static_cast<std::uint32_t>(size);
  if (format == 1) v.ReadIntelHex(1, n);
  if (format == 2) v.ReadSRecords(1, n);
}

inline void CheckTargetNames(const FirmwareImage& v) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  VK_REQUIRE(v.TargetList().Count() <= image::TTargetList::kCapacity);
  for (std::uint32_t i = 0; i < v.TargetList().Count(); ++i) {
    const auto& t = v.TargetList().Get(i);
    VK_REQUIRE(t.Name.size() == 8);
    for (int k = 0; k < 8; ++k) VK_REQUIRE(t.Name[k] == kDigits[(t.Value >> (28 - 4 * k)) & 0xF]);
  }
}

// Lower-case hexadecimal digits read exactly like upper-case ones.
inline std::vector<std::uint8_t> UpperDigits(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> out(data, data + size);
  for (auto& c : out)
    if (c >= 'a' && c <= 'f') c = static_cast<std::uint8_t>(c - 'a' + 'A');
  return out;
}

} // namespace vk::fuzz
