#pragma once

#include <string>

namespace vk::image {

// Writes the whole text in one go, replacing an existing file. A regular file is replaced only
// once the new text is completely on disk, so a failed write never destroys the old file.
// Throws FileWriteError naming the file and the reason.
void WriteTextFile(const std::string& fileName, const std::string& text);

} // namespace vk::image
