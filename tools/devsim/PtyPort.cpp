#include "devsim/PtyPort.h"

#include "devsim/PacedSerialModel.h"
#include "devsim/Transcript.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace vk::devsim {

namespace {

volatile sig_atomic_t gStopSignal = 0;

void OnStopSignal(int sig) { gStopSignal = sig; }

speed_t StandardSpeed(std::uint32_t baud) {
  switch (baud) {
  case 1200:
    return B1200;
  case 2400:
    return B2400;
  case 4800:
    return B4800;
  case 9600:
    return B9600;
  case 19200:
    return B19200;
  case 38400:
    return B38400;
  case 57600:
    return B57600;
  case 115200:
    return B115200;
  case 230400:
    return B230400;
  case 460800:
    return B460800;
  case 921600:
    return B921600;
  default:
    return B0;
  }
}

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

} // namespace

PtyPort::~PtyPort() { Close(); }

bool PtyPort::Open(std::uint32_t initialBaud, std::string* error) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) {
    if (error) *error = Errno("posix_openpt");
    return false;
  }
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    if (error) *error = Errno("grantpt/unlockpt");
    Close();
    return false;
  }
  const char* name = ::ptsname(master_);
  if (!name) {
    if (error) *error = Errno("ptsname");
    Close();
    return false;
  }
  slavePath_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY);
  if (slave_ < 0) {
    if (error) *error = Errno("open slave");
    Close();
    return false;
  }
  // Raw, so that neither side's line discipline turns CR into LF or echoes the host's bytes.
  termios t{};
  ::tcgetattr(slave_, &t);
  ::cfmakeraw(&t);
  const speed_t speed = StandardSpeed(initialBaud);
  if (speed != B0) ::cfsetspeed(&t, speed);
  ::tcsetattr(slave_, TCSANOW, &t);
  if (speed == B0) SetTerminalBaud(slave_, initialBaud);
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  return true;
}

bool PtyPort::CreateLink(const std::string& path, std::string* error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      if (error) *error = path + " exists and is not a symbolic link; left alone";
      return false;
    }
    ::unlink(path.c_str());
  }
  if (::symlink(slavePath_.c_str(), path.c_str()) != 0) {
    if (error) *error = Errno(("symlink " + path).c_str());
    return false;
  }
  linkPath_ = path;
  return true;
}

void PtyPort::Close() {
  if (!linkPath_.empty()) {
    char target[4096];
    const ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == slavePath_)
      ::unlink(linkPath_.c_str());
    linkPath_.clear();
  }
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
  slave_ = master_ = -1;
}

void PtyPort::DrainTowardsHost(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // Bytes written to the master reach the slave's queue a moment later.
  ::usleep(20000);
  while (std::chrono::steady_clock::now() < deadline) {
    int queued = 0;
    if (::ioctl(slave_, FIONREAD, &queued) != 0 || queued == 0) return;
    ::usleep(5000);
  }
}

