#pragma once
// What the Buffer page says about the loaded image, and the hexadecimal listing of the whole
// image, independent of any toolkit: the window and vkprog show the same texts.

#include "image/FirmwareImage.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vk::app {

struct BufferPageText {
  std::string source;            // "Source= NAME", or "Source= A + B" for files merged
  std::vector<std::string> info; // the information memo, one item per line
  std::string range;             // "Start= XXXX, End= XXXX"
  // The window: the files whose data is in the image, in load order (a container, a read from a
  // module or Clear starts the list again).
  std::vector<std::string> files;
};

// The window: a file in Intel HEX or S-records was loaded into an image that held data already,
// and merged with it. The page names every file and the whole range; the text returned is the
// log's line about it. fileOnly: the image with that file alone (its own range).
std::string ShowMerged(BufferPageText& page, const BufferPageText& before,
                       const std::string& fileName, const image::FirmwareImage& fileOnly);

// Loads a file into the image and describes it. When a container with targets is loaded,
// selectByType is called with the type code of its first target (bits 24..31).
// The result's messages are the caller's to show (ShowMessages, or vkprog's stderr).
image::LoadResult LoadAndShow(image::FirmwareImage& vkf, const std::string& fileName,
                              BufferPageText& page,
                              const std::function<void(int)>& selectByType = {});

// The page after Clear.
void ShowCleared(BufferPageText& page);

// The file's name without its folders, as the source label shows it.
std::string BareFileName(const std::string& fileName);
std::string RangeText(std::uint32_t memStart, std::uint32_t memEnd);

inline constexpr std::uint32_t kListingLines = 4096;
// One line of the listing for the 16 bytes at data, labelled with addr.
std::string ListingLine(std::uint32_t addr, const std::uint8_t* data);
// All 4,096 lines, each followed by '\n'.
std::string Listing(const std::uint8_t* image);

} // namespace vk::app
