#include "image/TextFile.h"

#include "image/FirmwareImage.h"
#include "platform/OpenFlags.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#endif

namespace vk::image {

namespace {

[[noreturn]] void Fail(const std::string& fileName, int err) {
  throw FileWriteError("Cannot write " + fileName + ": " + std::strerror(err));
}

bool WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// rename() over an existing file; Windows' rename refuses to replace one.
bool ReplaceFile(const std::string& from, const std::string& to) {
#ifdef _WIN32
  if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  errno = EACCES;
  return false;
#else
  return ::rename(from.c_str(), to.c_str()) == 0;
#endif
}

} // namespace

void WriteTextFile(const std::string& fileName, const std::string& text) {
  struct stat st {};
  const bool exists = ::stat(fileName.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    // A device or pipe (say /dev/stdout): write straight into it.
    int fd = ::open(fileName.c_str(), O_WRONLY | platform::kOpenPrivate);
    if (fd < 0) Fail(fileName, errno);
    const bool ok = WriteAll(fd, text);
    const int err = errno;
    ::close(fd);
    if (!ok) Fail(fileName, err);
    return;
  }

  std::string tmp = fileName + ".XXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    // No room for a temporary beside it (a read-only folder, say): report the real target.
    int direct =
        ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | platform::kOpenPrivate, 0644);
    if (direct < 0) Fail(fileName, errno);
    const bool ok = WriteAll(direct, text);
    const int err = errno;
    ::close(direct);
    if (!ok) Fail(fileName, err);
    return;
  }
  bool ok = WriteAll(fd, text);
  int err = errno;
  // mkstemp creates 0600; give the file the usual permissions (or keep the old file's).
  const mode_t mode = exists ? (st.st_mode & 07777) : [] {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
#ifndef _WIN32
  ::fchmod(fd, mode);
#else
  (void)mode; // Windows files have no such permissions
#endif
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && !ReplaceFile(tmp, fileName)) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    Fail(fileName, err);
  }
}

} // namespace vk::image
