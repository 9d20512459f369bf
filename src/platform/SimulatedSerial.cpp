#include "platform/SimulatedSerial.h"

#include <cerrno>

namespace vk::platform {

class SimulatedSerialDevice : public ISerialDevice {
public:
  explicit SimulatedSerialDevice(std::shared_ptr<SimulatedSerialLine> line)
      : line_(std::move(line)) {
    std::lock_guard lock(line_->mutex_);
    line_->open_ = true;
    line_->events_.push_back({SimulatedSerialLine::Event::Opened, {}, {}});
  }
  ~SimulatedSerialDevice() override {
    std::lock_guard lock(line_->mutex_);
    line_->open_ = false;
    line_->events_.push_back({SimulatedSerialLine::Event::Closed, {}, {}});
  }

  bool HasInput() override {
    std::lock_guard lock(line_->mutex_);
    return !line_->toLink_.empty() || line_->hangUpError_ != 0;
  }
  std::string Path() const override { return line_->Name(); }

  unsigned Apply(const LineSettings& settings) override {
    std::lock_guard lock(line_->mutex_);
    line_->settings_ = settings;
    line_->events_.push_back({SimulatedSerialLine::Event::Applied, settings, {}});
    return line_->refused_;
  }

  int ReadByte(std::uint8_t& byte, int& error) override {
    std::lock_guard lock(line_->mutex_);
    if (!line_->toLink_.empty()) {
      byte = line_->toLink_.front();
      line_->toLink_.pop_front();
      return 1;
    }
    if (line_->hangUpError_ != 0) {
      error = line_->hangUpError_;
      return -1;
    }
    return 0;
  }

  bool Write(const std::string& bytes) override {
    std::function<void(const std::string&)> onWrite;
    {
      std::lock_guard lock(line_->mutex_);
      if (line_->hangUpError_ != 0) return false;
      line_->fromLink_ += bytes;
      line_->events_.push_back({SimulatedSerialLine::Event::Written, {}, bytes});
      onWrite = line_->onWrite_;
    }
    if (onWrite) onWrite(bytes);
    return true;
  }

private:
  std::shared_ptr<SimulatedSerialLine> line_;
};

void SimulatedSerialLine::Send(const std::string& bytes) {
  std::lock_guard lock(mutex_);
  toLink_.insert(toLink_.end(), bytes.begin(), bytes.end());
}

std::string SimulatedSerialLine::TakeReceived() {
  std::lock_guard lock(mutex_);
  std::string out;
  out.swap(fromLink_);
  return out;
}

void SimulatedSerialLine::SetOnWrite(std::function<void(const std::string&)> onWrite) {
  std::lock_guard lock(mutex_);
  onWrite_ = std::move(onWrite);
}

LineSettings SimulatedSerialLine::Settings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

bool SimulatedSerialLine::IsOpen() const {
  std::lock_guard lock(mutex_);
  return open_;
}

void SimulatedSerialLine::HangUp(int error) {
  std::lock_guard lock(mutex_);
  hangUpError_ = error != 0 ? error : EIO;
}

void SimulatedSerialLine::SetRefused(unsigned refused) {
  std::lock_guard lock(mutex_);
  refused_ = refused;
}

std::vector<SimulatedSerialLine::Event> SimulatedSerialLine::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::shared_ptr<SimulatedSerialLine> SimulatedSerialPorts::Add(int portNo, std::string name) {
  if (name.empty()) name = "sim:COM" + std::to_string(portNo);
  auto line = std::make_shared<SimulatedSerialLine>(std::move(name));
  lines_[portNo] = line;
  unopenable_.erase(portNo);
  return line;
}

void SimulatedSerialPorts::AddUnopenable(int portNo, PortState state) {
  lines_.erase(portNo);
  unopenable_[portNo] = state;
}

std::shared_ptr<SimulatedSerialLine> SimulatedSerialPorts::Line(int portNo) const {
  auto it = lines_.find(portNo);
  return it == lines_.end() ? nullptr : it->second;
}

std::string SimulatedSerialPorts::DeviceOf(int portNo) const {
  if (auto line = Line(portNo)) return line->Name();
  if (unopenable_.count(portNo) != 0) return "sim:COM" + std::to_string(portNo);
  return {};
}

PortState SimulatedSerialPorts::Probe(int portNo) {
  if (auto it = unopenable_.find(portNo); it != unopenable_.end()) return it->second;
  auto line = Line(portNo);
  if (!line) return PortState::Absent;
  return line->IsOpen() ? PortState::Busy : PortState::Present;
}

OpenResult SimulatedSerialPorts::Open(int portNo) {
  OpenResult r;
  r.path = DeviceOf(portNo);
  r.state = Probe(portNo);
  if (r.state == PortState::Present) {
    r.device = std::make_unique<SimulatedSerialDevice>(Line(portNo));
    return r;
  }
  const std::string port = "COM" + std::to_string(portNo) + " (" + r.path + ")";
  switch (r.state) {
  case PortState::Busy:
    r.error = EBUSY;
    r.message = port + " is in use by another program.";
    break;
  case PortState::NoPermission:
    r.error = EACCES;
    r.message = "Permission denied opening " + port + ".";
    break;
  default:
    r.error = ENOENT;
    r.message = port + " is not present.";
  }
  return r;
}

} // namespace vk::platform
