#pragma once
// The line half of a serial device model: when bytes arrive and leave, at which bit rate, what is
// lost to a rate mismatch, and the transcript. A device derives from it and supplies only its
// firmware: what it does with each byte its receiver took in.
//
// Every byte passes three stages, all in the caller's time:
//   wire     sent by the host; with pacing it arrives one byte time after the previous one
//   receiver taken in when the device listens at the host's rate, otherwise lost
//   firmware handled by OnByte, not before the device is free again (BusyUntil)
// A device whose receiver holds one byte for its firmware (HoldOneReceivedByte) overruns when a
// byte is complete while the one before is still unread: that byte is lost and the receiver takes
// nothing more, as a UART with its overrun flag set.
// Replies queued with Send reach the host at their due time and are lost if the host has moved
// to another rate meanwhile.

#include "devsim/SerialDeviceModel.h"

#include <deque>
#include <string_view>

namespace vk::devsim {

constexpr Micros MsToUs(Millis ms) { return ms * 1000; }

class PacedSerialModel : public SerialDeviceModel {
public:
  void Receive(const std::uint8_t* data, std::size_t n, Millis now) override;
  void SetHostLine(const HostLine& line, Millis now) override;
  const HostLine& CurrentHostLine() const override { return host_; }
  std::vector<std::uint8_t> TakeOutput(Millis now) override;
  std::optional<Millis> NextDue() const override;
  void ReceiveUs(const std::uint8_t* data, std::size_t n, Micros now) override;
  std::vector<std::uint8_t> TakeOutputUs(Micros now) override;
  std::optional<Micros> NextDueUs() const override;
  bool HungUp() const override { return hungUp_; }
  void SetPacing(bool on) override { pacing_ = on; }
  bool Pacing() const { return pacing_; }
  const std::vector<TranscriptEntry>& Transcript() const override { return transcript_; }
  std::size_t SettledEntries() const override;

  struct LineCounters {
    std::uint64_t bytesIn = 0;  // taken in by the device's receiver
    std::uint64_t bytesOut = 0; // reached the host at its rate
    std::uint64_t lostIn = 0;   // sent by the host at a rate the device was not listening at
    std::uint64_t lostOut = 0;  // sent by the device while the host listened at another rate
    std::uint64_t ignoredAfterHangUp = 0;
    std::uint64_t overrun = 0; // lost to an overrun, and after it
  };
  const LineCounters& Counters() const { return counters_; }

  // Duration of one byte on the line: 10 bits, 11 with a parity bit, at least 1 µs.
  Micros ByteTime(std::uint32_t baud) const;

  // "bytes in N, out N; lost to <lostTo>: in N, out N", and "; hung up" once the device has.
  std::string LineSummary(std::string_view lostTo) const;

protected:
  // The firmware handles one byte that its receiver took in at `at`, sent at `baud`.
  virtual void OnByte(std::uint8_t b, Micros at, std::uint32_t baud) = 0;
  // Whether the device's receiver listens at `baud` right now.
  virtual bool ListensAt(std::uint32_t baud) const = 0;

  // Queues a reply that is ready at `readyAt` and goes out at `baud`; returns the time its last
  // byte reaches the host (readyAt when the reply is empty and the line idle).
  Micros Send(std::string_view bytes, Micros readyAt, std::uint32_t baud);
  // The firmware takes no further byte before `until` (erasing, programming).
  void BusyUntil(Micros until);
  // The receiver holds one byte until the firmware takes it (a receive data register behind the
  // shift register) instead of any number.
  void HoldOneReceivedByte() { holdsOneByte_ = true; }
  // Called once when the receiver overruns, at the time the lost byte was complete.
  virtual void OnOverrun(Micros at) { (void)at; }
  // When the transmitter can take another byte from the firmware: it holds one byte while the
  // one before goes out on the line.
  Micros TransmitterTakesNextAt(std::uint32_t baud) const {
    return pacing_ ? lastOut_ - ByteTime(baud) : lastOut_;
  }
  // The device goes away at `at`; replies due by then still reach the host.
  void HangUpAt(Micros at);
  void Note(Micros at, std::string text);

private:
  struct LineByte {
    std::uint8_t b;
    Micros at;
    std::uint32_t baud;
  };
  static constexpr Micros kNever = INT64_MAX;

  void Advance(Micros now);
  void Record(TranscriptEntry::Kind kind, Micros at, std::uint32_t baud, bool lost, std::uint8_t b);
  Micros FirmwareDue() const;

  HostLine host_;
  bool pacing_ = false;
  bool hungUp_ = false;
  bool holdsOneByte_ = false;
  bool overrun_ = false; // the receiver has overrun and takes nothing more
  Micros now_ = 0;
  Micros busyUntil_ = 0;
  Micros lastWire_ = 0;
  Micros lastOut_ = 0;
  std::optional<Micros> hangUpAt_;
  std::deque<LineByte> wire_;     // sent by the host, not yet at the receiver
  std::deque<LineByte> received_; // at the receiver, not yet handled by the firmware
  std::deque<LineByte> output_;   // queued replies, by due time
  std::vector<std::uint8_t> ready_;
  std::vector<TranscriptEntry> transcript_;
  LineCounters counters_;
};

} // namespace vk::devsim
