#pragma once
// The words of ST's serial boot loader (USART, AN3155) that the Cortex-M3 check and Cortex-M3
// Flash both speak: the synchronisation byte, the answers, the commands (each sent as its code
// and the code's complement), the address and length frames, and what the loader sends behind
// the data of a read.

#include <cstdint>
#include <string>
#include <string_view>

namespace vk::cpu::stm_boot {

constexpr std::uint8_t kSync = 0x7F;
constexpr std::uint8_t kAck = 0x79; // "y"
constexpr std::uint8_t kNack = 0x1F;

enum class Command : std::uint8_t {
  Get = 0x00,
  GetId = 0x02,
  ReadMemory = 0x11,
  Go = 0x21,
  WriteMemory = 0x31,
  Erase = 0x43,
  ExtendedErase = 0x44,
  ReadoutUnprotect = 0x92,
};

// The command's code and its complement: 0x11 0xEE.
std::string CommandFrame(Command command);
// An address as Read Memory, Write Memory and Go take it: the four bytes, most significant
// first, and their XOR. A loader refuses a frame whose last byte differs.
std::string AddressFrame(std::uint32_t addr);
// The length of a read of `count` bytes (1..256): count - 1 and its complement.
std::string LengthFrame(std::uint32_t count);
// Bytes followed by their XOR.
std::string WithXor(std::string bytes);

// What bytes from the loader say: an acknowledgement anywhere among them counts, else a refusal
// anywhere, else they are neither.
enum class Reply : std::uint8_t { Ack, Nack, Neither };
Reply Heard(std::string_view bytes);

// Whether the loader sends a check byte (the XOR of the data) behind the data of a read: ST's
// ROM boot loader does not, a loader of the maker's own does. Learnt on a run's first read.
class CheckByteLearner {
public:
  enum class Sends : std::uint8_t { NotKnown, Yes, No };
  Sends Is() const { return sends_; }
  void Forget() { sends_ = Sends::NotKnown; }
  // Something came right behind a whole read, or the line stayed quiet behind it. True when
  // this is what taught it (it was not known before).
  bool HeardMore() { return Learn(Sends::Yes); }
  bool HeardNothing() { return Learn(Sends::No); }

private:
  bool Learn(Sends sends) {
    if (sends_ != Sends::NotKnown) return false;
    sends_ = sends;
    return true;
  }
  Sends sends_ = Sends::NotKnown;
};

} // namespace vk::cpu::stm_boot
