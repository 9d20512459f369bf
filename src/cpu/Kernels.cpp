#include "cpu/Kernels.h"

#include "platform/ProgramFolder.h"
#include "protocol/Catalogue.h"
#include "protocol/ProtocolBase.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vk::cpu {

namespace {

using programmer::HexDigits;

struct KernelInfo {
  const char* file;
  const char* caption;
};
constexpr KernelInfo kKernels[BootKernel::kCount] = {
    {"kernelA.a20", "kernelA"},
    {"kernelB.a20", "kernelB"},
    {"kernelC.a20", "kernelC"},
};

// "Used for QRE15, QRE16 and H8/3672": the catalogue's entries that load this kernel.
std::string UsedFor(int number) {
  std::vector<std::string_view> names;
  for (const auto& e : programmer::Catalogue())
    if (e.KernelNo == number) names.push_back(e.Name);
  std::string text = "Used for ";
  for (std::size_t i = 0; i < names.size(); ++i)
    text += std::string(i == 0                  ? ""
                        : i + 1 == names.size() ? " and "
                                                : ", ") +
            std::string(names[i]);
  return names.empty() ? std::string("Used by no entry") : text;
}

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

// The bytes of an S-record line from its count on (count, address, data, checksum), or why the
// line is none: "is not an S-record", "has a wrong checksum".
std::string DecodeRecord(const std::string& line, std::vector<std::uint8_t>& bytes) {
  static constexpr int kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
  std::string text = line;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  if (text.size() < 4 || text[0] != 'S' || text[1] < '0' || text[1] > '9' || text[1] == '4' ||
      text.size() % 2 != 0)
    return "is not an S-record";
  for (std::size_t pos = 2; pos < text.size(); pos += 2) {
    const int b = PairAt(text, pos);
    if (b < 0) return "is not an S-record";
    bytes.push_back(static_cast<std::uint8_t>(b));
  }
  const int addressBytes = kAddressBytes[text[1] - '0'];
  if (bytes[0] + 1u != bytes.size() || bytes[0] < addressBytes + 1)
    return "is not an S-record (its length does not match its count)";
  unsigned sum = 0;
  for (const auto b : bytes) sum += b;
  if ((sum & 0xFF) != 0xFF) return "has a wrong checksum";
  return {};
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

const char* BootKernel::FileName(int number) {
  return (number >= 1 && number <= kCount) ? kKernels[number - 1].file : "";
}

std::vector<std::string> BootKernel::DefaultFolders() {
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

BootKernel::BootKernel(int number, const std::vector<std::string>& folders) : number_(number) {
  KernelImage.fill(0xFF);
  if (number < 1 || number > kCount) return;
  const KernelInfo& info = kKernels[number - 1];

  // The first folder that holds the name decides: a bad file there is reported, not passed over
  // for another folder's.
  for (const auto& folder : folders) {
    const std::string path = (std::filesystem::path(folder) / info.file).string();
    std::error_code error;
    if (!std::filesystem::exists(path, error)) continue;
    path_ = path;
    if (std::filesystem::is_directory(path, error)) {
      problem_ = "is a folder, not a file";
      break;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in) text << in.rdbuf();
    if (!in || in.bad()) {
      problem_ = "could not be read";
      break;
    }
    Lines = SplitLines(text.str());
    ParseLines();
    break;
  }
}

std::optional<KernelMessage> BootKernel::Warning() const {
  if (Loaded() || number_ < 1 || number_ > kCount) return std::nullopt;
  const KernelInfo& info = kKernels[number_ - 1];
  return KernelMessage{(path_.empty() ? std::string("Can't open file") : ProblemText()) +
                           "\rThe '" + info.caption +
                           "' boot programming kernel will not be available\r" + UsedFor(number_),
                       info.caption, info.file};
}

std::string BootKernel::ProblemText() const {
  if (path_.empty()) return std::string("boot kernel ") + FileName(number_) + " was not found";
  return "boot kernel " + path_ + ": " + problem_;
}

void BootKernel::ParseLines() {
  MinAddr = 0;
  KernelImage.fill(0xFF);
  std::vector<bool> given(0x10000, false);
  std::size_t pastTop = 0; // data bytes whose address lies above 0xFFFF
  bool anyData = false;
  int lineNo = 0;
  for (const auto& line : Lines) {
    ++lineNo;
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    std::vector<std::uint8_t> bytes;
    if (const std::string why = DecodeRecord(line, bytes); !why.empty()) {
      problem_ = "line " + std::to_string(lineNo) + " " + why;
      return;
    }
    if (line[1] == '2' || line[1] == '3') {
      problem_ = "line " + std::to_string(lineNo) + " holds S" + line[1] +
                 " data; the boot mode takes S1 records only";
      return;
    }
    if (line[1] != '1') continue; // header, count and start records carry no kernel bytes
    const std::uint32_t addr = static_cast<std::uint32_t>(bytes[1] << 8 | bytes[2]);
    if (!anyData || addr < MinAddr) MinAddr = static_cast<std::uint16_t>(addr);
    anyData = true;
    for (std::size_t i = 3; i + 1 < bytes.size(); ++i) {
      const std::uint32_t a = addr + static_cast<std::uint32_t>(i - 3);
      if (a > 0xFFFF) {
        ++pastTop;
        continue;
      }
      KernelImage[a] = bytes[i];
      given[a] = true;
    }
  }
  if (!anyData) {
    problem_ = Lines.empty() ? "no S1 data (empty file)" : "no S1 data";
    return;
  }
  const std::uint32_t top = MinAddr + static_cast<std::uint32_t>(kSize); // one past the area
  std::size_t inside = 0, outside = pastTop;
  for (std::uint32_t a = MinAddr; a <= 0xFFFF; ++a)
    if (given[a]) ++(a < top ? inside : outside);
  const std::string area = std::to_string(kSize) + " bytes from " + HexDigits(MinAddr, 4) + " to " +
                           HexDigits(top - 1, 4);
  if (inside < static_cast<std::size_t>(kSize))
    problem_ = "its S1 data covers " + std::to_string(inside) + " of the " + area;
  else if (outside > 0)
    problem_ =
        "its S1 data reaches past " + HexDigits(top - 1, 4) + ": the boot mode takes the " + area;
  else
    problem_.clear();
}

KernelSet::KernelSet(const std::vector<std::string>& folders) {
  for (int n = 1; n <= BootKernel::kCount; ++n)
    kernels[n - 1] = std::make_unique<BootKernel>(n, folders);
}

std::vector<KernelMessage> KernelSet::Warnings() const {
  std::vector<KernelMessage> warnings;
  for (const auto& kernel : kernels)
    if (auto warning = kernel->Warning()) warnings.push_back(std::move(*warning));
  return warnings;
}

BootKernel* KernelSet::Get(int number) const {
  return (number >= 1 && number <= BootKernel::kCount) ? kernels[number - 1].get() : nullptr;
}

} // namespace vk::cpu
