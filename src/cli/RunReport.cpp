#include "cli/RunReport.h"

#include "cli/LinkSession.h"
#include "cli/OutputGuard.h"
#include "platform/Native.h"
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

namespace vk::cli {

// Several stations of a line may append to one report at the same time: the file is opened for
// appending only, and every line goes to the system in one write, which the system puts whole
// at the end of the file (POSIX O_APPEND; on Windows an append-only handle).
RunReport::RunReport(const std::string& path, const std::string& port) : path_(path) {
  RefuseForeignOutput("--report", path, OutputKind::Report, port);
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

RunReport::~RunReport() {
#ifdef _WIN32
  if (handle_) ::CloseHandle(static_cast<HANDLE>(handle_));
#else
  if (fd_ >= 0) ::close(fd_);
#endif
}

bool RunReport::Append(const nlohmann::json& line) {
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

using programmer::HexDigits;

ProgramReport::ProgramReport(const std::string& path, const std::string& entry,
                             std::vector<std::string> files, const std::string& port)
    : file_(path, port), entry_(entry), files_(std::move(files)), port_(port) {}

void ProgramReport::SetImage(std::uint32_t crc32, std::uint32_t start, std::uint32_t end,
                             int digits) {
  crc32_ = crc32;
  start_ = start;
  end_ = end;
  digits_ = digits;
}

void ProgramReport::SetLink(const std::string& port, const std::string& device,
                            std::optional<int> canNode) {
  port_ = port;
  device_ = device;
  canNode_ = canNode;
}

void ProgramReport::NamePort(const std::string& portText) {
  try {
    const platform::NativeSettings store;
    const ReadOnlySettings settings(store);
    std::vector<std::string> problems; // said by the session that opens the port
    const PortChoice port = ResolvePort(portText, platform::NativePortMap(&settings, &problems));
    port_ = port.Name();
    device_ = port.device;
  } catch (const std::exception&) {
    port_ = portText; // the session says why it names no port
  }
}

void ProgramReport::Add(const Module& m) {
  done_.insert(m.address);
  using nlohmann::json;
  const auto orNull = [](const auto& v) { return v ? json(*v) : json(); };
  // The image's CRC-32 and range only where this module's run covered them whole: a check, an
  // erase or a failure wrote or compared something else, or nothing.
  const bool covered =
      crc32_ && (m.result == "programmed" || m.result == "same" || m.result == "read");
  json line = {{"time", RunReport::UtcNow()},
               {"host", RunReport::Host()},
               {"command", command_},
               {"port", port_},
               {"device", device_.empty() ? json() : json(device_)},
               {"address", m.address},
               {"detected_type", orNull(m.detectedType)},
               {"entry", entry_},
               {"files", files_},
               {"crc32", covered ? json(HexDigits(*crc32_, 8)) : json()},
               {"range_start", covered ? json(HexDigits(start_, digits_)) : json()},
               {"range_end", covered ? json(HexDigits(end_, digits_)) : json()},
               {"bytes", m.bytes},
               {"result", m.result},
               {"reason", m.reason.empty() ? json() : json(m.reason)},
               {"duration_s", std::round(m.seconds * 1000) / 1000},
               {"bit_rate", orNull(m.bitRate)},
               {"verified", m.verified}};
  if (canNode_) line["can_node"] = *canNode_;
  if (!m.checkedRange.empty()) line["checked_range"] = m.checkedRange;
  if (!warning_.empty()) line["warning"] = warning_;
  file_.Append(line);
}

void ProgramReport::FailTheRest(const std::vector<int>& modules, const std::string& reason) {
  for (const int address : modules)
    if (!Has(address)) {
      Module m;
      m.address = address;
      m.result = "failed";
      m.reason = reason;
      Add(m);
    }
}

} // namespace vk::cli
