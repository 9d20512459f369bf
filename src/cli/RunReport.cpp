#include "cli/RunReport.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace vk::cli {

RunReport::RunReport(const std::string& path) : path_(path) {
  file_ = std::fopen(path.c_str(), "a");
  if (!file_) throw std::runtime_error(path + ": " + std::strerror(errno));
}

RunReport::~RunReport() {
  if (file_) std::fclose(file_);
}

bool RunReport::Append(const nlohmann::json& line) {
  if (!file_) return false;
  // Invalid UTF-8 in a file name must not lose the line: it is replaced, not thrown.
  const std::string text =
      line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  errno = 0;
  bool ok =
      std::fwrite(text.data(), 1, text.size(), file_) == text.size() && std::fflush(file_) == 0;
  // On the disk before the next module is touched; a pipe or terminal cannot be synced.
#ifdef _WIN32
  if (ok && ::_commit(::_fileno(file_)) != 0) ok = false;
#else
  if (ok && ::fsync(::fileno(file_)) != 0 && errno != EINVAL && errno != ENOTSUP) ok = false;
#endif
  if (!ok && failure_.empty())
    failure_ = path_ + ": " + (errno ? std::strerror(errno) : "write failed");
  return ok;
}

std::string RunReport::UtcNow() {
  char text[32] = "";
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
#ifdef _WIN32
  const bool ok = ::gmtime_s(&utc, &now) == 0;
#else
  const bool ok = ::gmtime_r(&now, &utc) != nullptr;
#endif
  if (ok) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string RunReport::Host() {
#ifdef _WIN32
  const char* name = std::getenv("COMPUTERNAME");
  return name ? name : "";
#else
  char name[256] = "";
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
#endif
}

} // namespace vk::cli
