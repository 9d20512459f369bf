#pragma once
// Helpers for the platform and link tests: real pseudo-terminals, a QCoreApplication, a
// temporary directory, and environment variables set for one test.

#include "support/TempFolder.h"

// Built without Qt (and on Windows) only the temporary folder and the environment are here.
#if !defined(VK_WITH_QT) || VK_WITH_QT
#define VK_LINK_TEST_QT 1
#include <QCoreApplication>
#endif
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace vk::test {

#ifdef VK_LINK_TEST_QT
// The one application object of a test process (Qt's timers and posted calls need it).
inline QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "vk_link_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}
#endif

#ifndef _WIN32
// A pseudo-terminal: the program opens SlavePath() as its serial device; the test is the far
// end on the master side.
class PtyPair {
public:
  PtyPair() {
    char name[256] = {};
    int slave = -1;
    if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) return;
    // Raw from the start: no echo or line editing before the program sets the line itself.
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    // Held open so that the terminal keeps its state while the program closes and reopens it.
    slave_ = slave;
    path_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPair() {
    HangUp();
    if (slave_ >= 0) ::close(slave_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool Ok() const { return master_ >= 0 && !path_.empty(); }
  const std::string& SlavePath() const { return path_; }
  int Master() const { return master_; }

  // The far end writes.
  void Write(const std::string& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else {
        pollfd p{master_, POLLOUT, 0};
        ::poll(&p, 1, 100);
      }
    }
  }
  // One attempt, without waiting for room.
  void TryWrite(const std::string& bytes) const {
    [[maybe_unused]] ssize_t n = ::write(master_, bytes.data(), bytes.size());
  }
  // The far end reads until it has count bytes or timeoutMs pass without any.
  std::string Read(std::size_t count, int timeoutMs = 5000) const {
    std::string out;
    while (out.size() < count) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) break;
      char buffer[4096];
      const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - out.size()));
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }
  // Whatever has arrived by now (waiting up to waitMs for the first byte).
  std::string ReadAvailable(int waitMs = 0) const {
    std::string out;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) return out;
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }
  // The line settings of the terminal as the program left them.
  termios Line() const {
    termios t{};
    ::tcgetattr(master_, &t);
    return t;
  }
  // The far end goes away: the program's next read fails.
  void HangUp() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

#endif

class TempDir {
public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vklinkXXXXXX").string();
    if (MakeTempFolder(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Set(name, value ? value->c_str() : nullptr);
  }
  ~ScopedEnv() { Set(name_, old_ ? old_->c_str() : nullptr); }
  static void Set(const char* name, const char* value) {
#ifdef _WIN32
    ::_putenv_s(name, value ? value : ""); // an empty value removes it
#else
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
#endif
  }

private:
  const char* name_;
  std::optional<std::string> old_;
};

} // namespace vk::test
