#include "devsim/PacedSerialModel.h"

#include <algorithm>

namespace vk::devsim {

Micros PacedSerialModel::ByteTime(std::uint32_t baud) const {
  if (baud == 0) return 1;
  const std::uint64_t bits = host_.parity == Parity::None ? 10 : 11;
  return std::max<Micros>(1, static_cast<Micros>((bits * 1000000 + baud / 2) / baud));
}

void PacedSerialModel::Receive(const std::uint8_t* data, std::size_t n, Millis now) {
  ReceiveUs(data, n, MsToUs(now));
}

void PacedSerialModel::ReceiveUs(const std::uint8_t* data, std::size_t n, Micros now) {
  const Micros t = std::max(now_, now);
  Advance(t);
  if (hungUp_) {
    counters_.ignoredAfterHangUp += n;
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    Micros at = std::max(t, lastWire_);
    if (pacing_) at += ByteTime(host_.baud);
    lastWire_ = at;
    wire_.push_back({data[i], at, host_.baud});
  }
  Advance(t);
}

void PacedSerialModel::SetHostLine(const HostLine& line, Millis now) {
  Advance(std::max(now_, MsToUs(now)));
  host_ = line;
}

std::vector<std::uint8_t> PacedSerialModel::TakeOutput(Millis now) {
  return TakeOutputUs(MsToUs(now));
}

std::vector<std::uint8_t> PacedSerialModel::TakeOutputUs(Micros now) {
  Advance(std::max(now_, now));
  std::vector<std::uint8_t> out;
  out.swap(ready_);
  return out;
}

Micros PacedSerialModel::FirmwareDue() const {
  return received_.empty() ? kNever : std::max(received_.front().at, busyUntil_);
}

std::optional<Millis> PacedSerialModel::NextDue() const {
  const auto due = NextDueUs();
  return due ? std::optional<Millis>((*due + 999) / 1000) : std::nullopt;
}

std::optional<Micros> PacedSerialModel::NextDueUs() const {
  if (hungUp_) return std::nullopt;
  Micros t = FirmwareDue();
  if (!wire_.empty()) t = std::min(t, wire_.front().at);
  if (!output_.empty()) t = std::min(t, output_.front().at);
  if (hangUpAt_) t = std::min(t, *hangUpAt_);
  if (t == kNever) return std::nullopt;
  return t;
}

// Events in time order; at equal times a due reply goes out first, then a hang-up, then the
// firmware, then the receiver. The firmware before the receiver means that a burst sent at one
// instant is handled byte by byte, so a command that changes the receiver's rate takes effect
// for the bytes behind it.
void PacedSerialModel::Advance(Micros now) {
  now_ = std::max(now_, now);
  while (!hungUp_) {
    const Micros tOut = output_.empty() ? kNever : output_.front().at;
    const Micros tHang = hangUpAt_.value_or(kNever);
    const Micros tFirmware = FirmwareDue();
    const Micros tWire = wire_.empty() ? kNever : wire_.front().at;
    const Micros t = std::min({tOut, tHang, tFirmware, tWire});
    if (t > now_) break;
    if (t == tOut) {
      const LineByte b = output_.front();
      output_.pop_front();
      const bool lost = b.baud != host_.baud;
      Record(TranscriptEntry::Kind::ToHost, b.at, b.baud, lost, b.b);
      if (lost) {
        ++counters_.lostOut;
      } else {
        ++counters_.bytesOut;
        ready_.push_back(b.b);
      }
    } else if (t == tHang) {
      hungUp_ = true;
      counters_.ignoredAfterHangUp += wire_.size() + received_.size();
      wire_.clear();
      received_.clear();
      output_.clear();
      Note(t, "hang-up: the device is gone");
    } else if (t == tFirmware) {
      const LineByte b = received_.front();
      received_.pop_front();
      OnByte(b.b, t, b.baud);
    } else {
      const LineByte b = wire_.front();
      wire_.pop_front();
      const bool heard = ListensAt(b.baud);
      const bool overrun = heard && (overrun_ || (holdsOneByte_ && !received_.empty()));
      Record(TranscriptEntry::Kind::FromHost, b.at, b.baud, !heard || overrun, b.b);
      if (overrun) {
        ++counters_.overrun;
        if (!overrun_) {
          overrun_ = true;
          OnOverrun(b.at);
        }
      } else if (heard) {
        ++counters_.bytesIn;
        received_.push_back(b);
      } else {
        ++counters_.lostIn;
      }
    }
  }
}

Micros PacedSerialModel::Send(std::string_view bytes, Micros readyAt, std::uint32_t baud) {
  for (const char c : bytes) {
    Micros due = std::max(readyAt, lastOut_);
    if (pacing_) due += ByteTime(baud);
    lastOut_ = due;
    output_.push_back({static_cast<std::uint8_t>(c), due, baud});
  }
  return bytes.empty() ? std::max(readyAt, lastOut_) : lastOut_;
}

void PacedSerialModel::BusyUntil(Micros until) { busyUntil_ = std::max(busyUntil_, until); }

void PacedSerialModel::HangUpAt(Micros at) {
  if (!hangUpAt_ || at < *hangUpAt_) hangUpAt_ = at;
}

void PacedSerialModel::Note(Micros at, std::string text) {
  TranscriptEntry e;
  e.at = at;
  e.end = at;
  e.kind = TranscriptEntry::Kind::Note;
  e.bytes = std::move(text);
  transcript_.push_back(std::move(e));
}

std::string PacedSerialModel::LineSummary(std::string_view lostTo) const {
  return "bytes in " + std::to_string(counters_.bytesIn) + ", out " +
         std::to_string(counters_.bytesOut) + "; lost to " + std::string(lostTo) + ": in " +
         std::to_string(counters_.lostIn) + ", out " + std::to_string(counters_.lostOut) +
         (counters_.overrun > 0 ? "; lost to an overrun: " + std::to_string(counters_.overrun)
                                : "") +
         (hungUp_ ? "; hung up" : "");
}

// Two byte times of silence end an entry.
std::size_t PacedSerialModel::SettledEntries() const {
  if (transcript_.empty()) return 0;
  const TranscriptEntry& last = transcript_.back();
  const bool settled = last.kind == TranscriptEntry::Kind::Note || hungUp_ ||
                       now_ > last.end + 2 * ByteTime(last.baud);
  return transcript_.size() - (settled ? 0 : 1);
}

void PacedSerialModel::Record(TranscriptEntry::Kind kind, Micros at, std::uint32_t baud, bool lost,
                              std::uint8_t b) {
  if (!transcript_.empty()) {
    TranscriptEntry& last = transcript_.back();
    if (last.kind == kind && last.baud == baud && last.lost == lost &&
        at <= last.end + 2 * ByteTime(baud)) {
      last.bytes.push_back(static_cast<char>(b));
      last.end = at;
      return;
    }
  }
  TranscriptEntry e;
  e.at = at;
  e.end = at;
  e.kind = kind;
  e.baud = baud;
  e.lost = lost;
  e.bytes.push_back(static_cast<char>(b));
  transcript_.push_back(std::move(e));
}

} // namespace vk::devsim
