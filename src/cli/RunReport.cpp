#include "cli/RunReport.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cmath>
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

namespace {
std::string Hex(std::uint32_t v, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, v);
  return text;
}
} // namespace

ProgramReport::ProgramReport(const std::string& path, const std::string& entry,
                             std::vector<std::string> files, const std::string& port)
    : file_(path), entry_(entry), files_(std::move(files)), port_(port) {}

void ProgramReport::SetImage(std::uint32_t crc32, std::uint32_t start, std::uint32_t end) {
  crc32_ = crc32;
  start_ = start;
  end_ = end;
}

void ProgramReport::SetLink(const std::string& port, const std::string& device,
                            std::optional<int> canNode) {
  port_ = port;
  device_ = device;
  canNode_ = canNode;
}

void ProgramReport::Add(const Module& m) {
  done_.insert(m.address);
  using nlohmann::json;
  const auto orNull = [](const auto& v) { return v ? json(*v) : json(); };
  json line = {{"time", RunReport::UtcNow()},
               {"host", RunReport::Host()},
               {"command", "program"},
               {"port", port_},
               {"device", device_.empty() ? json() : json(device_)},
               {"address", m.address},
               {"detected_type", orNull(m.detectedType)},
               {"entry", entry_},
               {"files", files_},
               {"crc32", crc32_ ? json(Hex(*crc32_, 8)) : json()},
               {"range_start", crc32_ ? json(Hex(start_, 4)) : json()},
               {"range_end", crc32_ ? json(Hex(end_, 4)) : json()},
               {"bytes", m.bytes},
               {"result", m.result},
               {"reason", m.reason.empty() ? json() : json(m.reason)},
               {"duration_s", std::round(m.seconds * 1000) / 1000},
               {"bit_rate", orNull(m.bitRate)}};
  if (canNode_) line["can_node"] = *canNode_;
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
