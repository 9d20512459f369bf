#pragma once
// The two ways to the QX4T controller's program memory.
//
// TCPU_QX4T talks to the controller's CAN loader through the CAN link: commands and image data
// go out as frames to the selected node (function code 0x780), and every answer is one frame
// whose first data byte is the result, picked up from the channel's reply. The run
// erases, then sends every non-blank 128-byte block as an address frame and 16 data frames of
// 8 bytes, the image carrying two checksum words at its end.
//
// TCPU_QX4T_BOOT talks to the controller's serial boot loader at 57600 bit/s: "BM\r" to enter
// it (answered with a line holding "K"), the image's Intel HEX records (each answered with 0x06
// or "."), and "GN\r" to start the application once every record was taken (never after a
// failed or stopped run, which would start a half-written application).
//
// Neither loader answers when nothing reaches it, and neither protocol sends anything again on
// silence, so each wait for an answer has a time limit here; a run that reaches it fails.

#include "platform/EventLoop.h"
#include "platform/SerialDevice.h"
#include "protocol/RecordLoader.h"
#include "protocol/RunEstimate.h"

#include <cstdint>
#include <functional>
#include <string>

namespace vk::link {
class CanLink;
class ICanChannel;
struct CanMsg;
} // namespace vk::link

namespace vk::cpu {

// The waits of TCPU_QX4T, in milliseconds.
struct QX4TTiming {
  int afterLinkCloseMs = 10;      // the stop message settles before the start frame
  int afterStartFrameMs = 10;     // the loader takes the start frame before the erase
  int afterProgramStartMs = 10;   // the loader takes the start frame before the first block
  int beforeBlockMs = 50;         // the bus quiet before each block's address frame
  int eraseAnswerLimitMs = 30000; // a whole flash erase, with room to spare
  // Erase unanswered this long: the log says that no node may be there (the wait goes on, as a
  // slow flash may still be erasing; the operator can stop it).
  int eraseQuietNoticeMs = 3000;
  int blockAnswerLimitMs = 5000; // a written block is answered well within this
  int afterRunMs = 200;          // the loader settles before the link is used again
};

class TCPU_QX4T : public programmer::ProtocolBase {
public:
  // can: the CAN link; without one every run fails at its start.
  TCPU_QX4T(platform::IEventLoop& loop, link::ICanChannel* can);

  void InitBegin(link::IProtocolLink* link, const std::string& param) override;
  // InitStep and ProgramEnd are the defaults (ProgramEnd is never reached).
  void EraseBegin() override;
  void EraseStep() override;
  void EraseEnd() override;
  void ProgramBegin() override;
  void ProgramStep() override;
  void Finish() override;

  static constexpr QX4TTiming kTiming{};
  // This protocol's run time for vkprog program --dry-run (protocol/RunEstimate.h).
  static programmer::RunEstimate Estimate(const programmer::EstimateInput& c);
  static constexpr std::uint16_t kFunctionCode = 0x780;
  static constexpr std::uint32_t kBlockBytes = 128; // whatever BlockSize says
  static constexpr std::uint32_t kFrameBytes = 8;   // 16 data frames per block
  static constexpr std::uint8_t kErased = 0x00;     // the answer to Erase that means success
  static constexpr std::uint8_t kBlockWritten = 0x01;

  // The frames' data bytes.
  static std::string StartFrame();
  static std::string EraseFrame();
  static std::string AddressFrame(std::uint32_t addr);

  // How long an answer is awaited before the run fails; a bench may shorten them.
  int EraseAnswerLimitMs = kTiming.eraseAnswerLimitMs;
  int BlockAnswerLimitMs = kTiming.blockAnswerLimitMs;
  int EraseQuietNoticeMs = kTiming.eraseQuietNoticeMs;

  // The steps of EraseStep.
  enum class Erasing : std::int32_t {
    SendErase,   // the erase command
    AwaitErased, // its answer: 0x00, or the run fails
    Erased,      // on to Program
  };
  // The steps of ProgramStep.
  enum class Loading : std::int32_t {
    Start,          // the mailbox emptied
    SecondChecksum, // the second checksum word
    SendBlock,      // the address frame and 16 data frames, or none left
    AwaitWritten,   // the answer: 0x01, or the run fails
    AllSent,        // Done
  };

private:
  enum class BlockSend { Sent, NoneLeft, NotSent };
  // Skips blank blocks, then sends the block at CurAddr as its address frame and 16 data frames.
  // NotSent: the link could not put a frame on the bus.
  BlockSend SendNextBlock();
  // Sends a command frame; false when the link could not put it on the bus.
  bool Send(const std::string& data);
  // The mailbox holds an answer; its result byte in `result`.
  bool Answered(std::uint8_t& result) const;
  void ClearReply();

  link::ICanChannel* can_;
  bool quietNoted_ = false; // the erase's silence was said in the log
};

// What the QX4T controller's CAN side hears and says outside a run, on the CAN link: a start
// message (0x01 to identifier 0) when the link is opened for it, a stop message (0x02) before the
// link closes; value messages (identifiers 0x180-0x1FF) become texts; groups 0, 5, 7 and 9 are
// not for this program; every other frame is a reply for the run's mailbox.
namespace qx4t_can {
// The text of a value message: prefix, sign, the value (integer, or a float with three
// decimals when data byte 3 is not zero).
std::string ValueText(const link::CanMsg& msg, char prefix, char decimalSeparator);
// The system's decimal separator (the C locale's).
char LocaleDecimalSeparator();
// Gives the link the loader's start and stop messages and hands value texts, each ended by
// "\r", to onValue.
void Attach(link::CanLink& can, std::function<void(const std::string& text)> onValue,
            char decimalSeparator = LocaleDecimalSeparator(), char valuePrefix = 'N');
} // namespace qx4t_can

// The waits of TCPU_QX4T_BOOT, in milliseconds.
struct QX4TBootTiming {
  int afterRateChangeMs = 200;    // the line settles at the loader's rate before "BM"
  int afterEnterMs = 200;         // after "BM", before its answer is looked at
  int enterAnswerLimitMs = 10000; // "BM" unanswered (it erases the flash first)
  int afterEnteredMs = 200;       // after the answer with "K", before loading starts
  int beforeRecordMs = 100;       // the loader's quiet time before each record
  int recordAnswerLimitMs = 5000; // an unanswered record fails the run
  int beforeStartMs = 200;        // after the end record, before "GN"
  int beforeRateBackMs = 200;     // the last bytes leave before the rate changes back
  int afterRateBackMs = 200;      // the line settles at the normal rate
};

class TCPU_QX4T_BOOT : public programmer::RecordLoader {
public:
  using programmer::RecordLoader::RecordLoader;

  void InitBegin(link::IProtocolLink* link, const std::string& param) override;
  void ProgramBegin() override;
  // The shared record loop (RecordLoopStep) with the loader's rules.
  void ProgramStep() override;
  void ProgramEnd() override;
  void Finish() override;

  static constexpr QX4TBootTiming kTiming{};
  // This protocol's run time for vkprog program --dry-run (protocol/RunEstimate.h).
  static programmer::RunEstimate Estimate(const programmer::EstimateInput& c);
  static constexpr std::uint32_t kBootLoaderBaud = 57600;
  static constexpr std::uint32_t kNormalBaud = platform::kNormalRate;
  static constexpr int kEnterAnswers = 4; // the 4th answer without "K" fails the run

private:
  bool completed_ = false; // every record taken: "GN" may start the application
};

} // namespace vk::cpu
