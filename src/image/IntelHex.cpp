// Intel HEX: first-record check, reader and writer.

#include "image/HexDigits.h"
#include "image/TextFile.h"
#include "image/vkf.h"

#include <algorithm>
#include <cstring>

namespace vk::image {

Tvkf::CheckResult Tvkf::CheckIntelHex() {
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
  if (boxes_)
    boxes_->Show(msg::kNotIntelHex, msg::kFormatError, platform::MsgButtons::Ok,
                 platform::MsgIcon::None);
  return CheckResult::FailWithMessage;
}

void Tvkf::ReadIntelHex(std::uint32_t text, std::uint32_t available) {
  ResetRangeIfEmpty();
  if (text > codeSize_) return;
  available = std::min(available, codeSize_ - text);
  const std::uint8_t* p = fileData_.data() + text;
  const std::uint8_t* const end = p + available;
  std::uint8_t* const image = image_.data();

  for (;;) {
    p = static_cast<const std::uint8_t*>(std::memchr(p, ':', static_cast<std::size_t>(end - p)));
    if (!p) return;
    ++p;
    if (end - p < 8) return; // cut short before its data: nothing of it is stored
    const std::uint8_t n = hex::ReaderPair(p[0], p[1]);
    const std::uint8_t ah = hex::ReaderPair(p[2], p[3]);
    const std::uint8_t al = hex::ReaderPair(p[4], p[5]);
    const std::uint8_t type = hex::ReaderPair(p[6], p[7]);
    p += 8;
    std::uint32_t a = (static_cast<std::uint32_t>(ah) << 8) | al;
    std::uint8_t sum = static_cast<std::uint8_t>(n + ah + al + type);

    if (type != 0) {
      // Other records are not decoded further; extended addresses change nothing.
      memEnd_ = std::max(memEnd_, a);
      if (type == 1) return;
      continue;
    }
    // Data never wraps to the bottom of the image: a record that would run past 0xFFFF is
    // refused whole and ends the reading.
    if (a + n > kImageSize) return;
    memStart_ = std::min(memStart_, a);
    const std::uint32_t whole = std::min<std::uint32_t>(n, static_cast<std::uint32_t>(end - p) / 2);
    for (std::uint32_t i = 0; i < whole; ++i, p += 2) {
      const std::uint8_t b = hex::ReaderPair(p[0], p[1]);
      image[a++] = b;
      sum = static_cast<std::uint8_t>(sum + b);
    }
    memEnd_ = std::max(memEnd_, a);
    if (whole < n || end - p < 2) return; // the text ends inside the record
    sum = static_cast<std::uint8_t>(sum + hex::ReaderPair(p[0], p[1]));
    p += 2;
    if (sum != 0) return;
  }
}

std::string Tvkf::IntelHexText(std::uint32_t start, std::uint32_t end) const {
  end = std::min(end, kImageSize);
  std::uint32_t a = start & 0xFFC0;
  const std::uint32_t records = a < end ? (end - a + 31) / 32 : 0;
  std::string out(records * 77 + 13, '\0');
  char* p = out.data();
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

void Tvkf::SaveIntelHex(const std::string& fileName) const {
  SaveIntelHex(fileName, memStart_, memEnd_);
}

void Tvkf::SaveIntelHex(const std::string& fileName, std::uint32_t start, std::uint32_t end) const {
  WriteTextFile(fileName, IntelHexText(start, end));
}

} // namespace vk::image
