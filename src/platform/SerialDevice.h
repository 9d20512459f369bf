#pragma once
// Serial devices as the link needs them: open a numbered port (COMn) exclusively, set the line,
// read one byte, write a whole buffer, close (by destruction). PosixSerial.h has the real
// devices (termios, over PortMap.h); SimulatedSerial.h the in-memory lines of the simulated
// world.

#include "platform/EventLoop.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace vk::platform {

// The rates the operator picks the line's speed from, fastest first. The first is the line's rate
// at rest: a port opens at it, and the boot loaders' runs come back to it.
inline constexpr std::array<std::uint32_t, 5> kLineRates = {115200, 57600, 38400, 19200, 9600};
inline constexpr std::uint32_t kNormalRate = kLineRates[0];

// What the link sets on a line; always 8 data bits, no flow control, received parity not
// tested. Stop bits stay as the device had them.
struct LineSettings {
  std::uint32_t BaudRate = kNormalRate;
  std::uint8_t Parity = 0; // 0 none, 1 odd, 2 even, 3 mark, 4 space
  bool Dtr = true;
  bool Rts = true;

  bool operator==(const LineSettings&) const = default;
};

// Settings a device refused (a pseudo-terminal refuses DTR and RTS); the link goes on anyway.
enum RefusedSetting : unsigned {
  kRefusedNone = 0,
  kRefusedBaudRate = 1,
  kRefusedParity = 2,
  kRefusedDtr = 4,
  kRefusedRts = 8,
  kRefusedLine = 16, // the line discipline as a whole (raw mode, 8 data bits)
};

class ISerialDevice : public IWaitable {
public:
  // Closes the device.
  ~ISerialDevice() override = default;

  // The path (or name) the device was opened by.
  virtual std::string Path() const = 0;
  // Returns the settings the device refused (RefusedSetting bits).
  virtual unsigned Apply(const LineSettings& settings) = 0;
  // Never blocks. Returns 1 and the byte, 0 when nothing is there (or an interrupted call), or
  // -1 with a system error code when the device failed or hung up.
  virtual int ReadByte(std::uint8_t& byte, int& error) = 0;
  // Writes the whole buffer with one write request (the device may take it in pieces);
  // returns false when it could not.
  virtual bool Write(const std::string& bytes) = 0;
  // Why the driver refused the request for low latency made when the device was opened (a USB
  // adapter then holds received bytes for its latency timer, 16 ms on FTDI parts); empty when
  // it was granted or the system makes no such request.
  virtual std::string LowLatencyRefusal() const { return {}; }
};

enum class PortState {
  Absent,       // no device by that number
  Present,      // opens
  Busy,         // held by another program
  NoPermission, // exists, but this user may not open it
};

struct OpenResult {
  std::unique_ptr<ISerialDevice> device; // null when the open failed
  PortState state = PortState::Absent;   // why it failed
  int error = 0;                         // system error code of the failure
  std::string path;                      // the device the number named ("" when none)
  std::string message;                   // the failure in words, with its remedy
};

// The numbered ports of the machine.
class ISerialPorts {
public:
  virtual ~ISerialPorts() = default;
  // The device behind COM<portNo>, "" when the number names none.
  virtual std::string DeviceOf(int portNo) const = 0;
  // Whether the port exists, from the system's list of devices: the device is not opened
  // (an open would raise DTR and RTS and may reset a board nobody chose).
  virtual PortState Probe(int portNo) = 0;
  // Opens the port for reading and writing, exclusively.
  virtual OpenResult Open(int portNo) = 0;
};

// The system's text for an error code.
std::string SystemErrorText(int code);

} // namespace vk::platform
