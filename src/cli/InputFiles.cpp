#include "cli/InputFiles.h"

#include "app/BufferView.h"
#include "cli/Args.h"
#include "cli/CliMessageBox.h"
#include "cli/Commands.h"
#include "platform/OpenFlags.h"
#include "platform/RecordingMessageBox.h"

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
constexpr std::size_t kReadLimit = image::Tvkf::kFileDataSize + 1;

std::vector<std::uint8_t> ReadAll(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | platform::kOpenPrivate);
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

InputFiles::InputFiles(const std::vector<std::string>& files) : names_(files) {
  for (const auto& f : files) {
    struct stat st {};
    if (::stat(f.c_str(), &st) == 0)
      ids_.emplace_back(static_cast<unsigned long long>(st.st_dev),
                        static_cast<unsigned long long>(st.st_ino));
    else
      ids_.emplace_back(0, 0);
    bytes_.push_back(ReadAll(f));
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
    std::string name = app::BareFileName(files[i]);
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

bool InputFiles::AllFirmware(const std::string& command) const {
  // Every file must be firmware before anything goes to a device: a production line must not
  // program half an image because one file of several was misnamed.
  for (std::size_t i = 0; i < names_.size(); ++i) {
    platform::RecordingMessageBox quiet;
    image::Tvkf scratch(&quiet);
    if (scratch.LoadFromMemory(names_[i], bytes_[i].data(), bytes_[i].size()) !=
        image::ImageFormat::Unknown)
      continue;
    for (const auto& box : quiet.boxes)
      std::fprintf(stderr, "%s\n", CliMessageBox::Line(box.text, box.caption).c_str());
    Error(command + ": " + names_[i] + " is not firmware that vkprog can read; nothing was sent");
    return false;
  }
  return true;
}

void InputFiles::RefuseAsOutput(const std::string& option, const std::string& path) const {
  struct stat st {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  for (std::size_t i = 0; i < names_.size(); ++i) {
    const bool same =
        names_[i] == path || (exists && ids_[i].second != 0 &&
                              ids_[i].first == static_cast<unsigned long long>(st.st_dev) &&
                              ids_[i].second == static_cast<unsigned long long>(st.st_ino));
    if (same)
      throw UsageError(option + ": " + path + " is the firmware file " + names_[i] +
                       "; writing there would destroy it");
  }
}

} // namespace vk::cli
