#pragma once
// A CAN bus as the PCAN driver calls of the link need it: open at a bit rate, send and receive
// frames, close. QtCanBus.h puts it over Qt SerialBus:
//   socketcan   a SocketCAN interface (a PCAN-USB adapter on Linux is one: can0); its bit rate
//               is the interface's own, set by the system ("ip link set can0 type can bitrate
//               500000"), so the rate the link asks for is not passed on
//   peakcan     PEAK's PCAN-Basic library, where it is installed (interface usb0, ...)
//   virtualcan  Qt's virtual bus on this machine (interfaces can0 and can1), for tests and the
//               device simulator
// The back end and the interface are settings ("CAN/Backend", "CAN/Interface"), overridden by
// the environment variables VK_CAN_BACKEND and VK_CAN_INTERFACE.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace vk::platform {

class ISettings;

struct CanFrame {
  std::uint32_t id = 0;
  bool extended = false; // 29-bit identifier
  bool remote = false;   // remote transmission request
  std::uint8_t length = 0;
  std::array<std::uint8_t, 8> data{};
};

// Bus problems reported in received error frames.
enum CanBusError : unsigned {
  kCanBusOk = 0,
  kCanBusWarning = 1, // error counters past the warning level
  kCanBusPassive = 2, // error passive
  kCanBusOff = 4,
  kCanBusOverrun = 8, // a controller or queue overrun
};

class ICanBus {
public:
  virtual ~ICanBus() = default;
  // Opens (or reopens) the bus at bitRate bit/s; false with ErrorText() when it cannot.
  virtual bool Open(std::uint32_t bitRate) = 0;
  virtual bool IsOpen() const = 0;
  // false when the frame could not be queued for sending.
  virtual bool Send(const CanFrame& frame) = 0;
  // The oldest received frame, if any. Error frames are not returned: they set busErrors.
  virtual std::optional<CanFrame> Receive(unsigned& busErrors) = 0;
  virtual void Close() = 0;
  // The last problem in words ("virtualcan can1: Connection refused").
  virtual std::string ErrorText() const = 0;
};

struct CanBusChoice {
  std::string backend;   // "socketcan", "peakcan", "virtualcan", or another Qt CAN plugin
  std::string interface; // "can0", "usb0", ...
};

// The back end and the interface from the settings and the environment, with the defaults
// socketcan/can0 (Linux) or peakcan/usb0 (Windows).
CanBusChoice ReadCanBusChoice(const ISettings* settings);

} // namespace vk::platform
