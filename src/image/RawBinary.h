#pragma once
// Raw binary files, as avrdude and stm32flash users keep firmware: the bytes alone, with no
// address in them. Nothing in such a file says where it belongs, so it is never recognised by its
// content: the user names its address (vkprog --binary-base ADDR), and the bytes are read as the
// Intel HEX they amount to at that address, so that every rule of loading (the 64 KiB window,
// the refusals) holds for them as for any other file. Written, a range of the image is its bytes
// alone (an output name ending in ".bin").

#include <cstdint>
#include <string>
#include <vector>

namespace vk::image {

// Intel HEX text for the bytes at full address base onward: an extended linear address record
// for every 64 KiB window they reach, data records of 16 bytes, the end record.
std::string RawBinaryAsIntelHex(const std::vector<std::uint8_t>& bytes, std::uint32_t base);

// Whether a name asks for a raw binary file (it ends in ".bin", any case).
bool NamesRawBinary(const std::string& fileName);

// Writes image[start, end) as raw bytes. Throws FileWriteError.
void SaveRawBinary(const std::string& fileName, const std::uint8_t* image, std::uint32_t start,
                   std::uint32_t end);

} // namespace vk::image
