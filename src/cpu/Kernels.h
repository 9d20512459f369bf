#pragma once
// The H8 boot programming kernels: small S-record programs beside the executable that the H8
// boot protocol downloads into the chip before the firmware. Each is read once at start-up.

#include "platform/MessageBox.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vk::cpu {

class TProgKernel {
public:
  static constexpr int kCount = 3;

  // number: 1 kernelA (H8/3672), 2 kernelB (H8/3664), 3 kernelC (H8/3687); any other number
  // gives an empty kernel. folders: where to look for the file, in order. A missing file is
  // announced through boxes (may be null).
  TProgKernel(int number, const std::vector<std::string>& folders, platform::IMessageBox* boxes);

  // Parses kernel text already read; exposed for tests and fuzzing.
  void ParseLines();

  static const char* FileName(int number);
  // The folders searched by default: $VKPROG_KERNEL_DIR when set, then the executable's folder,
  // then (not on Windows) PREFIX/share/vkprogrammer/kernels when the executable is in PREFIX/bin.
  static std::vector<std::string> DefaultFolders();

  int Number() const { return number_; }
  bool Loaded() const { return loaded_; }
  const std::string& Path() const { return path_; }

  std::uint16_t MinAddr = 0; // lowest S1 address read; 0 when none was
  std::array<std::uint8_t, 0x10000> KernelImage;
  std::vector<std::string> Lines;

private:
  void ParseLine(const std::string& line, bool& first);

  int number_;
  bool loaded_ = false;
  std::string path_;
};

// The three kernels, created in order 1, 2, 3 (so their warnings appear in that order).
struct KernelSet {
  explicit KernelSet(platform::IMessageBox* boxes,
                     const std::vector<std::string>& folders = TProgKernel::DefaultFolders());
  // Kernel by number 1..3, or null.
  TProgKernel* Get(int number) const;

  std::array<std::unique_ptr<TProgKernel>, TProgKernel::kCount> kernels;
};

} // namespace vk::cpu
