#pragma once
// SerialWorker: the serial worker. It alone holds the open port. Its loop body, Step, reads one
// byte with a time-out and acts on it: a byte goes through the framing into the link's
// received-line list; a quiet line gets the changed settings first and then one queued string
// per write; three idle reads in a row hand over a partial entry. Production runs Step on a
// thread of its own (the loop's IWorker), the simulated world steps it in virtual time.
//
// Waking: the worker waits on the port and on a wake-up signal at once, so a queued string, a
// settings change or a port change is acted on at once instead of at the end of the read
// time-out. The order stays: bytes already received are read first; settings are applied
// before the next write; strings go out in queue order, one string per write; nothing is
// written until the line has been quiet for kQuietChars character times at its bit rate (the
// tail of a device's answer is not talked over; in raw-byte mode every byte is the whole answer
// and a write goes at once); a partial entry still waits three idle
// reads (kReadTimeoutMs each) of silence; in raw mode an idle read lasts kRawIdleChars character
// times, so that a one-byte answer (an H8 kernel's acknowledgement) is not held for 30 ms.
//
// Strings are taken only while a port is open or being opened: with no port chosen ("PCAN"), or
// a chosen port that would not open, they are dropped, and choosing a port drops whatever still
// waited, so nothing meant for one moment or one device reaches the port opened later.

#include "link/LineQueue.h"
#include "link/LinkMessage.h"
#include "link/RxFraming.h"
#include "platform/EventLoop.h"
#include "platform/SerialDevice.h"

#include <atomic>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace vk::link {

class SerialWorker {
public:
  static constexpr int kReadTimeoutMs = 10; // a read that gets no byte ends after this
  static constexpr int kRawIdleChars = 3;   // the same in raw mode, in character times
  static constexpr int kQuietChars = 3;     // the line counts as quiet this long after a byte
  static constexpr int kPortWaitMs = 500;   // waiting while no port, or no openable port, is set

  SerialWorker(platform::IEventLoop& loop, platform::ISerialPorts& ports, TellUser tell,
               TLineQueue& receiveTarget);
  ~SerialWorker(); // stops the worker and closes the port
  SerialWorker(const SerialWorker&) = delete;
  SerialWorker& operator=(const SerialWorker&) = delete;

  // --- tick thread ---
  // Closes the port and opens COM<portNo>; 0 or below leaves the port closed.
  void ChoosePort(int portNo);
  // Ports the port list showed: that such a port has gone is worth a message.
  void SetListedPorts(std::set<int> ports);
  platform::LineSettings Settings() const;
  void SetSettings(const platform::LineSettings& settings);
  // The settings are written to the port before the next write.
  void MarkSettingsChanged();
  // 4 raw bytes, 3 raw blocks, 0 text lines, at once whatever the current mode.
  void SetRxMode(std::uint8_t mode);
  std::uint8_t RxMode() const { return rxMode_.load(); }
  // Appends to TxLines and wakes the worker; dropped while no port is open or being opened.
  void Queue(std::string bytes);
  // Before Start: called on the worker each time an entry has been appended to the receive
  // list, so that the tick thread can act on it at once instead of at its next timer.
  void SetOnArrival(std::function<void()> fn) { onArrival_ = std::move(fn); }
  void Start();
  // Ends the worker (waits for its current step) and closes the port. Idempotent.
  void Stop();

  bool IsOpen() const { return portOpen_.load(); }
  // False once the worker has been stopped.
  bool Running() const { return running_.load(); }
  // The device went away under the open port (a hang-up or a read error: an unplugged USB
  // adapter). The port has been closed; it stays so, and this true, until a port is chosen
  // again.
  bool Lost() const { return lost_.load(); }
  // "COM5 (/dev/ttyUSB0): the device has gone (Input/output error)"; empty when not Lost.
  std::string LostText() const;
  // "COM5 (/dev/ttyUSB0) has gone: reconnect it, then choose the port again"; empty when not
  // Lost.
  std::string LostAdvice() const;
  int PortNo() const { return portNo_.load(); }
  std::string PortName() const;
  // Settings the port refused when they were last applied (RefusedSetting bits).
  unsigned LastRefused() const { return lastRefused_.load(); }
  // Every queued string has been handed to the port whole: none waits, none is being written.
  // A caller that ends the program after a run waits for this, so the last command goes out.
  bool AllSent() const { return TxLines.Empty() && !writing_.load(); }

  // --- worker ---
  // The loop body. Returns false when the worker has ended.
  bool Step();

  // Strings waiting to be written, oldest first.
  TLineQueue TxLines;

private:
  static constexpr platform::Millis kNever = std::numeric_limits<platform::Millis>::min() / 2;

  bool ReopenStep();
  bool ReadStep();
  void IdleStep();
  void WriteStep();
  void ApplySettings();
  // How long a read that gets no byte lasts in the current receive mode.
  std::int64_t IdleReadUs() const;
  // After an attempt to open for request gen: strings are taken from now on, or dropped.
  void SetAccepting(std::uint64_t gen, bool on);
  void ClosePort();
  void Deliver(std::optional<std::string> entry);
  void Lose(int error);
  void TellFromWorker(LinkMessage message);

  platform::IEventLoop& loop_;
  platform::ISerialPorts& ports_;
  TellUser tell_;
  TLineQueue& receiveTarget_;
  std::unique_ptr<platform::IWorker> worker_;

  // Shared with the tick thread.
  std::atomic<int> portNo_{0};
  std::atomic<std::uint64_t> requestGen_{1}; // a request for "port 0" stands at creation
  std::atomic<bool> settingsChanged_{false};
  std::atomic<std::uint8_t> rxMode_{TRxFraming::Text};
  std::atomic<bool> portOpen_{false};
  std::atomic<bool> running_{false};
  std::atomic<unsigned> lastRefused_{0};
  std::atomic<bool> writing_{false}; // a string taken from TxLines is being written
  std::atomic<bool> lost_{false};
  mutable std::mutex mutex_; // settings_, portName_, accepting_, lostText_, the port choice
  bool accepting_ = false;   // a port is open or being opened: strings are taken
  platform::LineSettings settings_;
  std::string portName_;
  std::string lostText_;
  std::string lostAdvice_;
  std::set<int> listedPorts_;       // written before Start
  std::function<void()> onArrival_; // written before Start
  bool started_ = false;

  // The worker's own.
  std::unique_ptr<platform::ISerialDevice> port_;
  TRxFraming framing_;
  std::uint64_t handledGen_ = 0;
  std::uint64_t failedGen_ = 0;
  std::uint64_t reportedGen_ = 0;
  platform::Millis retryAt_ = 0;
  std::int64_t lastByteAtUs_ = kNever;
  std::int64_t quietUs_ = 0; // kQuietChars at the rate last applied
  std::int64_t nextIdleAtUs_ = 0;
  std::int64_t charUs_ = 87; // one character at the rate last applied
};

} // namespace vk::link
