#include "programmer/JsonLinesReport.h"

#include "protocol/RunOutcome.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace vk::programmer {

// Several stations of a line may append to one report at the same time: the file is opened for
// appending only, and every line goes to the system in one write, which the system puts whole
// at the end of the file (POSIX O_APPEND; on Windows an append-only handle).
JsonLinesFile::JsonLinesFile(const std::string& path) : path_(path) {
#ifdef _WIN32
  const HANDLE h = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    throw std::runtime_error(path + ": cannot be opened for appending (error " +
                             std::to_string(::GetLastError()) + ")");
  handle_ = h;
#else
  fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
#endif
}

JsonLinesFile::~JsonLinesFile() {
#ifdef _WIN32
  if (handle_) ::CloseHandle(static_cast<HANDLE>(handle_));
#else
  if (fd_ >= 0) ::close(fd_);
#endif
}

bool JsonLinesFile::Append(const nlohmann::json& line) {
  // Invalid UTF-8 in a file name must not lose the line: it is replaced, not thrown.
  const std::string text =
      line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  std::string why;
#ifdef _WIN32
  DWORD written = 0;
  const bool ok = ::WriteFile(static_cast<HANDLE>(handle_), text.data(),
                              static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size() && ::FlushFileBuffers(static_cast<HANDLE>(handle_));
  if (!ok) why = "write failed (error " + std::to_string(::GetLastError()) + ")";
#else
  errno = 0;
  const ssize_t n = ::write(fd_, text.data(), text.size());
  bool ok = n == static_cast<ssize_t>(text.size());
  if (!ok) why = n < 0 ? std::strerror(errno) : "only part of the line was written";
  // On the disk before the next module is touched; a pipe or terminal cannot be synced.
  if (ok && ::fsync(fd_) != 0 && errno != EINVAL && errno != ENOTSUP) {
    ok = false;
    why = std::strerror(errno);
  }
#endif
  if (!ok && failure_.empty()) failure_ = path_ + ": " + why;
  return ok;
}

std::string JsonLinesFile::UtcNow() {
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

std::string JsonLinesFile::Host() {
#ifdef _WIN32
  const char* name = std::getenv("COMPUTERNAME");
  return name ? name : "";
#else
  char name[256] = "";
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
#endif
}

const char* ResultWord(RunResult result) {
  switch (result) {
  case RunResult::Programmed:
    return "programmed";
  case RunResult::Erased:
    return "erased";
  case RunResult::Failed:
    return "failed";
  case RunResult::Blank:
    return "blank";
  case RunResult::NotBlank:
    return "not blank";
  case RunResult::Read:
    return "read";
  case RunResult::Same:
    return "same";
  case RunResult::Identified:
    return "identified";
  }
  return "failed";
}

bool IsReportLine(const std::string& text) {
  const auto line = nlohmann::json::parse(text, nullptr, false);
  if (!line.is_object()) return false;
  for (const char* field : {"time", "host", "command"})
    if (!line.contains(field) || !line[field].is_string()) return false;
  return true;
}

nlohmann::json JsonLine(const RunRecord& r) {
  using nlohmann::json;
  const auto orNull = [](const auto& v) { return v ? json(*v) : json(); };
  const auto& image = r.image;
  json line = {{"time", r.time},
               {"host", r.host},
               {"command", r.command},
               {"port", r.port},
               {"device", r.device.empty() ? json() : json(r.device)},
               {"address", r.address},
               {"detected_type", orNull(r.detectedType)},
               {"entry", r.entry},
               {"files", r.files},
               {"crc32", image ? json(HexDigits(image->crc32, 8)) : json()},
               {"range_start", image ? json(HexDigits(image->start, image->digits)) : json()},
               {"range_end", image ? json(HexDigits(image->end, image->digits)) : json()},
               {"bytes", r.bytes},
               {"result", r.result},
               {"reason", r.reason.empty() ? json() : json(r.reason)},
               {"duration_s", std::round(r.seconds * 1000) / 1000},
               {"bit_rate", orNull(r.bitRate)},
               {"verified", r.verified}};
  if (r.canNode) line["can_node"] = *r.canNode;
  if (!r.checkedRange.empty()) line["checked_range"] = r.checkedRange;
  if (!r.warning.empty()) line["warning"] = r.warning;
  return line;
}

} // namespace vk::programmer
