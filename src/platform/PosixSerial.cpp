#include "platform/PosixSerial.h"

#include "platform/PortPresence.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace vk::platform {

std::string SystemErrorText(int code) {
  char buffer[256];
  // GNU strerror_r: returns the text, which need not be in buffer.
  const char* text = ::strerror_r(code, buffer, sizeof buffer);
  return text != nullptr ? text : "Unknown error " + std::to_string(code);
}

namespace {

struct BaudEntry {
  std::uint32_t rate;
  speed_t code;
};
constexpr BaudEntry kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCode(std::uint32_t rate, speed_t& code) {
  for (const auto& b : kBauds)
    if (b.rate == rate) {
      code = b.code;
      return true;
    }
  return false;
}

PortState StateOfErrno(int error) {
  switch (error) {
  case EACCES:
  case EPERM:
    return PortState::NoPermission;
  case EBUSY:
  case EWOULDBLOCK:
    return PortState::Busy;
  default:
    return PortState::Absent;
  }
}

std::string GroupOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    char buffer[4096];
    group g{};
    group* found = nullptr;
    if (::getgrgid_r(st.st_gid, &g, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        std::strcmp(found->gr_name, "root") != 0)
      return found->gr_name;
  }
  return "dialout";
}

std::string PortName(int portNo, const std::string& path) {
  return "COM" + std::to_string(portNo) + " (" + path + ")";
}

std::string FailureMessage(int portNo, const std::string& path, PortState state, int error) {
  const std::string port = PortName(portNo, path);
  switch (state) {
  case PortState::NoPermission: {
    const std::string group = GroupOf(path);
    return "Permission denied opening " + port + ".\rAdd your user to the group \"" + group +
           "\", which may use the device:\rsudo usermod -aG " + group +
           " $USER\rthen log out and in again.";
  }
  case PortState::Busy:
    return port + " is in use by another program.\rClose the program that holds it (a terminal "
                  "program, ModemManager, another V&K Programmer) and choose the port again.";
  case PortState::Absent:
    if (error == ENOTTY) return port + " is not a serial device.";
    return port + " is not present (" + SystemErrorText(error) +
           ").\rConnect the device, then choose the port again.";
  case PortState::Present:
    break;
  }
  return "Cannot open " + port + ": " + SystemErrorText(error) + ".";
}

// The 8250 driver makes ttyS nodes for UARTs that are not there; they open but have no type.
bool IsPhantomUart(int fd) {
  serial_struct info{};
  if (::ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
  return info.type == PORT_UNKNOWN;
}

class PosixSerialDevice : public ISerialDevice {
public:
  PosixSerialDevice(int fd, std::string path, std::string lowLatencyRefusal)
      : fd_(fd), path_(std::move(path)), lowLatencyRefusal_(std::move(lowLatencyRefusal)) {}
  ~PosixSerialDevice() override {
    ::ioctl(fd_, TIOCNXCL);
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }

  int PollHandle() const override { return fd_; }
  bool HasInput() override {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
  }
  std::string Path() const override { return path_; }
  std::string LowLatencyRefusal() const override { return lowLatencyRefusal_; }

  unsigned Apply(const LineSettings& s) override {
    unsigned refused = kRefusedNone;
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return kRefusedLine | kRefusedBaudRate | kRefusedParity;
    const tcflag_t stopBits = t.c_cflag & CSTOPB; // stays as the device had it
    ::cfmakeraw(&t);
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    t.c_cflag &= ~(CSIZE | CRTSCTS | PARENB | PARODD | CMSPAR | CSTOPB);
    t.c_cflag |= CS8 | CLOCAL | CREAD | stopBits;
    switch (s.Parity) {
    case 0:
      break;
    case 1:
      t.c_cflag |= PARENB | PARODD;
      break;
    case 2:
      t.c_cflag |= PARENB;
      break;
    case 3:
      t.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case 4:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      refused |= kRefusedParity;
    }
    // One byte at least: with nothing waiting a non-blocking read then fails with EAGAIN, and
    // a read of 0 bytes means the far end has gone.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    speed_t code = 0;
    if (SpeedCode(s.BaudRate, code)) {
      ::cfsetispeed(&t, code);
      ::cfsetospeed(&t, code);
      baud_ = s.BaudRate;
    } else {
      refused |= kRefusedBaudRate;
    }
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
      refused |= kRefusedLine;
    } else {
      // A device may take the call and still ignore parts of it (a pseudo-terminal keeps no
      // parity); say so, but go on.
      termios now{};
      constexpr tcflag_t kParityBits = PARENB | PARODD | CMSPAR;
      if (::tcgetattr(fd_, &now) == 0) {
        if ((now.c_cflag & kParityBits) != (t.c_cflag & kParityBits)) refused |= kRefusedParity;
        if ((refused & kRefusedBaudRate) == 0 && ::cfgetospeed(&now) != code)
          refused |= kRefusedBaudRate;
      }
    }
    int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    if (::ioctl(fd_, s.Dtr ? TIOCMBIS : TIOCMBIC, &dtr) != 0) refused |= kRefusedDtr;
    if (::ioctl(fd_, s.Rts ? TIOCMBIS : TIOCMBIC, &rts) != 0) refused |= kRefusedRts;
    return refused;
  }

  int ReadByte(std::uint8_t& byte, int& error) override {
    const ssize_t n = ::read(fd_, &byte, 1);
    if (n == 1) return 1;
    if (n == 0) { // end of file on a terminal: the far end hung up, or the device is gone
      error = EIO;
      return -1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    error = errno;
    return -1;
  }

  bool Write(const std::string& bytes) override {
    using Clock = std::chrono::steady_clock;
    // Time enough for the bytes at the line's rate, and a second more.
    const auto budget =
        std::chrono::milliseconds(1000 + static_cast<long long>(bytes.size()) * 10 * 1000 /
                                             std::max<std::uint32_t>(baud_, 50));
    const auto deadline = Clock::now() + budget;
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
      if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;
    }
    return true;
  }

private:
  int fd_;
  std::string path_;
  std::string lowLatencyRefusal_;
  std::uint32_t baud_ = kNormalRate;
};

