#pragma once
// Watching what goes over a link, for a trace a service engineer can read. ILinkTrace hears
// every byte written to and read from a serial device and every CAN frame, with the bit rate in
// force. It is hooked in where the link meets the device: TracedSerialPorts hands the link
// devices that report to it, TracedPcanUsb sits between the CAN link and the driver calls. So
// the trace shows what really went over the wire (a write the device took in pieces is still
// one entry), and the link itself stays unchanged.
//
// Threads: a serial device is used by the link's worker, the CAN driver by the tick thread, so
// an ILinkTrace is called from both and must guard itself.

#include "link/pcan_usb.h"
#include "platform/Hex.h"
#include "platform/SerialDevice.h"

#include <cstdint>
#include <memory>
#include <string>

namespace vk::link {

class ILinkTrace {
public:
  virtual ~ILinkTrace() = default;
  // Bytes written to a serial device (one write request), at baud bit/s.
  virtual void Sent(const std::string& bytes, std::uint32_t baud) = 0;
  // Bytes read from a serial device, as they are read (often one at a time).
  virtual void Received(const std::string& bytes, std::uint32_t baud) = 0;
  // A CAN frame written (sent) or read; bitRate 0 when the interface sets its own.
  virtual void CanFrame(bool sent, const CanMsg& msg, std::uint32_t bitRate) = 0;
  // Anything else worth knowing in the trace: a port opened, line settings, a failure.
  virtual void Note(const std::string& text) = 0;
};

// A serial device whose traffic goes to a trace.
class TracedSerialDevice : public platform::ISerialDevice {
public:
  TracedSerialDevice(std::unique_ptr<platform::ISerialDevice> inner, ILinkTrace& trace,
                     std::string name)
      : inner_(std::move(inner)), trace_(trace), name_(std::move(name)) {
    trace_.Note(name_ + " " + inner_->Path() + " opened");
    if (const std::string refusal = inner_->LowLatencyRefusal(); !refusal.empty())
      trace_.Note(name_ + " low latency refused by the driver (" + refusal +
                  "): answers may wait for the adapter's latency timer");
  }
  ~TracedSerialDevice() override {
    inner_.reset();
    trace_.Note(name_ + " closed");
  }

  int PollHandle() const override { return inner_->PollHandle(); }
  bool HasInput() override { return inner_->HasInput(); }
  std::string Path() const override { return inner_->Path(); }

  unsigned Apply(const platform::LineSettings& s) override {
    const unsigned refused = inner_->Apply(s);
    if (!applied_ || s.BaudRate != settings_.BaudRate || s.Parity != settings_.Parity) {
      static const char* const kParity[] = {"none", "odd", "even", "mark", "space"};
      std::string text = "line " + std::to_string(s.BaudRate) + " bit/s, parity " +
                         (s.Parity < 5 ? kParity[s.Parity] : "?");
      if (refused & platform::kRefusedBaudRate) text += " (the device refused the bit rate)";
      if (refused & platform::kRefusedParity) text += " (the device keeps no parity)";
      trace_.Note(text);
    }
    applied_ = true;
    settings_ = s;
    return refused;
  }

  int ReadByte(std::uint8_t& byte, int& error) override {
    const int n = inner_->ReadByte(byte, error);
    if (n == 1)
      trace_.Received(std::string(1, static_cast<char>(byte)), settings_.BaudRate);
    else if (n < 0 && error != 0)
      trace_.Note(name_ + " read failed: " + platform::SystemErrorText(error));
    return n;
  }

  bool Write(const std::string& bytes) override {
    const bool ok = inner_->Write(bytes);
    trace_.Sent(bytes, settings_.BaudRate);
    if (!ok) trace_.Note(name_ + " write failed (the bytes above may not all have gone out)");
    return ok;
  }

private:
  std::unique_ptr<platform::ISerialDevice> inner_;
  ILinkTrace& trace_;
  std::string name_;
  // The device is used by one thread at a time (the link's worker), so these need no guard.
  bool applied_ = false;
  platform::LineSettings settings_;
};

// Numbered ports whose opened devices report to a trace.
class TracedSerialPorts : public platform::ISerialPorts {
public:
  TracedSerialPorts(platform::ISerialPorts& inner, ILinkTrace& trace)
      : inner_(inner), trace_(trace) {}

  std::string DeviceOf(int portNo) const override { return inner_.DeviceOf(portNo); }
  platform::PortState Probe(int portNo) override { return inner_.Probe(portNo); }
  platform::OpenResult Open(int portNo) override {
    platform::OpenResult r = inner_.Open(portNo);
    const std::string name = "COM" + std::to_string(portNo);
    if (r.device)
      r.device = std::make_unique<TracedSerialDevice>(std::move(r.device), trace_, std::move(name));
    else
      trace_.Note(name + " could not be opened: " + r.message);
    return r;
  }

private:
  platform::ISerialPorts& inner_;
  ILinkTrace& trace_;
};

// The CAN driver calls, reporting every frame written and read.
class TracedPcanUsb : public IPcanUsb {
public:
  TracedPcanUsb(IPcanUsb& inner, ILinkTrace& trace) : inner_(inner), trace_(trace) {}

  std::uint32_t CAN_Init(std::uint16_t btr0btr1, int msgType) override {
    const std::uint32_t r = inner_.CAN_Init(btr0btr1, msgType);
    bitRate_ = BitRateOfBusTiming(btr0btr1);
    trace_.Note("CAN opened at bus timing " + Hex(btr0btr1, 4) + " (" + std::to_string(bitRate_) +
                " bit/s)" + Result(r));
    return r;
  }
  std::uint32_t CAN_Write(const CanMsg& msg) override {
    const std::uint32_t r = inner_.CAN_Write(msg);
    trace_.CanFrame(true, msg, bitRate_);
    if (r != CAN_ERR_OK) trace_.Note("CAN frame above not sent" + Result(r));
    return r;
  }
  std::uint32_t CAN_Read(CanMsg& msg) override {
    const std::uint32_t r = inner_.CAN_Read(msg);
    if (r == CAN_ERR_OK)
      trace_.CanFrame(false, msg, bitRate_);
    else if ((r & ~(CAN_ERR_QRCVEMPTY | CAN_ERR_ILLHW)) != 0 && r != lastReadError_)
      trace_.Note("CAN read" + Result(r));
    lastReadError_ = r;
    return r;
  }
  std::uint32_t CAN_Close() override {
    const std::uint32_t r = inner_.CAN_Close();
    if (r == CAN_ERR_OK) trace_.Note("CAN closed");
    return r;
  }

private:
  static std::string Hex(std::uint32_t v, int digits) {
    return "0x" + platform::HexDigits(v, digits);
  }
  static std::string Result(std::uint32_t r) {
    return r == CAN_ERR_OK ? std::string() : ", driver result " + Hex(r, 4);
  }

  IPcanUsb& inner_;
  ILinkTrace& trace_;
  std::uint32_t bitRate_ = 0;
  std::uint32_t lastReadError_ = CAN_ERR_OK;
};

} // namespace vk::link
