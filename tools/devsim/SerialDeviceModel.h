#pragma once
// What every simulated serial device offers: bytes in, bytes out and the host's line settings,
// stepped by the caller's clock. A model has no threads and no clock of its own, so the same
// object runs in virtual time inside a test, behind an in-process serial port of the simulated
// world, or behind a pseudo-terminal in vkdevsim.

#include "platform/SerialDevice.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vk::devsim {

using Millis = std::int64_t;
using Micros = std::int64_t;

enum class Parity : std::uint8_t { None, Even, Odd };

// The line as the host has set it up. A pseudo-terminal carries only the bit rate: it forces
// 8 data bits without parity and has no modem lines, so parity, DTR and RTS reach a model only
// from an in-process caller.
struct HostLine {
  std::uint32_t baud = 115200;
  Parity parity = Parity::None;
  bool dtr = true;
  bool rts = true;
  bool operator==(const HostLine&) const = default;
};

// The line an in-process host's serial device has set up, as the model sees it.
inline HostLine HostLineOf(const platform::LineSettings& s) {
  HostLine host;
  host.baud = s.BaudRate;
  host.parity = s.Parity == 2 ? Parity::Even : s.Parity == 1 ? Parity::Odd : Parity::None;
  host.dtr = s.Dtr;
  host.rts = s.Rts;
  return host;
}

struct TranscriptEntry {
  enum class Kind : std::uint8_t { FromHost, ToHost, Note };
  Micros at = 0;  // when the first byte of the entry was on the wire
  Micros end = 0; // when the last one was
  Kind kind = Kind::Note;
  std::uint32_t baud = 0; // rate the bytes travelled at
  bool lost = false;      // the receiving side listened at another rate and got nothing usable
  std::string bytes;      // raw bytes, or the text of a note
};

class SerialDeviceModel {
public:
  virtual ~SerialDeviceModel() = default;

  // Bytes the host wrote, handed over at `now`.
  virtual void Receive(const std::uint8_t* data, std::size_t n, Millis now) = 0;
  // The host changed its line settings at `now`; output already due keeps the old settings.
  virtual void SetHostLine(const HostLine& line, Millis now) = 0;
  virtual const HostLine& CurrentHostLine() const = 0;
  void SetHostBaud(std::uint32_t baud, Millis now) {
    HostLine line = CurrentHostLine();
    line.baud = baud;
    SetHostLine(line, now);
  }

  // Runs the device up to `now` and returns the bytes that have reached the host by then.
  virtual std::vector<std::uint8_t> TakeOutput(Millis now) = 0;
  // The earliest time at which something happens without further input; none when idle.
  virtual std::optional<Millis> NextDue() const = 0;

  // The same three to the microsecond, for a transport on a real clock (a pseudo-terminal),
  // where a whole millisecond would hold every answer back by up to one. By default the
  // millisecond calls.
  virtual void ReceiveUs(const std::uint8_t* data, std::size_t n, Micros now) {
    Receive(data, n, now / 1000);
  }
  virtual std::vector<std::uint8_t> TakeOutputUs(Micros now) { return TakeOutput(now / 1000); }
  virtual std::optional<Micros> NextDueUs() const {
    const auto due = NextDue();
    return due ? std::optional<Micros>(*due * 1000) : std::nullopt;
  }

  // The device has gone away (unplugged); the transport should drop the line.
  virtual bool HungUp() const = 0;
  // Data records the device has taken in (and answered or refused) so far; 0 for a device
  // that takes none. The transport's faults count them.
  virtual std::uint64_t RecordsTaken() const { return 0; }
  // What the device's flash holds now, for --flash-out; empty for a device without one.
  virtual std::vector<std::uint8_t> FlashImage() const { return {}; }

  // Line-speed pacing: 10 bits per byte (11 with parity) each way at the host's bit rate.
  virtual void SetPacing(bool on) = 0;

  // Bytes that follow each other on the line without a pause make one entry, so the last entry
  // may still grow; the settled ones before it (and the last, once the line has been quiet for
  // two byte times) will not change any more.
  virtual const std::vector<TranscriptEntry>& Transcript() const = 0;
  virtual std::size_t SettledEntries() const = 0;
  // A few human-readable lines on what the device went through.
  virtual std::string Summary() const = 0;
};

} // namespace vk::devsim
