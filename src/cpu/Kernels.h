#pragma once
// The H8 boot programming kernels: small S-record programs beside the executable that the H8
// boot protocol downloads into the chip before the firmware. Each is read once at start-up, and
// counts as loaded only when it is a kernel: well-formed S-records whose S1 data covers exactly
// the kSize bytes the boot mode takes from the lowest address on.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vk::cpu {

// The warning of a kernel that is not loaded, as the window shows it in a warning box (caption
// and text are the program's own) and vkprog as "CAPTION: TEXT". The kernels show nothing.
struct KernelMessage {
  std::string text;
  std::string caption;
  std::string file; // the kernel's file name ("kernelB.a20")
};

class BootKernel {
public:
  static constexpr int kCount = 3;
  // The bytes the boot mode takes as the kernel, from MinAddr on.
  static constexpr int kSize = 1024;

  // number: 1 kernelA (H8/3672), 2 kernelB (H8/3664), 3 kernelC (H8/3687); any other number
  // gives an empty kernel. folders: where to look for the file, in order.
  BootKernel(int number, const std::vector<std::string>& folders);

  // Parses kernel text already read and judges it (Problem); exposed for tests and fuzzing.
  void ParseLines();

  static const char* FileName(int number);
  // The folders searched by default: $VKPROG_KERNEL_DIR when set, then the executable's folder,
  // then (not on Windows) PREFIX/share/vkprogrammer/kernels when the executable is in PREFIX/bin.
  static std::vector<std::string> DefaultFolders();

  int Number() const { return number_; }
  // Found, read and a kernel: the only kernels a run may send.
  bool Loaded() const { return problem_.empty(); }
  // Why the kernel is not loaded ("" when it is): "not found", or what is wrong with the file at
  // Path, e.g. "no S1 data (empty file)".
  const std::string& Problem() const { return problem_; }
  // The same as one phrase that names the file: "boot kernel /opt/vk/kernelB.a20: no S1 data
  // (empty file)", or "boot kernel kernelB.a20 was not found".
  std::string ProblemText() const;
  // The warning for the user when a kernel 1..3 is not loaded; none when it is.
  std::optional<KernelMessage> Warning() const;
  // The file read; empty when none was found.
  const std::string& Path() const { return path_; }

  std::uint16_t MinAddr = 0; // lowest S1 address read; 0 when none was
  std::array<std::uint8_t, 0x10000> KernelImage;
  std::vector<std::string> Lines;

private:
  int number_;
  std::string path_;
  std::string problem_ = "not found";
};

// The three kernels, read in order 1, 2, 3.
struct KernelSet {
  explicit KernelSet(const std::vector<std::string>& folders = BootKernel::DefaultFolders());
  // Kernel by number 1..3, or null.
  BootKernel* Get(int number) const;
  // The warnings of the kernels not loaded, in order 1, 2, 3.
  std::vector<KernelMessage> Warnings() const;

  std::array<std::unique_ptr<BootKernel>, BootKernel::kCount> kernels;
};

} // namespace vk::cpu
