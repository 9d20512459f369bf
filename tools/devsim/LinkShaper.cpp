#include "devsim/LinkShaper.h"

#include "devsim/DeviceCommand.h"

#include <algorithm>

namespace vk::devsim {

std::optional<LinkConfig> ParseLinkKind(std::string_view text) {
  LinkConfig c;
  if (text == "ideal") return c;
  if (text == "uart") {
    c.kind = LinkConfig::Kind::Uart;
    return c;
  }
  if (text == "usb" || text.substr(0, 4) == "usb:") {
    c.kind = LinkConfig::Kind::Usb;
    if (text.size() > 3) {
      std::uint64_t ms = 0;
      if (!ParseNumber(text.substr(4), 255, ms) || ms < 1) return std::nullopt;
      c.usbLatencyMs = static_cast<Millis>(ms);
    }
    return c;
  }
  return std::nullopt;
}

bool ParseUnplugAfter(std::string_view text, LineFaults& into) {
  const bool bytes = !text.empty() && text.back() == 'b';
  if (bytes) text.remove_suffix(1);
  std::uint64_t n = 0;
  if (!ParseNumber(text, UINT32_MAX, n) || n == 0) return false;
  (bytes ? into.unplugAfterBytes : into.unplugAfterRecords) = n;
  return true;
}

bool ParseStall(std::string_view text, LineFaults& into) {
  const auto at = text.find('@');
  if (at == std::string_view::npos) return false;
  std::uint64_t ms = 0, n = 0;
  if (!ParseNumber(text.substr(0, at), 3600000, ms) ||
      !ParseNumber(text.substr(at + 1), UINT32_MAX, n) || n == 0)
    return false;
  into.stallMs = static_cast<Millis>(ms);
  into.stallAtRecord = n;
  return true;
}

LinkShaper::LinkShaper(LinkConfig link, LineFaults faults)
    : link_(link), faults_(faults), rng_(faults.noiseSeed) {}

void LinkShaper::FromDevice(const std::vector<std::uint8_t>& bytes, Millis now,
                            std::uint64_t recordsTaken) {
  if (unplugged_) return;
  if (faults_.unplugAfterRecords != 0 && recordsTaken >= faults_.unplugAfterRecords) {
    // Pulled out in the middle of the run: whatever was still on its way is lost with it.
    unplugged_ = true;
    buffer_.clear();
    ready_.clear();
    return;
  }
  if (faults_.stallAtRecord != 0 && !stalled_ && recordsTaken >= faults_.stallAtRecord) {
    stalled_ = true;
    holdUntil_ = now + faults_.stallMs;
  }
  std::bernoulli_distribution flip(faults_.noise);
  std::uniform_int_distribution<int> bit(0, 7);
  for (std::uint8_t b : bytes) {
    if (faults_.noise > 0 && flip(rng_)) {
      b ^= static_cast<std::uint8_t>(1u << bit(rng_));
      ++flipped_;
    }
    if (link_.kind != LinkConfig::Kind::Usb) {
      ready_.push_back(static_cast<char>(b));
      continue;
    }
    if (buffer_.empty()) bufferSince_ = now;
    buffer_.push_back(static_cast<char>(b));
    if (buffer_.size() == LinkConfig::kUsbPacket) {
      ready_ += buffer_;
      buffer_.clear();
      ++bursts_;
    }
  }
}

std::string LinkShaper::ToHost(Millis now) {
  if (unplugged_ || now < holdUntil_) return {};
  if (!buffer_.empty() && now >= bufferSince_ + link_.usbLatencyMs) {
    ready_ += buffer_;
    buffer_.clear();
    ++bursts_;
  }
  std::string out;
  out.swap(ready_);
  return out;
}

std::size_t LinkShaper::FromHost(std::size_t n) {
  if (unplugged_) return 0;
  if (faults_.unplugAfterBytes == 0) return n;
  const std::uint64_t room =
      faults_.unplugAfterBytes > hostBytes_ ? faults_.unplugAfterBytes - hostBytes_ : 0;
  const std::size_t taken = static_cast<std::size_t>(std::min<std::uint64_t>(n, room));
  hostBytes_ += taken;
  if (hostBytes_ >= faults_.unplugAfterBytes) unplugged_ = true;
  return taken;
}

std::optional<Millis> LinkShaper::NextDue() const {
  if (unplugged_) return std::nullopt;
  std::optional<Millis> due;
  if (!ready_.empty()) due = holdUntil_;
  if (!buffer_.empty()) {
    const Millis flush = std::max(holdUntil_, bufferSince_ + link_.usbLatencyMs);
    due = due ? std::min(*due, flush) : flush;
  }
  return due;
}

std::string LinkShaper::Summary() const {
  std::string s = "link: ";
  s += link_.kind == LinkConfig::Kind::Ideal ? "ideal"
       : link_.kind == LinkConfig::Kind::Uart
           ? "uart"
           : "usb, latency " + std::to_string(link_.usbLatencyMs) + " ms, " +
                 std::to_string(bursts_) + " burst(s)";
  if (faults_.noise > 0) s += "; " + std::to_string(flipped_) + " byte(s) with a flipped bit";
  if (stalled_) s += "; stalled " + std::to_string(faults_.stallMs) + " ms";
  if (unplugged_) s += "; unplugged";
  return s + "\n";
}

} // namespace vk::devsim
