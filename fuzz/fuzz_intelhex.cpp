// The Intel HEX reader alone on arbitrary text.

#include "ReaderTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return vk::fuzz::RunReaderTarget(data, size, &vk::image::FirmwareImage::ReadIntelHex, true);
}
