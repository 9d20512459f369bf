#include "cpu/Kernels.h"

#include "platform/ProgramFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vk::cpu {

namespace {

struct KernelInfo {
  const char* file;
  const char* caption;
  const char* usedFor;
};
constexpr KernelInfo kKernels[TProgKernel::kCount] = {
    {"kernelA.a20", "kernelA", "Used for QRE15 and QRE16"},
    {"kernelB.a20", "kernelB", "Used for QRE17, QRD14 and QRF18 II"},
    {"kernelC.a20", "kernelC", "Used for QRF18 III and QRG19"},
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The byte at 0-based position pos, or -1 when the pair is missing or not hexadecimal.
int PairAt(const std::string& line, std::size_t pos) {
  if (pos + 1 >= line.size()) return -1;
  const int hi = HexValue(line[pos]);
  const int lo = HexValue(line[pos + 1]);
  return (hi < 0 || lo < 0) ? -1 : hi * 16 + lo;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string cur;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(cur);
      cur.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

} // namespace

const char* TProgKernel::FileName(int number) {
  return (number >= 1 && number <= kCount) ? kKernels[number - 1].file : "";
}

std::vector<std::string> TProgKernel::DefaultFolders() {
  std::vector<std::string> folders;
  if (const char* dir = std::getenv("VKPROG_KERNEL_DIR"); dir && *dir) folders.push_back(dir);
  if (const std::string own = platform::ProgramFolder(); !own.empty()) {
    folders.push_back(own);
#ifndef _WIN32
    // Installed in PREFIX/bin (a package: /usr/bin), the kernels have a folder of their own,
    // PREFIX/share/vkprogrammer/kernels, where a site's kernel package or its admin puts them.
    if (std::filesystem::path(own).filename() == "bin")
      folders.push_back(
          (std::filesystem::path(own).parent_path() / "share/vkprogrammer/kernels").string());
#endif
  }
  return folders;
}

TProgKernel::TProgKernel(int number, const std::vector<std::string>& folders,
                         platform::IMessageBox* boxes)
    : number_(number) {
  KernelImage.fill(0xFF);
  if (number < 1 || number > kCount) return;
  const KernelInfo& info = kKernels[number - 1];

  for (const auto& folder : folders) {
    const std::string path = (std::filesystem::path(folder) / info.file).string();
    std::ifstream in(path, std::ios::binary);
    if (!in) continue;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) continue;
    Lines = SplitLines(text.str());
    path_ = path;
    loaded_ = true;
    break;
  }
  if (!loaded_) {
    if (boxes)
      boxes->Show(std::string("Can't open file\rThe '") + info.caption +
                      "' boot programming kernel will not be available\r" + info.usedFor,
                  info.caption, platform::MsgButtons::Ok, platform::MsgIcon::Warning);
    return;
  }
  if (Lines.size() > 1) ParseLines();
}

void TProgKernel::ParseLines() {
  bool first = true;
  for (const auto& line : Lines) ParseLine(line, first);
}

void TProgKernel::ParseLine(const std::string& line, bool& first) {
  if (line.size() < 2 || line[0] != 'S' || line[1] != '1') return;
  const int count = PairAt(line, 2);
  if (count < 0) return;
  const int hi = PairAt(line, 4);
  const int lo = hi < 0 ? -1 : PairAt(line, 6);
  if (lo < 0) return;
  const std::uint32_t addr = static_cast<std::uint32_t>(hi << 8 | lo);
  if (first || addr < MinAddr) MinAddr = static_cast<std::uint16_t>(addr);
  first = false;
  for (int i = 0; i < count - 3; ++i) {
    const std::uint32_t a = addr + static_cast<std::uint32_t>(i);
    if (a > 0xFFFF) return; // bytes past the top of the image are dropped
    const int b = PairAt(line, 8 + 2 * static_cast<std::size_t>(i));
    if (b < 0) return;
    KernelImage[a] = static_cast<std::uint8_t>(b);
  }
}

KernelSet::KernelSet(platform::IMessageBox* boxes, const std::vector<std::string>& folders) {
  for (int n = 1; n <= TProgKernel::kCount; ++n)
    kernels[n - 1] = std::make_unique<TProgKernel>(n, folders, boxes);
}

TProgKernel* KernelSet::Get(int number) const {
  return (number >= 1 && number <= TProgKernel::kCount) ? kernels[number - 1].get() : nullptr;
}

} // namespace vk::cpu
