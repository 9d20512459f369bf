// The kernel's termios2 gives the bit rate as a number, also for rates without a B constant.
// Its header clashes with <termios.h>, hence a file of its own.

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>
#include <optional>

namespace vk::devsim {

std::optional<std::uint32_t> TerminalBaud(int fd) {
  struct termios2 t {};
  if (::ioctl(fd, TCGETS2, &t) != 0) return std::nullopt;
  return static_cast<std::uint32_t>(t.c_ospeed);
}

bool SetTerminalBaud(int fd, std::uint32_t baud) {
  struct termios2 t {};
  if (::ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~CBAUD;
  t.c_cflag |= BOTHER;
  t.c_cflag &= ~(CBAUD << IBSHIFT);
  t.c_cflag |= BOTHER << IBSHIFT;
  t.c_ospeed = baud;
  t.c_ispeed = baud;
  return ::ioctl(fd, TCSETS2, &t) == 0;
}

} // namespace vk::devsim
