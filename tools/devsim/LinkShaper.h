#pragma once
// What lies between a device's UART and the host's serial port: the adapter and the cable.
//
//   ideal  bytes pass at once (or paced by the model alone, with --pace)
//   usb    a USB serial adapter (FTDI, CP210x): the device's bytes wait in the adapter until
//          its latency timer runs out (16 ms unless given) or a 62-byte packet is full, then
//          reach the host as one burst; the host's bytes reach the device at the line's rate
//   uart   a plain UART line: every byte paced at the bit rate, both ways
//
// And the faults a bench sees on that path: the adapter pulled out (after N records the device
// took in, or after N bytes from the host), bit errors in the device's answers, and a device
// that says nothing for a while at a given record.

#include "devsim/SerialDeviceModel.h"

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace vk::devsim {

struct LinkConfig {
  enum class Kind : std::uint8_t { Ideal, Usb, Uart };
  Kind kind = Kind::Ideal;
  Millis usbLatencyMs = 16;
  static constexpr std::size_t kUsbPacket =
      62; // payload of a full-speed packet after 2 status bytes

  // The line paces bytes at the bit rate itself (usb and uart).
  bool Paced() const { return kind != Kind::Ideal; }
};

// "ideal", "uart", "usb" or "usb:LATENCY_MS" (1..255 ms, as the adapters' latency timer);
// nothing for anything else.
std::optional<LinkConfig> ParseLinkKind(std::string_view text);

struct LineFaults {
  std::uint64_t unplugAfterRecords = 0; // 0: never
  std::uint64_t unplugAfterBytes = 0;   // host bytes; 0: never
  double noise = 0;                     // chance that a byte towards the host has a bit flipped
  std::uint64_t noiseSeed = 1;
  Millis stallMs = 0;
  std::uint64_t stallAtRecord = 0; // 0: no stall
};

// "N" (records) or "Nb" (bytes from the host); false for anything else.
bool ParseUnplugAfter(std::string_view text, LineFaults& into);
// "MS@N": silent for MS ms from record N on.
bool ParseStall(std::string_view text, LineFaults& into);

class LinkShaper {
public:
  LinkShaper(LinkConfig link, LineFaults faults);

  // Bytes the device sent by `now`; `recordsTaken`: data records the device has taken in so far.
  void FromDevice(const std::vector<std::uint8_t>& bytes, Millis now, std::uint64_t recordsTaken);
  // What the adapter hands to the host by `now`.
  std::string ToHost(Millis now);
  // How many of `n` bytes the host wrote reach the device before the adapter is pulled out.
  std::size_t FromHost(std::size_t n);
  // When ToHost has something next without further input.
  std::optional<Millis> NextDue() const;
  // The adapter has been pulled out: the port is to vanish now.
  bool Unplugged() const { return unplugged_; }
  std::uint64_t FlippedBytes() const { return flipped_; }
  std::string Summary() const;

private:
  LinkConfig link_;
  LineFaults faults_;
  std::mt19937_64 rng_;
  std::string buffer_; // in the adapter, not yet sent to the host
  Millis bufferSince_ = 0;
  std::string ready_; // packets sent to the host
  Millis holdUntil_ = 0;
  bool stalled_ = false;
  bool unplugged_ = false;
  std::uint64_t hostBytes_ = 0;
  std::uint64_t flipped_ = 0;
  std::uint64_t bursts_ = 0;
};

} // namespace vk::devsim
