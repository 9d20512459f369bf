#include "platform/PortPresence.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vk::platform {

namespace {

std::string SysfsRoot() {
  const char* root = std::getenv(kSysfsRootVariable);
  return root != nullptr && *root != '\0' ? root : "/sys";
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// A flock on the device's inode in /proc/locks: another program (or this one) holds the port.
bool LockedByAnyone(const struct stat& st) {
  std::ifstream locks("/proc/locks");
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::string line;
  while (std::getline(locks, line)) {
    if (line.find("FLOCK") == std::string::npos) continue;
    std::istringstream words(line);
    std::string word;
    while (words >> word)
      if (word == id) return true;
  }
  return false;
}

} // namespace

PortState ListedPortState(const std::string& devicePath) {
  if (devicePath.empty()) return PortState::Absent;
  char resolved[PATH_MAX];
  const std::string real =
      ::realpath(devicePath.c_str(), resolved) != nullptr ? resolved : devicePath;
  const std::string name = real.substr(real.find_last_of('/') + 1);
  const std::string entry = SysfsRoot() + "/class/tty/" + name;

  struct stat st {};
  const bool node = ::stat(devicePath.c_str(), &st) == 0;
  if (!name.empty() && Exists(entry)) {
    if (!Exists(entry + "/device")) return PortState::Absent; // a virtual console and the like
    std::ifstream type(entry + "/type");
    int uartType = -1;
    if (type >> uartType && uartType == 0) return PortState::Absent;
    if (!node) return PortState::Present; // listed before its node: opening will tell
  } else if (!node || !S_ISCHR(st.st_mode)) {
    return PortState::Absent;
  }
  if (::access(devicePath.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM))
    return PortState::NoPermission;
  if (LockedByAnyone(st)) return PortState::Busy;
  return PortState::Present;
}

} // namespace vk::platform
