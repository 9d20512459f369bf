#pragma once
// The two ways to the QX4T controller's program memory.
//
// TCPU_QX4T talks to the controller's CAN loader through the CAN link: commands and image data
// go out as frames to the selected node (function code 0x780), and every answer is one frame
// whose first data byte is the result, picked up from the link's ReplyMsg mailbox. The run
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
#include "programmer/Cpu.h"

#include <cstdint>
#include <string>

namespace vk::link {
class TUSB2CAN;
}

namespace vk::cpu {

class TCPU_QX4T : public programmer::TCPU {
public:
  // can: the CAN link; without one every run fails at its start.
  TCPU_QX4T(platform::IEventLoop& loop, link::TUSB2CAN* can);

  void InitBegin(link::TComm* link, const std::string& param) override;
  // InitStep and ProgramEnd are the defaults (ProgramEnd is never reached).
  void EraseBegin() override;
  void EraseStep() override;
  void EraseEnd() override;
  void ProgramBegin() override;
  void ProgramStep() override;
  void Finish() override;

  static constexpr std::uint16_t kFunctionCode = 0x780;
  static constexpr std::uint32_t kBlockBytes = 128; // whatever BlockSize says
  static constexpr std::uint32_t kFrameBytes = 8;   // 16 data frames per block
  static constexpr std::uint8_t kErased = 0x00;     // the answer to Erase that means success
  static constexpr std::uint8_t kBlockWritten = 0x01;
  static constexpr int kEraseAnswerLimitMs = 30000; // a whole flash erase, with room to spare
  static constexpr int kBlockAnswerLimitMs = 5000;

  // The frames' data bytes.
  static std::string StartFrame();
  static std::string EraseFrame();
  static std::string AddressFrame(std::uint32_t addr);

  // How long an answer is awaited before the run fails.
  int EraseAnswerLimitMs = kEraseAnswerLimitMs;
  int BlockAnswerLimitMs = kBlockAnswerLimitMs;

  // The steps of EraseStep.
  enum class Erasing : std::int32_t {
    SendErase = 0,   // the erase command
    AwaitErased = 1, // its answer: 0x00, or the run fails
    Erased = 2,      // on to Program
  };
  // The steps of ProgramStep.
  enum class Loading : std::int32_t {
    Start = 0,          // the mailbox emptied
    SecondChecksum = 1, // the second checksum word
    SendBlock = 2,      // the address frame and 16 data frames, or none left
    AwaitWritten = 3,   // the answer: 0x01, or the run fails
    AllSent = 4,        // Done
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
  bool WaitedTooLong(int limitMs) const;

  link::TUSB2CAN* can_;
  platform::Millis waitingSince_ = 0;
};

class TCPU_QX4T_BOOT : public programmer::TCPU {
public:
  using programmer::TCPU::TCPU;

  void InitBegin(link::TComm* link, const std::string& param) override;
  void ProgramBegin() override;
  void ProgramStep() override;
  void Finish() override;

  static constexpr std::uint32_t kBootLoaderBaud = 57600;
  static constexpr std::uint32_t kNormalBaud = 115200;
  static constexpr int kEnterAnswers = 4; // the 4th answer without "K" fails the run
  static constexpr int kEnterAnswerLimitMs = 10000;
  static constexpr int kRecordAnswerLimitMs = 5000;

  // How long an answer is awaited before the run fails.
  int EnterAnswerLimitMs = kEnterAnswerLimitMs;
  int RecordAnswerLimitMs = kRecordAnswerLimitMs;

  // The steps of ProgramStep.
  enum class Loading : std::int32_t {
    Start = 0,      // the receive list emptied
    Pause = 1,      // one tick
    SendRecord = 2, // the next record, or the end record when none is left
    AwaitTaken = 3, // 0x06 or "."; anything else fails the run
    AllSent = 4,    // Done; "GN" may start the application
  };

private:
  // Clears the receive list, waits the loader's 100 ms and sends the next record (or the end).
  void SendRecord();
  bool WaitedTooLong(int limitMs) const;

  platform::Millis waitingSince_ = 0;
  std::uint32_t recordAt_ = 0; // the address of the record awaiting its answer
  bool completed_ = false;     // every record taken: "GN" may start the application
};

} // namespace vk::cpu
