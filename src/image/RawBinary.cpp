#include "image/RawBinary.h"

#include "image/FirmwareImage.h"
#include "image/IntelHexRecord.h"
#include "image/TextFile.h"
#include "platform/Hex.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vk::image {

namespace {

void Record(std::string& out, std::uint8_t type, std::uint16_t addr, const std::uint8_t* data,
            std::size_t count) {
  AppendIntelHexRecord(out, type, addr, data, count);
  out += "\r\n";
}

} // namespace

std::string RawBinaryAsIntelHex(const std::vector<std::uint8_t>& bytes, std::uint32_t base) {
  std::string out;
  std::uint32_t window = 0xFFFFFFFFu;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::uint32_t addr = base + static_cast<std::uint32_t>(at);
    if ((addr >> 16) != window) {
      window = addr >> 16;
      const std::uint8_t upper[] = {static_cast<std::uint8_t>(window >> 8),
                                    static_cast<std::uint8_t>(window)};
      Record(out, 0x04, 0, upper, 2);
    }
    // A record never crosses into the next window.
    const std::size_t room = 0x10000 - (addr & 0xFFFF);
    const std::size_t count = std::min<std::size_t>({16, bytes.size() - at, room});
    Record(out, 0x00, static_cast<std::uint16_t>(addr), bytes.data() + at, count);
    at += count;
  }
  Record(out, 0x01, 0, nullptr, 0);
  return out;
}

bool NamesRawBinary(const std::string& fileName) { return NameEndsWith(fileName, ".bin"); }

void SaveRawBinary(const std::string& fileName, const std::uint8_t* image, std::uint32_t start,
                   std::uint32_t end) {
  std::FILE* out = std::fopen(fileName.c_str(), "wb");
  const std::size_t count = end > start ? end - start : 0;
  bool ok = out && std::fwrite(image + start, 1, count, out) == count;
  const int err = errno;
  if (out && std::fclose(out) != 0) ok = false;
  if (!ok) throw FileWriteError("Cannot write " + fileName + ": " + std::strerror(err));
}

} // namespace vk::image
