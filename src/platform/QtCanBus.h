#pragma once
// ICanBus over a Qt SerialBus plugin. Lives on the tick thread: received frames are taken in by
// Qt's event loop, which runs between ticks and during blocking sleeps (QtEventLoop::Sleep).

#include "platform/CanBus.h"

#include <memory>
#include <string>
#include <vector>

class QCanBusDevice;

namespace vk::platform {

class QtCanBus : public ICanBus {
public:
  QtCanBus(std::string backend, std::string interface);
  explicit QtCanBus(const CanBusChoice& choice) : QtCanBus(choice.backend, choice.interface) {}
  ~QtCanBus() override;

  bool Open(std::uint32_t bitRate) override;
  bool IsOpen() const override;
  bool Send(const CanFrame& frame) override;
  std::optional<CanFrame> Receive(unsigned& busErrors) override;
  void Close() override;
  std::string ErrorText() const override { return error_; }

  const std::string& Backend() const { return backend_; }
  // The back ends this machine's Qt offers ("peakcan", "socketcan", "virtualcan", ...).
  static std::vector<std::string> Backends();
  const std::string& Interface() const { return interface_; }

private:
  std::string backend_;
  std::string interface_;
  std::string error_;
  std::unique_ptr<QCanBusDevice> device_;
};

} // namespace vk::platform
