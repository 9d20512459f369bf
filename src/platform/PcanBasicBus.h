#pragma once
// Windows without Qt: a PEAK CAN adapter through PEAK's PCAN-Basic library (PCANBasic.dll,
// installed with PEAK's driver package), loaded when the bus is first opened, so vkprog.exe
// starts and serves serial ports on machines without it. Interfaces usb0 .. usb15 are the
// library's PCAN_USBBUS1 .. PCAN_USBBUS16.

#include "platform/CanBus.h"

#include <string>

namespace vk::platform {

class PcanBasicBus : public ICanBus {
public:
  static constexpr const char* kLibrary = "PCANBasic.dll";

  explicit PcanBasicBus(std::string channel);
  ~PcanBasicBus() override;
  PcanBasicBus(const PcanBasicBus&) = delete;
  PcanBasicBus& operator=(const PcanBasicBus&) = delete;

  // Whether the library can be loaded; why not, in words, when it cannot.
  static bool Available(std::string* why = nullptr);

  bool Open(std::uint32_t bitRate) override;
  bool IsOpen() const override { return open_; }
  bool Send(const CanFrame& frame) override;
  std::optional<CanFrame> Receive(unsigned& busErrors) override;
  void Close() override;
  std::string ErrorText() const override { return error_; }

private:
  std::string interface_;
  bool open_ = false;
  std::uint16_t channel_ = 0;
  std::string error_;
};

} // namespace vk::platform
