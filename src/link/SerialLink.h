#pragma once
// SerialLink: the serial link, the program's only way to a COM port. Everything here runs on the
// tick thread and never blocks on the port: sending queues, setting changes mark the settings
// as changed; the worker (SerialWorker) does the rest. A received line is handed to OnReceive as
// soon as it arrives (the worker posts to the tick thread), oldest first, one call per line;
// nothing polls for lines. SerialLink also fills the port selector
// ("PCAN" and the COM ports that exist), remembers the chosen port in the settings ("PORT") and
// switches the CAN link on when "PCAN" is chosen.

#include "link/LineQueue.h"
#include "link/PortEntry.h"
#include "link/ProtocolLink.h"
#include "link/Selector.h"
#include "link/SerialWorker.h"
#include "platform/EventLoop.h"
#include "platform/SerialDevice.h"
#include "platform/Settings.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vk::link {

class CanLink;

struct PresentPort {
  int PortNo;
  std::string Device;
  platform::PortState State; // Present, Busy or NoPermission
};

// The ports COM<first> .. COM<last> that exist, from the system's device list; none is opened.
std::vector<PresentPort> FindPresentPorts(platform::ISerialPorts& ports, int first = 1,
                                          int last = 49);

class SerialLink : public IProtocolLink {
public:
  static constexpr int kFirstListedPort = 1;
  static constexpr int kLastListedPort = 49;
  static constexpr const char* kPortSetting = "PORT";

  // settings may be null (nothing remembered); can may be null (no CAN link to switch).
  SerialLink(platform::IEventLoop& loop, platform::ISerialPorts& ports,
             platform::ISettings* settings, TellUser tell, CanLink* can = nullptr);
  // Stops the worker before the lists go, then remembers the port ("PORT" = "COM" + PortNo).
  ~SerialLink() override;
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Binds the selector ("PCAN" is added first if it is empty), lists the ports that exist,
  // selects and opens the remembered port if it opens (else the lowest that opens), enables
  // delivery and starts the worker. A second call only reads the remembered port.
  void FillPortList(ISelector& selector);
  // The selector's change event: opens the chosen COM port and closes the CAN link, or, for
  // "PCAN", closes the COM port and opens the CAN link.
  void PortListChange(ISelector& selector);
  // Closes the port and opens COM<portNo>; 0 or below leaves it closed.
  void SelectPort(int portNo);
  bool IsOpen() const override;
  // The chosen link's device has gone (serial: hang-up or I/O error; PCAN: interface down or
  // bus-off): a text naming it, else empty.
  std::string LostText() const;
  // The same as what the operator does about it: "COM3 (/dev/ttyUSB0) has gone: reconnect it,
  // then choose the port again" (the CAN link's LostText).
  std::string LostAdvice() const;
  // The CAN node the CAN link sends to (CAN_ADDR_n), 0 without a CAN link.
  int CanNode() const;

  // Queues the string unchanged; nothing is appended.
  void SendString(const std::string& text) override;
  // Told of every string and byte queued for sending (the window's terminal shows them).
  std::function<void(const std::string& sent)> OnSend;
  void SendChar(std::uint8_t byte) override;
  void SetBaudRate(std::uint32_t rate) override;
  std::uint32_t GetBaudRate() const override;
  // 0 none, 1 odd, 2 even, 3 mark, 4 space.
  void SetParity(std::uint8_t parity);
  void SetParity(Parity parity) override { SetParity(static_cast<std::uint8_t>(parity)); }
  std::uint8_t GetParity() const;
  // Mark the settings as changed even when the level is unchanged.
  void SetDTR(bool on) override;
  void SetRTS(bool on) override;
  void SetRawMode(bool on) override;
  // Raw bytes, each handed over the moment it arrives, and a write is not held back for a quiet
  // line: for a device that echoes every byte, whose echo is the whole answer. Off: text lines.
  void SetByteMode(bool on) override;
  // Raw blocks or raw bytes: anything but text lines.
  bool IsRawMode() const;

  int PortNo() const { return PortNo_; }
  // The link the chosen entry stands for: a COM port, or the CAN link when none is chosen.
  LinkKind ChosenLink() const { return PortNo_ != 0 ? LinkKind::Serial : LinkKind::Can; }
  SerialWorker& Thread() { return *thread_; }

  // "COM3" → 3. Anything else (missing, "COM", "COMx", another prefix) → 0.
  static int ParseRememberedPort(const std::optional<std::string>& value);

  // The device's answers, oldest first: how protocols and controllers read what came back.
  bool AnswerWaiting() const override { return !RxLines.Empty(); }
  // The oldest answer, left in place ("" when none waits).
  std::string PeekAnswer() const override { return RxLines.First(); }
  // The oldest answer, taken out; nullopt when none waits.
  std::optional<std::string> TakeAnswer() override { return RxLines.TakeFirst(); }
  // How many answers wait, and the newest of them ("" when none): for a device whose last word is
  // the one that counts.
  int AnswerCount() const override { return RxLines.Count(); }
  std::string LatestAnswer() const override {
    const auto all = RxLines.Snapshot();
    return all.empty() ? std::string() : all.back();
  }
  // Drops the oldest answer (read with PeekAnswer).
  void DropAnswer() override { RxLines.DeleteFirst(); }
  // Drops every answer not read yet: stale lines must not be taken for the answer to a request.
  void DropAnswers() override { RxLines.Clear(); }

  // While held, received lines wait in the answers without being handed to OnReceive, as they
  // would while the tick thread slept (a protocol's pause); the release hands them over.
  void HoldDeliveries(bool on) override;

  // A line for the link's trace: what a protocol found out about the device. Nothing without a
  // trace.
  void Note(const std::string& text) override {
    if (OnNote) OnNote(text);
  }
  std::function<void(const std::string& text)> OnNote;

  // Received entries, oldest first: the link's own queue, which the delivery and the tests see.
  TLineQueue RxLines;
  // The single consumer of received lines; the line is entry 0 of RxLines during the call.
  std::function<void(SerialLink& sender, const std::string& line)> OnReceive;

private:
  // Hands the oldest line to OnReceive; false when none waits.
  bool DeliverFirst();
  // The lines waiting when the worker said that one arrived, each in turn.
  void DeliverArrived();
  struct Arrival {
    std::atomic<bool> posted{false}; // a delivery is posted and has not run yet
    SerialLink* link = nullptr;      // null once the link has gone (tick thread only)
  };
  std::shared_ptr<Arrival> arrival_ = std::make_shared<Arrival>();
  static void PostDelivery(platform::IEventLoop& loop, const std::shared_ptr<Arrival>& arrival);
  bool held_ = false;

  platform::IEventLoop& loop_;
  platform::ISerialPorts& ports_;
  platform::ISettings* settings_;
  CanLink* can_;
  bool delivering_ = false; // from FillPortList on
  ISelector* portSelector_ = nullptr;
  int PortNo_ = 0;
  std::unique_ptr<SerialWorker> thread_; // after RxLines: it goes first
};

} // namespace vk::link
