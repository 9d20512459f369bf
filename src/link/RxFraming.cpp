#include "link/RxFraming.h"

namespace vk::link {

std::optional<std::string> TRxFraming::Take() {
  if (accumulator_.empty()) return std::nullopt;
  std::string entry;
  entry.swap(accumulator_);
  return entry;
}

std::optional<std::string> TRxFraming::Byte(std::uint8_t b) {
  idleCount_ = 0;
  const char c = static_cast<char>(b);
  switch (RxMode) {
  case Text:
    if (b == 0x0D || b == 0x0A) return Take();
    if (b == 0x06 || b == '.') {
      if (accumulator_.empty()) return std::string(1, c);
      accumulator_ += c;
      return std::nullopt;
    }
    if (b == 0x7E) {
      RxMode = FrameHeader;
      auto before = Take();
      accumulator_.assign(1, c);
      return before;
    }
    accumulator_ += c;
    return std::nullopt;
  case FrameHeader:
    accumulator_ += c;
    RxMode = FrameBody;
    return std::nullopt;
  case FrameBody: {
    accumulator_ += c;
    // After an idle flush in the middle of a frame the header may not be there yet.
    if (accumulator_.size() < 2) return std::nullopt;
    const auto header = static_cast<std::uint8_t>(accumulator_[1]);
    if (accumulator_.size() == static_cast<std::size_t>((header & 0x0F) + 4)) {
      RxMode = Text;
      return Take();
    }
    return std::nullopt;
  }
  case Raw:
    accumulator_ += c;
    if (accumulator_.size() == kRawBlock) return Take();
    return std::nullopt;
  case RawBytes:
    accumulator_ += c;
    return Take();
  }
  accumulator_ += c; // a mode the link never sets: keep the byte
  return std::nullopt;
}

std::optional<std::string> TRxFraming::Idle() {
  if (accumulator_.empty()) return std::nullopt;
  if (++idleCount_ < kIdleReadsToFlush) return std::nullopt;
  return Take(); // the mode stays: a frame cut short goes on with the next byte
}

std::optional<std::string> TRxFraming::Flush() {
  if (RxMode == FrameHeader || RxMode == FrameBody) RxMode = Text;
  idleCount_ = 0;
  return Take();
}

} // namespace vk::link
