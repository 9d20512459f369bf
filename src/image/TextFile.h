#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace vk::image {

// Whether a file name ends in `ending` (lower case), in any case: the name decides what a file
// is written as.
inline bool NameEndsWith(const std::string& fileName, std::string_view ending) {
  if (fileName.size() < ending.size()) return false;
  for (std::size_t i = 0; i < ending.size(); ++i) {
    const auto c = static_cast<unsigned char>(fileName[fileName.size() - ending.size() + i]);
    if (std::tolower(c) != ending[i]) return false;
  }
  return true;
}

// Writes the whole text in one go, replacing an existing file. A regular file is replaced only
// once the new text is completely on disk, so a failed write never destroys the old file.
// Throws FileWriteError naming the file and the reason.
void WriteTextFile(const std::string& fileName, const std::string& text);

} // namespace vk::image
