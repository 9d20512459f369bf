#include "app/BufferView.h"

#include "platform/Hex.h"
#include "protocol/Catalogue.h"

#include <algorithm>
#include <cstdio>

namespace vk::app {

using image::ImageFormat;

std::string BareFileName(const std::string& fileName) {
  // Both separators: names typed on Windows keep working.
  const auto cut = fileName.find_last_of("/\\");
  return cut == std::string::npos ? fileName : fileName.substr(cut + 1);
}

std::string RangeText(std::uint32_t memStart, std::uint32_t memEnd) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "Start= %04X, End= %04X", memStart, memEnd);
  return buf;
}

image::LoadResult LoadAndShow(image::FirmwareImage& vkf, const std::string& fileName,
                              BufferPageText& page, const std::function<void(int)>& selectByType) {
  page.source = "Source= " + BareFileName(fileName);
  page.info.clear();
  image::LoadResult result = vkf.LoadFromFile(fileName);
  switch (result.format) {
  case ImageFormat::Unknown:
    page.info.push_back("Unknown File");
    break;
  case ImageFormat::IntelHex:
    page.info.push_back("INTEL-HEX File.");
    break;
  case ImageFormat::SRecord:
    page.info.push_back("Motorola S-Record File.");
    break;
  case ImageFormat::Container: {
    page.info.clear();
    page.info.push_back("VKF Info:");
    page.info.push_back(vkf.MsgBuf());
    page.info.push_back("VKF Targets:");
    const auto& targets = vkf.TargetList();
    if (targets.Count() > 0 && selectByType)
      selectByType(programmer::TypeCodeOf(targets.Get(0).Value));
    for (std::uint32_t i = 0; i < targets.Count(); ++i) page.info.push_back(targets.Get(i).Name);
    break;
  }
  }
  page.range = RangeText(vkf.MemStart(), vkf.MemEnd());
  return result;
}

void ShowCleared(BufferPageText& page) {
  page.source = "Source=";
  page.info.clear();
  page.range = "Start=, End= ";
  page.files.clear();
}

std::string ShowMerged(BufferPageText& page, const BufferPageText& before,
                       const std::string& fileName, const image::FirmwareImage& fileOnly) {
  const std::string name = BareFileName(fileName);
  std::string earlier;
  for (const auto& f : before.files) earlier += (earlier.empty() ? "" : " + ") + f;
  page.files = before.files;
  // The same file loaded again keeps its place (what it no longer holds stays in the image).
  if (std::find(page.files.begin(), page.files.end(), name) == page.files.end()) {
    page.files.push_back(name);
    page.source = "Source= " + earlier + " + " + name;
  } else {
    page.source = before.source;
  }
  const std::string own = RangeText(fileOnly.MemStart(), fileOnly.MemEnd());
  const std::string kind = page.info.empty() ? std::string() : page.info.front() + " ";
  // What the image held stays described; the file merged into it is added.
  page.info = before.info;
  page.info.push_back("+ " + name + ": " + kind + own);
  return name + " (" + own + ") merged into the image of " + earlier + "; a run writes all of " +
         "it: " + page.range;
}

std::string ListingLine(std::uint32_t addr, const std::uint8_t* data) {
  std::string line;
  line.reserve(64);
  char head[8];
  std::snprintf(head, sizeof head, "%04X: ", addr & 0xFFFF);
  line += head;
  for (int i = 0; i < 16; ++i) {
    platform::AppendHexByte(line, data[i]);
    if (i == 3 || i == 11) line += ' ';
    if (i == 7) line += "  ";
  }
  line += "  ";
  for (int i = 0; i < 16; ++i)
    line += (data[i] >= 32 && data[i] <= 126) ? static_cast<char>(data[i]) : '.';
  return line;
}

std::string Listing(const std::uint8_t* image) {
  std::string out;
  out.reserve(kListingLines * 61);
  for (std::uint32_t line = 0; line < kListingLines; ++line) {
    out += ListingLine(line * 16, image + line * 16);
    out += '\n';
  }
  return out;
}

} // namespace vk::app
