// Motorola S-records with 16-bit addresses: first-record check, reader and writer.

#include "image/HexDigits.h"
#include "image/TextFile.h"
#include "image/vkf.h"

#include <algorithm>
#include <cstring>

namespace vk::image {

Tvkf::CheckResult Tvkf::CheckSRecords() {
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
  if (boxes_)
    boxes_->Show(msg::kNotSRecords, msg::kFormatError, platform::MsgButtons::Ok,
                 platform::MsgIcon::None);
  return CheckResult::FailWithMessage;
}

void Tvkf::ReadSRecords(std::uint32_t text, std::uint32_t available) {
  ResetRangeIfEmpty();
  if (text > codeSize_) return;
  available = std::min(available, codeSize_ - text);
  const std::uint8_t* p = fileData_.data() + text;
  const std::uint8_t* const end = p + available;
  std::uint8_t* const image = image_.data();

  for (;;) {
    p = static_cast<const std::uint8_t*>(std::memchr(p, 'S', static_cast<std::size_t>(end - p)));
    if (!p) return;
    ++p;
    if (end - p < 7) return; // type, count and address incomplete: nothing of it is stored
    const std::uint8_t type = hex::kReader.v[p[0]];
    const std::uint8_t n = hex::ReaderPair(p[1], p[2]);
    const std::uint8_t ah = hex::ReaderPair(p[3], p[4]);
    const std::uint8_t al = hex::ReaderPair(p[5], p[6]);
    p += 7;
    std::uint32_t a = (static_cast<std::uint32_t>(ah) << 8) | al;
    std::uint8_t sum = static_cast<std::uint8_t>(n + ah + al);
    const std::uint32_t data = n > 3 ? n - 3u : 0u;
    const std::uint32_t pairsLeft = static_cast<std::uint32_t>(end - p) / 2;

    if (type == 0) {
      if (pairsLeft < data + 1) return;
      for (std::uint32_t i = 0; i < data; ++i, p += 2)
        sum = static_cast<std::uint8_t>(sum + hex::ReaderPair(p[0], p[1]));
    } else if (type == 1) {
      // Data may reach 0xFFFF but never wraps: a record that would run past it is refused
      // whole and ends the reading.
      if (a + data > kImageSize) return;
      if (data > 0) memStart_ = std::min(memStart_, a);
      const std::uint32_t whole = std::min(data, pairsLeft);
      for (std::uint32_t i = 0; i < whole; ++i, p += 2) {
        const std::uint8_t b = hex::ReaderPair(p[0], p[1]);
        image[a++] = b;
        sum = static_cast<std::uint8_t>(sum + b);
      }
      if (whole < data || end - p < 2) { // the text ends inside the record
        memEnd_ = std::max(memEnd_, a);
        return;
      }
    } else if (end - p < 2) {
      return;
    }
    // Other types: the next byte is taken as the checksum.
    sum = static_cast<std::uint8_t>(sum + hex::ReaderPair(p[0], p[1]));
    p += 2;
    memEnd_ = std::max(memEnd_, a);
    if (sum != 0xFF || type == 9) return;
  }
}

std::string Tvkf::SRecordText(std::uint32_t start, std::uint32_t end) const {
  static constexpr char kHeader[] = "S00B0000424F4F545F41534D80\r\n";
  static constexpr char kEnd[] = "S9030000FC\r\n";
  end = std::min(end, kImageSize);
  std::uint32_t a = start & 0xFFE0;
  const std::uint32_t records = a < end ? (end - a + 15) / 16 : 0;
  std::string out(sizeof kHeader - 1 + records * 44 + sizeof kEnd - 1, '\0');
  char* p = out.data();
  std::memcpy(p, kHeader, sizeof kHeader - 1);
  p += sizeof kHeader - 1;
  for (; a < end; a += 16) {
    *p++ = 'S';
    *p++ = '1';
    p = hex::PutByte(p, 0x13);
    p = hex::PutByte(p, static_cast<std::uint8_t>(a >> 8));
    p = hex::PutByte(p, static_cast<std::uint8_t>(a));
    std::uint8_t sum = static_cast<std::uint8_t>(0x13 + (a >> 8) + a);
    for (std::uint32_t i = 0; i < 16; ++i) {
      const std::uint8_t b = image_[a + i];
      sum = static_cast<std::uint8_t>(sum + b);
      p = hex::PutByte(p, b);
    }
    p = hex::PutByte(p, static_cast<std::uint8_t>(0xFF - sum));
    *p++ = '\r';
    *p++ = '\n';
  }
  std::memcpy(p, kEnd, sizeof kEnd - 1);
  p += sizeof kEnd - 1;
  out.resize(static_cast<std::size_t>(p - out.data()));
  return out;
}

void Tvkf::SaveSRecords(const std::string& fileName) const {
  SaveSRecords(fileName, memStart_, memEnd_);
}

void Tvkf::SaveSRecords(const std::string& fileName, std::uint32_t start, std::uint32_t end) const {
  WriteTextFile(fileName, SRecordText(start, end));
}

} // namespace vk::image
