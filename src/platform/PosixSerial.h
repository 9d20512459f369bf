#pragma once
// Real serial devices on Linux: termios, opened exclusively (TIOCEXCL and an flock, so a second
// V&K Programmer or a well-behaved terminal program cannot share the line), non-blocking, with
// poll() for waiting. Ports are numbered by PortMap.

#include "platform/PortMap.h"
#include "platform/SerialDevice.h"

namespace vk::platform {

class PosixSerialPorts : public ISerialPorts {
public:
  explicit PosixSerialPorts(PortMap map) : map_(std::move(map)) {}

  std::string DeviceOf(int portNo) const override { return map_.DeviceOf(portNo); }
  PortState Probe(int portNo) override;
  OpenResult Open(int portNo) override;

  const PortMap& Map() const { return map_; }

  // Opens a device by its path (the port number only names it in messages).
  static OpenResult OpenPath(const std::string& path, int portNo);
  // From the system's device list (PortPresence.h); the device is not opened.
  static PortState ProbePath(const std::string& path);

private:
  PortMap map_;
};

} // namespace vk::platform