// Asks the driver to hand over received bytes at once: on FTDI adapters this sets the latency
// timer from 16 ms to 1 ms, which otherwise delays every answer. Returns why it was refused.
std::string RequestLowLatency(int fd) {
#if defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
  serial_struct s{};
  if (::ioctl(fd, TIOCGSERIAL, &s) != 0) return SystemErrorText(errno);
  if ((s.flags & ASYNC_LOW_LATENCY) != 0) return {};
  s.flags |= ASYNC_LOW_LATENCY;
  if (::ioctl(fd, TIOCSSERIAL, &s) != 0) return SystemErrorText(errno);
  return {};
#else
  (void)fd;
  return "not offered by this system";
#endif
}

// Opens path as a serial device; on failure returns -1 with the state and error code.
int OpenDevice(const std::string& path, PortState& state, int& error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    state = StateOfErrno(error);
    return -1;
  }
  auto fail = [&](PortState s, int e) {
    ::close(fd);
    state = s;
    error = e;
    return -1;
  };
  if (!::isatty(fd)) return fail(PortState::Absent, ENOTTY);
  if (IsPhantomUart(fd)) return fail(PortState::Absent, ENODEV);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(PortState::Busy, EBUSY);
  state = PortState::Present;
  error = 0;
  return fd;
}

} // namespace

PortState PosixSerialPorts::ProbePath(const std::string& path) { return ListedPortState(path); }

OpenResult PosixSerialPorts::OpenPath(const std::string& path, int portNo) {
  OpenResult r;
  r.path = path;
  if (path.empty()) {
    r.state = PortState::Absent;
    r.error = ENOENT;
    r.message = "COM" + std::to_string(portNo) +
                " names no device.\rGive it one in the settings (SerialPorts/COM" +
                std::to_string(portNo) + ") or in " + PortMap::kEnvironmentVariable + ".";
    return r;
  }
  const int fd = OpenDevice(path, r.state, r.error);
  if (fd < 0) {
    r.message = FailureMessage(portNo, path, r.state, r.error);
    return r;
  }
  ::ioctl(fd, TIOCEXCL); // others (but root) now get EBUSY
  r.device = std::make_unique<PosixSerialDevice>(fd, path, RequestLowLatency(fd));
  return r;
}

PortState PosixSerialPorts::Probe(int portNo) { return ProbePath(map_.DeviceOf(portNo)); }

OpenResult PosixSerialPorts::Open(int portNo) { return OpenPath(map_.DeviceOf(portNo), portNo); }

} // namespace vk::platform
