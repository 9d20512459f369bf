#include "image/Container.h"

#include "image/FirmwareImage.h"
#include "image/crc32.h"

#include <stdexcept>

namespace vk::image {

namespace {
void Put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
  out[at] = static_cast<std::uint8_t>(v);
  out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
  Put16(out, at, v & 0xFFFF);
  Put16(out, at + 2, v >> 16);
}
} // namespace

std::vector<std::uint8_t> BuildContainer(const ContainerContent& content) {
  using namespace container;
  if (content.message.find('\0') != std::string::npos)
    throw std::invalid_argument("the message may not contain a 0 byte");
  if (content.bodyFormat != 1 && content.bodyFormat != 2)
    throw std::invalid_argument("the body must be Intel HEX (1) or S-records (2)");

  const std::size_t targetOffset = kHeaderSize;
  const std::size_t messageOffset = targetOffset + 4 * content.targets.size();
  const std::size_t bodyOffset = messageOffset + content.message.size() + 1;
  if (bodyOffset > 0xFFFF)
    throw std::invalid_argument("target list and message exceed the 64 KiB the header can address");
  if (bodyOffset + content.body.size() > FirmwareImage::kFileDataSize)
    throw std::invalid_argument("the container would be larger than 1 MiB");

  std::vector<std::uint8_t> out(bodyOffset, 0);
  out[0] = 'V';
  out[1] = 'K';
  Put32(out, kVersionAt, content.version);
  Put16(out, kEditionAt, content.edition);
  Put16(out, kBodyFormatAt, content.bodyFormat);
  Put16(out, kTargetOffsetAt, static_cast<std::uint32_t>(targetOffset));
  Put16(out, kMessageOffsetAt, static_cast<std::uint32_t>(messageOffset));
  Put16(out, kBodyOffsetAt, static_cast<std::uint32_t>(bodyOffset));
  for (std::size_t i = 0; i < content.targets.size(); ++i)
    Put32(out, targetOffset + 4 * i, content.targets[i]);
  for (std::size_t i = 0; i < content.message.size(); ++i)
    out[messageOffset + i] = static_cast<std::uint8_t>(content.message[i]);
  out.insert(out.end(), content.body.begin(), content.body.end());

  // The values stored containers carry: each is the CRC of the region's first byte repeated.
  TCRC32 crc;
  Put32(out, kHeaderCheckAt, crc.Compute(out.data(), kHeaderCheckedBytes));
  const auto bodyLen = static_cast<std::uint32_t>(content.body.size());
  Put32(out, kBodyCheckAt, crc.Compute(out.data() + bodyOffset, bodyLen));
  return out;
}

} // namespace vk::image
