#include "cli/InputFiles.h"

#include "image/RawBinary.h"

#include "app/BufferView.h"
#include "cli/Args.h"
#include "cli/CliMessageBox.h"
#include "cli/Commands.h"
#include "platform/OpenFlags.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace vk::cli {

namespace {

// One byte more than a firmware file may have, so the loader still says "too large".
constexpr std::size_t kReadLimit = image::FirmwareImage::kFileDataSize + 1;

// A pipe the shell made (/dev/stdin from a pipe, <(...)): it has its writer already. A named
// pipe may have none, and opening it would wait for one for good.
bool AnonymousPipe(const std::string& path) {
#ifndef _WIN32
  std::string at = path;
  for (int hops = 0; hops < 8; ++hops) {
    char target[256];
    const ssize_t n = ::readlink(at.c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    if (std::strncmp(target, "pipe:[", 6) == 0) return true;
    at = target[0] == '/' ? std::string(target)
                          : std::filesystem::path(at).parent_path().string() + "/" + target;
  }
#else
  (void)path;
#endif
  return false;
}

// Only what can be read to its end without waiting on someone: a file, or a pipe with its writer.
void RefuseWhatIsNotAFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return; // the open says why
  if (S_ISDIR(st.st_mode)) throw std::runtime_error(path + ": is a directory, not a firmware file");
  if (S_ISREG(st.st_mode)) return;
#ifndef _WIN32
  if (S_ISFIFO(st.st_mode) && AnonymousPipe(path)) return;
  const char* what = S_ISFIFO(st.st_mode)  ? "a named pipe"
                     : S_ISCHR(st.st_mode) ? "a terminal or device"
                                           : "a special file";
#else
  const char* what = "a device";
#endif
  throw std::runtime_error(path + ": not a regular file (" + what + ")");
}

std::vector<std::uint8_t> ReadAll(const std::string& path) {
  const bool standardInput = path == "-";
  if (standardInput && ::isatty(0))
    throw std::runtime_error("-: standard input is a terminal; pipe the firmware in (< FILE)");
  if (!standardInput) RefuseWhatIsNotAFile(path);
  const int fd = standardInput ? ::dup(0) : ::open(path.c_str(), O_RDONLY | platform::kOpenPrivate);
  if (fd < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
  std::vector<std::uint8_t> bytes(kReadLimit);
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw std::runtime_error(path + ": " + std::strerror(error));
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  bytes.resize(got);
  return bytes;
}

} // namespace

InputFiles::InputFiles(const std::vector<std::string>& files,
                       std::optional<std::uint32_t> binaryBase)
    : names_(files) {
  for (const auto& f : files) {
    bytes_.push_back(ReadAll(f));
    if (binaryBase) {
      const std::string text = image::RawBinaryAsIntelHex(bytes_.back(), *binaryBase);
      bytes_.back().assign(text.begin(), text.end());
    }
  }
#ifdef _WIN32
  // No mkdtemp here: a name of the process and a counter, taken only if it did not exist.
  std::error_code ec;
  const auto base = std::filesystem::temp_directory_path(ec);
  std::string pattern;
  for (int n = 0; pattern.empty() && n < 1000; ++n) {
    const auto candidate =
        base / ("vkprog." + std::to_string(::_getpid()) + "." + std::to_string(n));
    if (std::filesystem::create_directory(candidate, ec)) pattern = candidate.string();
  }
  if (pattern.empty())
    throw std::runtime_error("cannot make a folder for the files' copies: " + ec.message());
#else
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vkprog.XXXXXX";
  if (!::mkdtemp(pattern.data()))
    throw std::runtime_error("cannot make a folder for the files' copies: " +
                             std::string(std::strerror(errno)));
#endif
  folder_ = pattern;
  for (std::size_t i = 0; i < files.size(); ++i) {
    // The loader names the file in the Buffer page by its last part; keep it.
    std::string name = files[i] == "-" ? "stdin" : app::BareFileName(files[i]);
    if (name.empty() || name == "." || name == "..") name = "firmware";
    const std::string dir = folder_ + "/" + std::to_string(i + 1);
    const std::string copy = dir + "/" + name;
    std::FILE* out = nullptr;
    if (std::error_code made; std::filesystem::create_directory(dir, made))
      out = std::fopen(copy.c_str(), "wb");
    const bool written =
        out && std::fwrite(bytes_[i].data(), 1, bytes_[i].size(), out) == bytes_[i].size();
    if (out && std::fclose(out) != 0) out = nullptr;
    if (!written || !out)
      throw std::runtime_error("cannot keep a copy of " + files[i] + " in " + folder_ + ": " +
                               std::strerror(errno));
    copies_.push_back(copy);
  }
}

InputFiles::~InputFiles() {
  if (folder_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

bool InputFiles::AllFirmware(const std::string& command, std::string* reason) const {
  // Every file must be firmware before anything goes to a device: a production line must not
  // program half an image because one file of several was misnamed.
  for (std::size_t i = 0; i < names_.size(); ++i) {
    image::FirmwareImage scratch;
    const image::LoadResult loaded =
        scratch.LoadFromMemory(names_[i], bytes_[i].data(), bytes_[i].size());
    if (loaded.format != image::ImageFormat::Unknown) continue;
    for (const auto& m : loaded.messages)
      std::fprintf(stderr, "%s\n", CliMessageBox::Line(m.text, m.caption).c_str());
    const std::string why = names_[i] + " is not firmware that vkprog can read; nothing was sent";
    Error(command + ": " + why);
    if (reason) *reason = why;
    return false;
  }
  return true;
}

void InputFiles::RefuseAsOutput(const std::string& option, const std::string& path,
                                const std::vector<std::string>& files) {
  for (const auto& name : files)
    if (SameFile(name, path))
      throw UsageError(option + ": " + path + " is the firmware file " + name +
                       "; writing there would destroy it");
  // Said before anything is sent, naming the option, rather than as a bare "Is a directory"
  // once the run has begun.
  if (std::error_code ec; std::filesystem::is_directory(path, ec))
    throw std::runtime_error(option + ": " + path + " is a directory; name a file in it");
}

std::optional<std::uint32_t> ReadBinaryBase(const Args& args,
                                            const std::vector<std::string>& files) {
  const auto text = args.Value("binary-base");
  if (!text) return std::nullopt;
  // A raw file holds no address: two of them would both claim the one given.
  if (files.size() != 1)
    throw UsageError("--binary-base places one raw binary file; name exactly one");
  return static_cast<std::uint32_t>(ParseNumber(*text, "--binary-base", 0xFFFFFFFF));
}

bool Exists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool SameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  struct stat sa {
  }, sb{};
  if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  // Not both there yet: where each name would lead, its links followed.
  const auto place = [](std::string name) {
    std::error_code ec;
    for (int hops = 0; hops < 8 && std::filesystem::is_symlink(name, ec); ++hops) {
      const auto target = std::filesystem::read_symlink(name, ec);
      if (ec) break;
      name = target.is_absolute() ? target.string()
                                  : (std::filesystem::path(name).parent_path() / target).string();
    }
    const auto full = std::filesystem::weakly_canonical(std::filesystem::absolute(name, ec), ec);
    return full.lexically_normal().string();
  };
  return place(a) == place(b);
}

} // namespace vk::cli
