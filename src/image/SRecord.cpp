// Motorola S-records: first-record check, reader (16-, 24- and 32-bit addresses) and writer
// (16-bit addresses).

#include "image/FirmwareImage.h"
#include "image/HexDigits.h"
#include "image/TextFile.h"

#include <algorithm>
#include <cstring>

namespace vk::image {

FirmwareImage::CheckResult FirmwareImage::CheckSRecords() {
  const std::uint8_t* begin = fileData_.data();
  const std::uint8_t* end = begin + codeSize_;
  const auto* s = static_cast<const std::uint8_t*>(std::memchr(begin, 'S', codeSize_));
  // Only a header or data record may open a file; anything else is silently not ours.
  if (!s || end - s < 2 || (s[1] != '0' && s[1] != '1')) return CheckResult::FailSilent;

  hex::CheckPairs pairs{s + 2, end};
  std::uint8_t count = 0;
  bool ok = pairs.Next(count);
  std::uint8_t sum = count;
  for (int i = 0; ok && i < count; ++i) {
    std::uint8_t b = 0;
    ok = pairs.Next(b);
    sum = static_cast<std::uint8_t>(sum + b);
  }
  if (ok && sum == 0xFF) return CheckResult::Pass;
  Say(msg::kNotSRecords, msg::kFormatError, MessageKind::Note);
  return CheckResult::FailWithMessage;
}

ReadResult FirmwareImage::ReadSRecords(std::uint32_t text, std::uint32_t available) {
  KeepImage();
  const ReadResult r = ParseSRecords(text, available);
  if (!r) RestoreImage();
  return r;
}

// One pass, storing as it goes; the caller puts the image back when a record is refused.
ReadResult FirmwareImage::ParseSRecords(std::uint32_t text, std::uint32_t available) {
  // Address bytes per record type: S1/S5/S9 two, S2/S6/S8 three, S3/S7 four (S4 is reserved).
  static constexpr std::uint8_t kAddressBytes[10] = {2, 2, 3, 4, 2, 2, 3, 4, 3, 2};
  ResetRangeIfEmpty();
  StartOverlapCheck();
  if (text > codeSize_) return {};
  available = std::min(available, codeSize_ - text);
  const std::uint8_t* const base = fileData_.data();
  const std::uint8_t* p = base + text;
  const std::uint8_t* const end = p + available;
  bool windowSet = false;
  std::uint32_t window = 0, windowAt = 0;
  window_ = 0;

  for (;;) {
    p = static_cast<const std::uint8_t*>(std::memchr(p, 'S', static_cast<std::size_t>(end - p)));
    if (!p) return {};
    const auto rec = static_cast<std::uint32_t>(p - base);
    const auto fail = [rec](ReadError e) { return ReadResult{e, rec}; };
    const std::uint8_t* const digits = p + 1;
    // Checked only once a digit is wrong, so that good files pay nothing for it.
    const auto badDigit = [&](std::size_t count) {
      return fail(hex::RunsPastLineEnd(digits, count) ? ReadError::ShortLine : ReadError::BadDigit);
    };
    ++p;
    if (end - p < 3) return fail(ReadError::CutShort);
    if (p[0] < '0' || p[0] > '9') return fail(ReadError::BadDigit);
    const unsigned type = p[0] - '0';
    unsigned bad = 0;
    const std::uint8_t n = hex::ReaderPair(p[1], p[2], bad);
    if (bad & hex::kBadDigit) return badDigit(3);
    p += 3;
    if (end - p < 2 * n) return fail(ReadError::CutShort);
    const unsigned addressBytes = kAddressBytes[type];
    if (n < addressBytes + 1) return fail(ReadError::BadRecord);
    std::uint8_t sum = n;
    std::uint32_t full = 0;
    for (unsigned i = 0; i < addressBytes; ++i, p += 2) {
      const std::uint8_t b = hex::ReaderPair(p[0], p[1], bad);
      full = (full << 8) | b;
      sum = static_cast<std::uint8_t>(sum + b);
    }
    const std::uint32_t data = n - addressBytes - 1u;
    const std::uint32_t at = full & 0xFFFF;

    if (type >= 1 && type <= 3) {
      // The full address decides the window; the image takes the address inside it.
      if (data > 0) {
        const std::uint32_t last = full + data - 1;
        if (!windowSet) {
          windowSet = true;
          window = full >> 16;
          windowAt = full;
          window_ = window << 16;
        }
        if ((full >> 16) != window || (last >> 16) != window || last < full)
          return {ReadError::TwoWindows, rec, windowAt, (full >> 16) != window ? full : last};
      }
      // Stored before the checksum is known; a refused record puts the whole image back.
      for (std::uint32_t i = 0; i < data; ++i, p += 2) {
        const std::uint8_t b = hex::ReaderPair(p[0], p[1], bad);
        Store(at + i, b);
        sum = static_cast<std::uint8_t>(sum + b);
      }
    } else {
      for (std::uint32_t i = 0; i < data; ++i, p += 2)
        sum = static_cast<std::uint8_t>(sum + hex::ReaderPair(p[0], p[1], bad));
    }
    sum = static_cast<std::uint8_t>(sum + hex::ReaderPair(p[0], p[1], bad));
    p += 2;
    if (bad & hex::kBadDigit) return badDigit(3 + 2u * n);
    if (sum != 0xFF) return fail(ReadError::BadChecksum);
    if (type >= 1 && type <= 3) {
      if (data > 0) memStart_ = std::min(memStart_, at);
      memEnd_ = std::max(memEnd_, at + data);
    } else if (type == 0 || type == 5 || type == 9) {
      memEnd_ = std::max(memEnd_, at); // the address field, as these records always did
    }
    if (type >= 7) {
      ReadResult ended;
      ended.endRecord = true;
      return ended;
    }
  }
}

std::string FirmwareImage::SRecordText(std::uint32_t start, std::uint32_t end) const {
  static constexpr char kHeader[] = "S00B0000424F4F545F41534D80\r\n";
  // An image from a window above the first 64 KiB keeps its full addresses: S3 records, S7.
  const bool wide = window_ != 0;
  const char* const endRecord = wide ? "S70500000000FA\r\n" : "S9030000FC\r\n";
  const std::size_t endLength = std::strlen(endRecord);
  end = std::min(end, kImageSize);
  std::uint32_t a = start & 0xFFE0;
  const std::uint32_t records = a < end ? (end - a + 15) / 16 : 0;
  std::string out(sizeof kHeader - 1 + records * 48 + endLength, '\0');
  char* p = out.data();
  std::memcpy(p, kHeader, sizeof kHeader - 1);
  p += sizeof kHeader - 1;
  for (; a < end; a += 16) {
    const std::uint32_t full = window_ | a;
    const std::uint8_t count = wide ? 0x15 : 0x13;
    *p++ = 'S';
    *p++ = wide ? '3' : '1';
    p = hex::PutByte(p, count);
    std::uint8_t sum = count;
    for (int shift = wide ? 24 : 8; shift >= 0; shift -= 8) {
      const auto b = static_cast<std::uint8_t>(full >> shift);
      sum = static_cast<std::uint8_t>(sum + b);
      p = hex::PutByte(p, b);
    }
    for (std::uint32_t i = 0; i < 16; ++i) {
      const std::uint8_t b = image_[a + i];
      sum = static_cast<std::uint8_t>(sum + b);
      p = hex::PutByte(p, b);
    }
    p = hex::PutByte(p, static_cast<std::uint8_t>(0xFF - sum));
    *p++ = '\r';
    *p++ = '\n';
  }
  std::memcpy(p, endRecord, endLength);
  p += endLength;
  out.resize(static_cast<std::size_t>(p - out.data()));
  return out;
}

void FirmwareImage::SaveSRecords(const std::string& fileName) const {
  SaveSRecords(fileName, memStart_, memEnd_);
}

void FirmwareImage::SaveSRecords(const std::string& fileName, std::uint32_t start,
                                 std::uint32_t end) const {
  WriteTextFile(fileName, SRecordText(start, end));
}

} // namespace vk::image
