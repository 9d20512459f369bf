#pragma once
// Helpers for image tests: load texts without touching the disk, and temporary files.

#include "image/FirmwareImage.h"
#include "support/TempFolder.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace vk::test {

// The messages of the loads so far: what the window would show in boxes, in order.
struct Said {
  std::vector<image::ImageMessage> boxes;
  std::vector<std::string> Captions() const {
    std::vector<std::string> out;
    for (const auto& b : boxes) out.push_back(b.caption);
    return out;
  }
  void Reset() { boxes.clear(); }
};

struct LoadedImage {
  Said boxes;
  std::unique_ptr<image::FirmwareImage> vkf = std::make_unique<image::FirmwareImage>();

  image::ImageFormat Load(const std::string& text, const std::string& name = "test.file") {
    return Keep(
        vkf->LoadFromMemory(name, reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }
  image::ImageFormat LoadFile(const std::string& path) { return Keep(vkf->LoadFromFile(path)); }
  image::ImageFormat Keep(image::LoadResult r) {
    boxes.boxes.insert(boxes.boxes.end(), r.messages.begin(), r.messages.end());
    return r.format;
  }
  std::uint8_t At(std::uint32_t a) const { return vkf->Image()[a]; }

  // Loads `text` over what is loaded; "" when the load was refused whole, with everything as it
  // was and one "Damaged File" box naming the file and `line`, else what went wrong.
  std::string Refused(const std::string& text, std::uint32_t line,
                      const std::string& name = "bad.file") {
    const std::string before(reinterpret_cast<const char*>(vkf->Image()),
                             image::FirmwareImage::kImageSize);
    const auto start = vkf->MemStart(), end = vkf->MemEnd();
    const auto message = vkf->MsgBuf();
    const auto targets = vkf->TargetList().Count();
    const auto version = vkf->SW_Version();
    boxes.Reset();
    if (Load(text, name) != image::ImageFormat::Unknown) return "loaded";
    if (std::memcmp(before.data(), vkf->Image(), before.size()) != 0) return "image changed";
    if (vkf->MemStart() != start || vkf->MemEnd() != end) return "range changed";
    if (vkf->MsgBuf() != message || vkf->TargetList().Count() != targets ||
        vkf->SW_Version() != version)
      return "container data changed";
    if (boxes.boxes.size() != 1 || boxes.boxes[0].caption != image::msg::kDamagedFile)
      return "not one \"Damaged File\" box";
    const std::string& said = boxes.boxes[0].text;
    if (said.rfind(name + "\r\nLine " + std::to_string(line) + ": ", 0) != 0)
      return "the box says: " + said;
    return "";
  }
};

// A fresh temporary folder, removed with the object.
class TempDir {
public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vktest.XXXXXX").string();
    path_ = MakeTempFolder(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(File(name), std::ios::binary) << bytes;
    return File(name);
  }
  static std::string Read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  const std::filesystem::path& Path() const { return path_; }

private:
  std::filesystem::path path_;
};

} // namespace vk::test
