#pragma once
// The firmware files of a link command, each read exactly once: standard input, a pipe or a
// process substitution can be read only once, and a file that changes between a check and the
// load must not be programmed half old, half new. What was read is checked and kept in private
// copies, which the session then loads under the files' own names.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vk::cli {

class InputFiles {
public:
  // Reads every file ("-": standard input). With binaryBase, each file is raw binary placed
  // from that full address on (kept as the Intel HEX it amounts to). Throws std::runtime_error
  // when one cannot be read.
  explicit InputFiles(const std::vector<std::string>& files,
                      std::optional<std::uint32_t> binaryBase = std::nullopt);
  ~InputFiles();
  InputFiles(const InputFiles&) = delete;
  InputFiles& operator=(const InputFiles&) = delete;

  // Each file is firmware vkprog can read; if not, says which one on stderr and returns false
  // (and why in *reason, when given).
  bool AllFirmware(const std::string& command, std::string* reason = nullptr) const;
  // The copies to load, in order; each bears its file's own name (in a folder of its own).
  const std::vector<std::string>& Copies() const { return copies_; }
  const std::vector<std::string>& Names() const { return names_; }
  const std::vector<std::uint8_t>& Bytes(std::size_t i) const { return bytes_[i]; }

  // Throws UsageError when path is one of the files (an output there would destroy it), and
  // std::runtime_error when it is a directory.
  // Decided by the names, before any file is read.
  static void RefuseAsOutput(const std::string& option, const std::string& path,
                             const std::vector<std::string>& files);

private:
  std::vector<std::string> names_;
  std::vector<std::vector<std::uint8_t>> bytes_;
  std::string folder_;
  std::vector<std::string> copies_;
};

// --binary-base ADDR: the address of the one raw binary file given (nothing without the option).
// Throws UsageError for a bad address or other than one file.
class Args;
std::optional<std::uint32_t> ReadBinaryBase(const Args& args,
                                            const std::vector<std::string>& files);

// Whether two names lead to the same file: the same file on disk, or, for files not yet made,
// the same place once "./", ".." and symbolic links are followed.
bool SameFile(const std::string& a, const std::string& b);
// Whether something (a file, a device, a folder) is there under this name.
bool Exists(const std::string& path);

} // namespace vk::cli
