#pragma once
// What a protocol may do with the line to its device, and no more: send bytes or text, set the
// line (rate, parity, the modem lines, how answers are cut), read the answers as lines or raw
// bytes, and leave a note in the trace. The serial link is one such line; a bench may offer
// another. Port lists, settings and the worker stay the link's own business.

#include <cstdint>
#include <optional>
#include <string>

namespace vk::link {

// The numbers are the serial device's parity codes.
enum class Parity : std::uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };

class IProtocolLink {
public:
  virtual ~IProtocolLink() = default;

  // Queued unchanged; nothing is appended.
  virtual void SendString(const std::string& text) = 0;
  virtual void SendChar(std::uint8_t byte) = 0;

  virtual void SetBaudRate(std::uint32_t rate) = 0;
  virtual std::uint32_t GetBaudRate() const = 0;
  virtual void SetParity(Parity parity) = 0;
  virtual void SetDTR(bool on) = 0;
  virtual void SetRTS(bool on) = 0;
  // Answers as raw blocks (on) or text lines (off).
  virtual void SetRawMode(bool on) = 0;
  // Answers as raw bytes, each the moment it arrives (on), or text lines (off).
  virtual void SetByteMode(bool on) = 0;
  virtual bool IsOpen() const = 0;

  // The device's answers, oldest first.
  virtual bool AnswerWaiting() const = 0;
  // The oldest answer, left in place ("" when none waits).
  virtual std::string PeekAnswer() const = 0;
  // The oldest answer, taken out; nullopt when none waits.
  virtual std::optional<std::string> TakeAnswer() = 0;
  virtual int AnswerCount() const = 0;
  // The newest answer ("" when none): for a device whose last word is the one that counts.
  virtual std::string LatestAnswer() const = 0;
  virtual void DropAnswer() = 0;
  // Stale answers must not be taken for the answer to a request.
  virtual void DropAnswers() = 0;
  // While held, answers wait without being handed on, as they would while the run slept.
  virtual void HoldDeliveries(bool on) = 0;

  // A line for the link's trace: what the protocol found out about the device.
  virtual void Note(const std::string& text) = 0;
};

} // namespace vk::link
