#include "devsim/Transcript.h"

#include <cstdio>

namespace vk::devsim {

std::string EscapeBytes(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      out.push_back(ch);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string FormatTranscriptEntry(const TranscriptEntry& entry) {
  char head[64];
  const long long seconds = entry.at / 1000000;
  const long long micros = entry.at % 1000000;
  switch (entry.kind) {
  case TranscriptEntry::Kind::FromHost:
  case TranscriptEntry::Kind::ToHost:
    std::snprintf(head, sizeof head, "%6lld.%06lld %s @%u%s ", seconds, micros,
                  entry.kind == TranscriptEntry::Kind::FromHost ? "host>" : "dev> ",
                  static_cast<unsigned>(entry.baud), entry.lost ? " LOST" : "");
    return head + EscapeBytes(entry.bytes);
  case TranscriptEntry::Kind::Note:
    break;
  }
  std::snprintf(head, sizeof head, "%6lld.%06lld ---- ", seconds, micros);
  return head + entry.bytes;
}

std::string DeliveredBytes(const std::vector<TranscriptEntry>& transcript,
                           TranscriptEntry::Kind kind) {
  std::string out;
  for (const auto& e : transcript) {
    if (e.kind == kind && !e.lost) out += e.bytes;
  }
  return out;
}

} // namespace vk::devsim
