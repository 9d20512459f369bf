#pragma once
// A device model behind a pseudo-terminal: the host opens the slave side as it would open a
// serial port; vkdevsim serves the master side.
//
// The slave is kept open here as well, so the pair survives the host closing and reopening it
// (with no slave open, Linux reports EIO on the master) and the line settings stay as the host
// left them. The host's bit rate is read from the master on every step: on Linux both sides
// share one termios. A pseudo-terminal carries no parity and no modem lines.

#include "devsim/LinkShaper.h"
#include "devsim/SerialDeviceModel.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

namespace vk::devsim {

struct PtyServeOptions {
  double exitAfterSeconds = 0; // 0: serve until a signal or a hang-up
  std::FILE* log = nullptr;    // transcript lines as they happen
};

enum class ServeEnd { Signal, TimeLimit, HangUp, Unplugged, Error };

class PtyPort {
public:
  PtyPort() = default;
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;
  ~PtyPort();

  // Opens the pair with the slave in raw mode at `initialBaud`.
  bool Open(std::uint32_t initialBaud, std::string* error);
  const std::string& SlavePath() const { return slavePath_; }
  // A symbolic link at `path` to the slave, removed again by Close. An existing symbolic link
  // is replaced; any other file there is left alone and reported.
  bool CreateLink(const std::string& path, std::string* error);

  // Serves `model` until SIGINT, SIGTERM or SIGHUP, the time limit, the model hanging up or
  // the adapter being pulled out (either closes the pair: the host then reads EIO, as from an
  // unplugged adapter). `shaper` stands between the model and the host.
  ServeEnd Serve(SerialDeviceModel& model, LinkShaper& shaper, const PtyServeOptions& options,
                 std::string* error);

  void Close();

private:
  // Waits (up to `limit`) until the host has read what was written to it.
  void DrainTowardsHost(std::chrono::milliseconds limit);

  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::string linkPath_;
};

// The bit rate set on a terminal (either side of a pseudo-terminal), exact also for rates
// without a B constant; nothing when it cannot be read.
std::optional<std::uint32_t> TerminalBaud(int fd);
bool SetTerminalBaud(int fd, std::uint32_t baud);

} // namespace vk::devsim
