#pragma once
// Serial lines of the simulated world: the link's end is an ISerialDevice, the far end is what
// a device model (or a test) uses. Bytes arrive whole and at once; a model that wants to pace
// itself at the line's rate sends from a poller of the simulated event loop.

#include "platform/SerialDevice.h"

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace vk::platform {

class SimulatedSerialLine {
public:
  // What the link did to the line, in order.
  struct Event {
    enum Kind { Opened, Applied, Written, Closed } kind;
    LineSettings settings; // Applied
    std::string bytes;     // Written
  };

  explicit SimulatedSerialLine(std::string name) : name_(std::move(name)) {}

  const std::string& Name() const { return name_; }

  // Far end: bytes for the link to read.
  void Send(const std::string& bytes);
  // Far end: the bytes the link has written since the last call.
  std::string TakeReceived();
  // Far end: called with each write of the link, on the worker's step (before TakeReceived
  // sees the bytes). A model answers by calling Send.
  void SetOnWrite(std::function<void(const std::string&)> onWrite);
  // Far end: the line's settings as the link last applied them.
  LineSettings Settings() const;
  bool IsOpen() const;
  // Far end: the device vanishes; the link's next read fails with error.
  void HangUp(int error);
  // Settings the line refuses (RefusedSetting bits), as a pseudo-terminal refuses DTR and RTS.
  void SetRefused(unsigned refused);
  std::vector<Event> Events() const;

private:
  friend class SimulatedSerialDevice;
  std::string name_;
  mutable std::mutex mutex_;
  std::deque<std::uint8_t> toLink_;
  std::string fromLink_;
  std::function<void(const std::string&)> onWrite_;
  LineSettings settings_;
  bool open_ = false;
  int hangUpError_ = 0;
  unsigned refused_ = kRefusedNone;
  std::vector<Event> events_;
};

class SimulatedSerialPorts : public ISerialPorts {
public:
  // Makes COM<portNo> a simulated line (named "sim:COM<portNo>" unless named).
  std::shared_ptr<SimulatedSerialLine> Add(int portNo, std::string name = {});
  // Makes COM<portNo> a port that exists but cannot be opened.
  void AddUnopenable(int portNo, PortState state);
  std::shared_ptr<SimulatedSerialLine> Line(int portNo) const;

  std::string DeviceOf(int portNo) const override;
  PortState Probe(int portNo) override;
  OpenResult Open(int portNo) override;

private:
  std::map<int, std::shared_ptr<SimulatedSerialLine>> lines_;
  std::map<int, PortState> unopenable_;
};

} // namespace vk::platform
