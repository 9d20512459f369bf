#include "devsim/ModelText.h"

#include <cstdio>

namespace vk::devsim {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Hex4(std::uint32_t v) {
  char buf[12];
  std::snprintf(buf, sizeof buf, "0x%04X", v);
  return buf;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

HexRecord ParseHexRecord(const std::string& line) {
  HexRecord r;
  if (line.size() < 11 || line[0] != ':' || (line.size() - 1) % 2 != 0) return r;
  std::vector<std::uint8_t> bytes;
  bytes.reserve((line.size() - 1) / 2);
  for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
    const int hi = HexValue(line[i]);
    const int lo = HexValue(line[i + 1]);
    if (hi < 0 || lo < 0) return r;
    bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  if (bytes.size() != static_cast<std::size_t>(bytes[0]) + 5) return r;
  std::uint8_t sum = 0;
  for (const auto b : bytes) sum = static_cast<std::uint8_t>(sum + b);
  r.type = bytes[3];
  r.address = static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]);
  r.data.assign(bytes.begin() + 4, bytes.end() - 1);
  r.status = sum == 0 ? HexRecord::Status::Ok : HexRecord::Status::BadChecksum;
  return r;
}

std::optional<std::string> LineCollector::Add(std::uint8_t b, bool* cut) {
  if (cut) *cut = false;
  if (b == '\n') return std::nullopt;
  if (b != '\r') {
    if (line_.size() < maxLine_) {
      line_.push_back(static_cast<char>(b));
    } else if (!cut_) {
      cut_ = true;
      if (cut) *cut = true;
    }
    return std::nullopt;
  }
  std::string line;
  line.swap(line_);
  cut_ = false;
  return line;
}

void LineCollector::Clear() {
  line_.clear();
  cut_ = false;
}

std::string BytesIn(std::uint64_t bytes, std::uint32_t lowest, std::uint32_t highest) {
  if (bytes == 0) return {};
  return ", " + std::to_string(bytes) + " byte(s) in " + Hex4(lowest) + "-" + Hex4(highest);
}

} // namespace vk::devsim