ServeEnd PtyPort::Serve(SerialDeviceModel& model, LinkShaper& shaper,
                        const PtyServeOptions& options, std::string* error) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  // To the microsecond: answers go out when the model says they reach the host, not at the
  // next whole millisecond.
  auto elapsedUs = [&] {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
  };
  const Millis limit = options.exitAfterSeconds > 0
                           ? static_cast<Millis>(options.exitAfterSeconds * 1000.0 + 0.5)
                           : -1;

  // The stop signals stay blocked except inside ppoll, so none slips in between the check and
  // the wait.
  sigset_t stopSet, oldMask;
  sigemptyset(&stopSet);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSet, sig);
  ::sigprocmask(SIG_BLOCK, &stopSet, &oldMask);
  struct sigaction sa = {};
  struct sigaction oldInt = {};
  struct sigaction oldTerm = {};
  struct sigaction oldHup = {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, &oldInt);
  ::sigaction(SIGTERM, &sa, &oldTerm);
  ::sigaction(SIGHUP, &sa, &oldHup);
  sigset_t waitMask = oldMask;
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigdelset(&waitMask, sig);
  gStopSignal = 0;

  auto refreshLine = [&](Millis now) {
    const auto baud = TerminalBaud(master_);
    if (baud && *baud != model.CurrentHostLine().baud) model.SetHostBaud(*baud, now);
  };

  std::size_t logged = 0;
  auto logNew = [&](bool all) {
    const auto& entries = model.Transcript();
    const std::size_t upTo = all ? entries.size() : model.SettledEntries();
    if (options.log && logged < upTo) {
      for (; logged < upTo; ++logged)
        std::fprintf(options.log, "%s\n", FormatTranscriptEntry(entries[logged]).c_str());
      std::fflush(options.log);
    }
    logged = std::max(logged, upTo);
  };

  std::string pending;
  ServeEnd end = ServeEnd::Error;
  std::uint8_t buf[4096];
  for (;;) {
    Micros nowUs = elapsedUs();
    Millis now = nowUs / 1000;
    refreshLine(now);
    shaper.FromDevice(model.TakeOutputUs(nowUs), now, model.RecordsTaken());
    pending += shaper.ToHost(now);
    while (!pending.empty()) {
      const ssize_t n = ::write(master_, pending.data(), pending.size());
      if (n <= 0) break; // the host is not reading; poll for room
      pending.erase(0, static_cast<std::size_t>(n));
    }
    logNew(false);
    if (model.HungUp()) {
      end = ServeEnd::HangUp;
      break;
    }
    if (shaper.Unplugged()) {
      end = ServeEnd::Unplugged;
      break;
    }
    if (gStopSignal) {
      end = ServeEnd::Signal;
      break;
    }
    if (limit >= 0 && now >= limit) {
      end = ServeEnd::TimeLimit;
      break;
    }
    Micros wait = -1; // none: until a byte or a signal
    auto until = [&](Micros dueUs) {
      const Micros w = std::max<Micros>(0, dueUs - nowUs);
      wait = wait < 0 ? w : std::min(wait, w);
    };
    if (const auto due = model.NextDueUs()) until(*due);
    if (const auto due = shaper.NextDue()) until(MsToUs(*due));
    if (limit >= 0) until(MsToUs(limit));
    // An entry still open in the transcript settles after a short quiet spell; look again soon
    // so the log does not lag behind the line.
    if (options.log && logged < model.Transcript().size()) until(nowUs + MsToUs(5));
    pollfd pfd{master_, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0};
    timespec ts{static_cast<time_t>(wait / 1000000), static_cast<long>(wait % 1000000) * 1000};
    const int r = ::ppoll(&pfd, 1, wait < 0 ? nullptr : &ts, &waitMask);
    if (r < 0) {
      if (errno == EINTR) continue;
      if (error) *error = Errno("ppoll");
      break;
    }
    if (pfd.revents & POLLIN) {
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0) {
        nowUs = elapsedUs();
        refreshLine(nowUs / 1000);
        model.ReceiveUs(buf, shaper.FromHost(static_cast<std::size_t>(n)), nowUs);
      }
    } else if (pfd.revents & (POLLHUP | POLLERR)) {
      // Only while no slave is open, which our own slave descriptor prevents; do not spin.
      ::usleep(10000);
    }
  }
  logNew(true);
  if (end == ServeEnd::HangUp) {
    // Closing the master discards what the host has not read yet; let the last answer reach
    // it first (a device hangs up after its answer, not in the middle of it).
    DrainTowardsHost(std::chrono::milliseconds(500));
    Close();
  } else if (end == ServeEnd::Unplugged) {
    Close(); // no goodbye: what was on its way is lost, as when the plug comes out
  }

  ::sigaction(SIGINT, &oldInt, nullptr);
  ::sigaction(SIGTERM, &oldTerm, nullptr);
  ::sigaction(SIGHUP, &oldHup, nullptr);
  ::sigprocmask(SIG_SETMASK, &oldMask, nullptr);
  return end;
}

} // namespace vk::devsim
