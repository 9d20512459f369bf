#pragma once
// Text as the simulated devices read and write it: hexadecimal digits, Intel HEX records, lines
// ended by CR, and addresses in notes and summaries.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vk::devsim {

// The value of a hexadecimal digit of either case, or -1.
int HexValue(char c);
// "0x" and at least four upper-case digits, e.g. "0x07FF".
std::string Hex4(std::uint32_t v);
// Without the spaces and tabs at either end.
std::string_view TrimBlanks(std::string_view text);

// ":" count address(2) type data checksum, every byte as two hex digits.
struct HexRecord {
  enum class Status { Ok, Malformed, BadChecksum } status = Status::Malformed;
  std::uint8_t type = 0;
  std::uint16_t address = 0;
  std::vector<std::uint8_t> data;
};
// Malformed: too short, no ":", a character that is no hex digit, or a count that does not
// match the length.
HexRecord ParseHexRecord(const std::string& line);

// Gathers the bytes of lines that end with CR; LF is ignored, and bytes past `maxLine` are
// dropped until the line ends.
class LineCollector {
public:
  explicit LineCollector(std::size_t maxLine) : maxLine_(maxLine) {}
  // Takes one byte and returns the line it ends (CR), empty ones included. `cut` is set for the
  // first byte that is dropped.
  std::optional<std::string> Add(std::uint8_t b, bool* cut);
  void Clear();

private:
  std::size_t maxLine_;
  std::string line_;
  bool cut_ = false;
};

// ", N byte(s) in 0xLOW-0xHIGH" when bytes were programmed; nothing when none were.
std::string BytesIn(std::uint64_t bytes, std::uint32_t lowest, std::uint32_t highest);

} // namespace vk::devsim
