// Intel HEX: first-record check, reader and writer.

#include "image/FirmwareImage.h"
#include "image/HexDigits.h"
#include "image/TextFile.h"

#include <algorithm>
#include <cstring>

namespace vk::image {

FirmwareImage::CheckResult FirmwareImage::CheckIntelHex() {
  const std::uint8_t* begin = fileData_.data();
  const std::uint8_t* end = begin + codeSize_;
  const auto* colon = static_cast<const std::uint8_t*>(std::memchr(begin, ':', codeSize_));
  bool ok = colon != nullptr;
  if (ok) {
    hex::CheckPairs pairs{colon + 1, end};
    std::uint8_t count = 0;
    ok = pairs.Next(count);
    std::uint8_t sum = count;
    // Address (2), type, data, checksum.
    for (int i = 0; ok && i < count + 4; ++i) {
      std::uint8_t b = 0;
      ok = pairs.Next(b);
      sum = static_cast<std::uint8_t>(sum + b);
    }
    ok = ok && sum == 0;
  }
  if (ok) return CheckResult::Pass;
  Say(msg::kNotIntelHex, msg::kFormatError, MessageKind::Note);
  return CheckResult::FailWithMessage;
}

ReadResult FirmwareImage::ReadIntelHex(std::uint32_t text, std::uint32_t available) {
  KeepImage();
  const ReadResult r = ParseIntelHex(text, available);
  if (!r) RestoreImage();
  return r;
}

// One pass, storing as it goes; the caller puts the image back when a record is refused.
ReadResult FirmwareImage::ParseIntelHex(std::uint32_t text, std::uint32_t available) {
  ResetRangeIfEmpty();
  StartOverlapCheck();
  if (text > codeSize_) return {};
  available = std::min(available, codeSize_ - text);
  const std::uint8_t* const base = fileData_.data();
  const std::uint8_t* p = base + text;
  const std::uint8_t* const end = p + available;
  std::uint32_t upper = 0; // from the last extended address record (type 02 or 04)
  bool windowSet = false;
  std::uint32_t window = 0, windowAt = 0;
  window_ = 0;

  for (;;) {
    p = static_cast<const std::uint8_t*>(std::memchr(p, ':', static_cast<std::size_t>(end - p)));
    if (!p) return {};
    const auto rec = static_cast<std::uint32_t>(p - base);
    const auto fail = [rec](ReadError e) { return ReadResult{e, rec}; };
    const std::uint8_t* const digits = p + 1;
    // Checked only once a digit is wrong, so that good files pay nothing for it.
    const auto badDigit = [&](std::size_t count) {
      return fail(hex::RunsPastLineEnd(digits, count) ? ReadError::ShortLine : ReadError::BadDigit);
    };
    ++p;
    if (end - p < 10) return fail(ReadError::CutShort);
    unsigned bad = 0;
    const std::uint8_t n = hex::ReaderPair(p[0], p[1], bad);
    const std::uint8_t ah = hex::ReaderPair(p[2], p[3], bad);
    const std::uint8_t al = hex::ReaderPair(p[4], p[5], bad);
    const std::uint8_t type = hex::ReaderPair(p[6], p[7], bad);
    if (bad & hex::kBadDigit) return badDigit(8);
    p += 8;
    if (end - p < 2 * n + 2) return fail(ReadError::CutShort);
    std::uint8_t sum = static_cast<std::uint8_t>(n + ah + al + type);
    const std::uint32_t a = (static_cast<std::uint32_t>(ah) << 8) | al;

    if (type == 0) {
      // The full address decides the window; the image takes the address inside it.
      const std::uint32_t full = upper + a;
      const std::uint32_t at = full & 0xFFFF;
      if (n > 0) {
        const std::uint32_t last = full + n - 1;
        if (!windowSet) {
          windowSet = true;
          window = full >> 16;
          windowAt = full;
          window_ = window << 16;
        }
        if ((full >> 16) != window || (last >> 16) != window)
          return {ReadError::TwoWindows, rec, windowAt, (full >> 16) != window ? full : last};
      }
      // Stored before the checksum is known; a refused record puts the whole image back.
      for (std::uint32_t i = 0; i < n; ++i, p += 2) {
        const std::uint8_t b = hex::ReaderPair(p[0], p[1], bad);
        Store(at + i, b);
        sum = static_cast<std::uint8_t>(sum + b);
      }
      sum = static_cast<std::uint8_t>(sum + hex::ReaderPair(p[0], p[1], bad));
      p += 2;
      if (bad & hex::kBadDigit) return badDigit(8 + 2 * n + 2);
      if (sum != 0) return fail(ReadError::BadChecksum);
      memStart_ = std::min(memStart_, at);
      memEnd_ = std::max(memEnd_, at + n);
      continue;
    }
    std::uint32_t value = 0; // the first two data bytes, for the extended address records
    for (std::uint32_t i = 0; i <= n; ++i, p += 2) {
      const std::uint8_t b = hex::ReaderPair(p[0], p[1], bad);
      if (i < 2 && i < n) value = (value << 8) | b;
      sum = static_cast<std::uint8_t>(sum + b);
    }
    if (bad & hex::kBadDigit) return badDigit(8 + 2 * n + 2);
    if (sum != 0) return fail(ReadError::BadChecksum);
    if ((type == 2 || type == 4) && n != 2) return fail(ReadError::BadRecord);
    if (type == 2) upper = value << 4;
    if (type == 4) upper = value << 16;
    memEnd_ = std::max(memEnd_, a);
    if (type == 1) {
      ReadResult ended;
      ended.endRecord = true;
      return ended;
    }
  }
}

std::string FirmwareImage::IntelHexText(std::uint32_t start, std::uint32_t end) const {
  end = std::min(end, kImageSize);
  std::uint32_t a = start & 0xFFC0;
  const std::uint32_t records = a < end ? (end - a + 31) / 32 : 0;
  std::string out(records * 77 + 17 + 13, '\0');
  char* p = out.data();
  // The window the image came from, so that the file keeps its full addresses.
  if (window_ != 0) {
    const auto hi = static_cast<std::uint8_t>(window_ >> 24),
               lo = static_cast<std::uint8_t>(window_ >> 16);
    *p++ = ':';
    for (const std::uint8_t b :
         {std::uint8_t{0x02}, std::uint8_t{0x00}, std::uint8_t{0x00}, std::uint8_t{0x04}, hi, lo})
      p = hex::PutByte(p, b);
    p = hex::PutByte(p, static_cast<std::uint8_t>(-(0x06 + hi + lo)));
    *p++ = '\r';
    *p++ = '\n';
  }
  for (; a < end; a += 32) {
    *p++ = ':';
    p = hex::PutByte(p, 0x20);
    p = hex::PutByte(p, static_cast<std::uint8_t>(a >> 8));
    p = hex::PutByte(p, static_cast<std::uint8_t>(a));
    p = hex::PutByte(p, 0x00);
    std::uint8_t sum = static_cast<std::uint8_t>(0x20 + (a >> 8) + a);
    for (std::uint32_t i = 0; i < 32; ++i) {
      const std::uint8_t b = image_[a + i];
      sum = static_cast<std::uint8_t>(sum + b);
      p = hex::PutByte(p, b);
    }
    p = hex::PutByte(p, static_cast<std::uint8_t>(-sum));
    *p++ = '\r';
    *p++ = '\n';
  }
  std::memcpy(p, ":00000001FF\r\n", 13);
  p += 13;
  out.resize(static_cast<std::size_t>(p - out.data()));
  return out;
}

void FirmwareImage::SaveIntelHex(const std::string& fileName) const {
  SaveIntelHex(fileName, memStart_, memEnd_);
}

void FirmwareImage::SaveIntelHex(const std::string& fileName, std::uint32_t start,
                                 std::uint32_t end) const {
  WriteTextFile(fileName, IntelHexText(start, end));
}

} // namespace vk::image
