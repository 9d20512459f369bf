#include "cpu/QX4T.h"

#include "link/CanChannel.h"
#include "link/CanLink.h"
#include "link/ProtocolLink.h"
#include "platform/Hex.h"
#include "protocol/ImagePrep.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>

namespace vk::cpu {

using programmer::CpuState;
using programmer::FailReason;
using programmer::kImageSize;
using programmer::RunPhase;

namespace {
// "0x0080": blocks and answers in the log.
std::string Hex0x(std::uint32_t v) { return "0x" + platform::HexDigits(v, 4); }
std::string Seconds(int ms) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%g s", ms / 1000.0);
  return buf;
}
} // namespace

// ---------------------------------------------------------------------------------------------
// TCPU_QX4T: over CAN. Frames to the node (host left), answers in the reply mailbox (right):
//   stop message, then 0x7E 0x7E     ->            InitBegin: the link starts afresh
//   0x01 "ERASE"                     ->            SendErase
//                                    <-  0x00      AwaitErased   anything else, or 30 s of
//                                                                silence, fails the run (3 s
//                                                                of it are said in the log)
//   0x7E 0x7E                        ->            ProgramBegin, with the first checksum word
//                                                  SecondChecksum: the second word
//   0x02 addr-high addr-low          ->            SendBlock     for each non-blank block of
//   16 frames of 8 data bytes        ->                          128 bytes
//                                    <-  0x01      AwaitWritten  anything else, or 5 s of
//                                                                silence, fails the run

TCPU_QX4T::TCPU_QX4T(platform::IEventLoop& loop, link::ICanChannel* can)
    : ProtocolBase(loop), can_(can) {}

std::string TCPU_QX4T::StartFrame() { return std::string("\x7E\x7E", 2); }
std::string TCPU_QX4T::EraseFrame() { return std::string{'\x01', 'E', 'R', 'A', 'S', 'E'}; }
std::string TCPU_QX4T::AddressFrame(std::uint32_t addr) {
  return std::string{'\x02', static_cast<char>(addr >> 8 & 0xFF), static_cast<char>(addr & 0xFF)};
}

bool TCPU_QX4T::Send(const std::string& data) { return can_->SendToNode(kFunctionCode, data); }

bool TCPU_QX4T::Answered(std::uint8_t& result) const {
  const auto reply = can_->ReplyResult();
  if (reply) result = *reply;
  return reply.has_value();
}

void TCPU_QX4T::ClearReply() { can_->ClearReply(); }

void TCPU_QX4T::InitBegin(link::IProtocolLink* link, const std::string& param) {
  ProtocolBase::InitBegin(link, param);
  if (can_ == nullptr) { // nothing to talk over
    Fail(FailReason::LinkLost, "no CAN link");
    return;
  }
  // An image with blocks outside the region, which the loader would refuse only after the erase
  // has wiped the application, never gets here: the run controller refuses it first.
  // Closing first makes the loader see the link start afresh: the stop message, then the start
  // frame on a newly opened interface.
  can_->Restart();
  PauseThen(kTiming.afterLinkCloseMs, [this] {
    Send(StartFrame());
    PauseThen(kTiming.afterStartFrameMs);
  });
}

void TCPU_QX4T::EraseBegin() {
  Phase = RunPhase::Step;
  GoTo(Erasing::SendErase);
}

void TCPU_QX4T::EraseStep() {
  switch (At<Erasing>()) {
  case Erasing::SendErase:
    ClearReply();
    // A command that never reached the bus will get no answer: no point in waiting for one.
    if (!Send(EraseFrame())) {
      Fail(FailReason::LinkLost, "the erase command did not reach the bus");
      break;
    }
    StartWaiting();
    quietNoted_ = false;
    GoTo(Erasing::AwaitErased);
    break;
  case Erasing::AwaitErased: {
    std::uint8_t result = 0;
    if (Answered(result)) {
      if (result == kErased)
        GoTo(Erasing::Erased);
      else
        Fail(FailReason::EraseFailed, "erase refused (answer " + Hex0x(result) + ")");
    } else if (WaitedLongerThan(EraseAnswerLimitMs)) {
      Fail(FailReason::EraseFailed, "erase unanswered: node " +
                                        std::to_string(can_->NodeAddress()) + " said nothing in " +
                                        Seconds(EraseAnswerLimitMs));
    } else if (!quietNoted_ && WaitedLongerThan(EraseQuietNoticeMs)) {
      // A node that is not there never answers; the operator hears of it now, not at the limit.
      quietNoted_ = true;
      if (OnLog)
        OnLog("no answer to Erase after " + Seconds(EraseQuietNoticeMs) +
              ": is a QX4T at CAN address " + std::to_string(can_->NodeAddress()) +
              " on this bus, at this bit rate? Waiting up to " + Seconds(EraseAnswerLimitMs) +
              " for a slow erase");
    }
    break;
  }
  case Erasing::Erased:
    Enter(CpuState::Program, RunPhase::Begin);
    break;
  }
}

void TCPU_QX4T::EraseEnd() {
  State = CpuState::Program;
  Phase = RunPhase::Begin;
}

void TCPU_QX4T::ProgramBegin() {
  Send(StartFrame());
  programmer::AppendRunChecksum(Buffer, CurAddr, EndAddr,
                                static_cast<std::uint32_t>(Setup().regionStart),
                                static_cast<std::uint32_t>(Setup().regionEnd));
  Phase = RunPhase::Step;
  GoTo(Loading::Start);
  PauseThen(kTiming.afterProgramStartMs);
}

TCPU_QX4T::BlockSend TCPU_QX4T::SendNextBlock() {
  const std::uint32_t step =
      Setup().blockSize > 0 ? static_cast<std::uint32_t>(Setup().blockSize) : kBlockBytes;
  auto blank = [&](std::uint32_t at) {
    const std::uint8_t* p = Buffer + at;
    return std::all_of(p, p + std::min(step, kImageSize - at),
                       [](std::uint8_t b) { return b == 0xFF; });
  };
  while (CurAddr < EndAddr && CurAddr < kImageSize && blank(CurAddr)) CurAddr += step;
  if (CurAddr >= EndAddr || CurAddr >= kImageSize) return BlockSend::NoneLeft;

  if (!Send(AddressFrame(CurAddr))) return BlockSend::NotSent;
  for (std::uint32_t frame = 0; frame < kBlockBytes / kFrameBytes; ++frame) {
    // A block that runs past the image is filled up as erased flash.
    std::string data(kFrameBytes, '\xFF');
    for (std::uint32_t i = 0; i < kFrameBytes; ++i)
      if (CurAddr + i < kImageSize) data[i] = static_cast<char>(Buffer[CurAddr + i]);
    if (!Send(data)) return BlockSend::NotSent;
    CurAddr += kFrameBytes;
  }
  return BlockSend::Sent;
}

void TCPU_QX4T::ProgramStep() {
  switch (At<Loading>()) {
  case Loading::Start:
    ClearReply();
    GoTo(Loading::SecondChecksum);
    break;
  case Loading::SecondChecksum:
    // The second word, over the same region with the first in place.
    programmer::AppendRunChecksum(Buffer, CurAddr, EndAddr,
                                  static_cast<std::uint32_t>(Setup().regionStart),
                                  static_cast<std::uint32_t>(Setup().regionEnd));
    GoTo(Loading::SendBlock);
    break;
  case Loading::SendBlock:
    ClearReply();
    PauseThen(kTiming.beforeBlockMs, [this] {
      switch (SendNextBlock()) {
      case BlockSend::Sent:
        StartWaiting();
        GoTo(Loading::AwaitWritten);
        break;
      case BlockSend::NoneLeft:
        GoTo(Loading::AllSent);
        break;
      case BlockSend::NotSent: // the loader holds part of a block at most: it will not answer
        Fail(FailReason::LinkLost, "a block did not reach the bus");
        break;
      }
    });
    break;
  case Loading::AwaitWritten: {
    std::uint8_t result = 0;
    const std::uint32_t block = CurAddr - kBlockBytes;
    if (Answered(result)) {
      if (result == kBlockWritten) {
        BytesAcknowledged += kBlockBytes;
        GoTo(Loading::SendBlock);
      } else
        Fail(FailReason::RecordRefused,
             "block at " + Hex0x(block) + " refused (answer " + Hex0x(result) + ")");
    } else if (WaitedLongerThan(BlockAnswerLimitMs)) {
      Fail(FailReason::RecordUnanswered, "block at " + Hex0x(block) + " unanswered");
    }
    break;
  }
  case Loading::AllSent:
    Enter(CpuState::Done, RunPhase::Begin);
    break;
  }
}

void TCPU_QX4T::Finish() { Sleep(kTiming.afterRunMs); }

// ---------------------------------------------------------------------------------------------
// TCPU_QX4T_BOOT: over the serial boot loader at 57600 bit/s (host left, loader right):
//   "BM"                 ->                  InitBegin
//                        <-  a line with K   ProgramBegin  another line: "BM" again (4 lines
//                                                          at most), silence: 10 s at most
//   a record             ->                  ProgramStep   the shared record loop, 100 ms after
//                        <-  0x06 / "."                    the last answer; anything else, or
//                                                          5 s of silence, fails the run
//   ":00000001FF"        ->
//   "GN"                 ->                  Finish: only after every record was taken

void TCPU_QX4T_BOOT::InitBegin(link::IProtocolLink* link, const std::string& param) {
  ProtocolBase::InitBegin(link, param);
  completed_ = false;
  if (Comm == nullptr) {
    Fail(FailReason::LinkLost, "no serial link");
    return;
  }
  Comm->SetBaudRate(kBootLoaderBaud);
  Enter(CpuState::Program, RunPhase::Begin);
  PauseThen(kTiming.afterRateChangeMs, [this] {
    Comm->SendString("BM\r");
    StartWaiting();
    PauseThen(kTiming.afterEnterMs);
  });
}

// Waits for the boot loader to answer "BM\r": a line with "K" starts programming; any other line
// of two characters or more asks again, three times at most.
void TCPU_QX4T_BOOT::ProgramBegin() {
  const std::string answer = Comm->PeekAnswer();
  if (answer.size() <= 1) {
    if (WaitedLongerThan(kTiming.enterAnswerLimitMs))
      Fail(FailReason::NoSync, "no answer to \"BM\"");
    return;
  }
  if (answer.find('K') != std::string::npos) {
    Enter(CpuState::Program, RunPhase::Step);
    Comm->DropAnswer();
    PauseThen(kTiming.afterEnteredMs, [this] { Comm->DropAnswers(); });
  } else if (AnotherAttempt(Counter, kEnterAnswers - 1)) { // Counter: the answers without "K"
    Comm->SendString("BM\r");
    StartWaiting();
  } else {
    Fail(FailReason::NoSync, "the boot loader did not take \"BM\"");
  }
  Comm->DropAnswers();
}

void TCPU_QX4T_BOOT::ProgramStep() {
  // The loader answers a record it takes with 0x06 or "." and anything else only when it did not
  // take it; it is never asked for a record again.
  static constexpr RecordLoopRules kRules{.acknowledge = "\x06.",
                                          .fatal = "",
                                          .retry = "",
                                          .clearBeforeSend = true,
                                          .maxRetries = 0,
                                          .answerLimitMs = kTiming.recordAnswerLimitMs,
                                          .othersRefuse = true,
                                          .pauseBeforeRecordMs = kTiming.beforeRecordMs};
  RecordLoopStep(kRules, Counter, [this] { Comm->DropAnswers(); });
}

void TCPU_QX4T_BOOT::ProgramEnd() {
  completed_ = true;
  ProtocolBase::ProgramEnd();
}

void TCPU_QX4T_BOOT::Finish() {
  // "GN" starts the application: only one that was written whole.
  if (completed_) {
    Sleep(kTiming.beforeStartMs);
    Comm->SendString("GN\r");
  }
  completed_ = false;
  Sleep(kTiming.beforeRateBackMs);
  Comm->SetBaudRate(kNormalBaud);
  Sleep(kTiming.afterRateBackMs);
}

// ---------------------------------------------------------------------------------------------
// The controller's CAN side outside a run.

namespace qx4t_can {
namespace {
constexpr std::uint8_t kStartMessage = 0x01;
constexpr std::uint8_t kStopMessage = 0x02;
constexpr std::uint32_t kValueGroup = 3; // identifiers 0x180-0x1FF

// One data byte to identifier 0.
link::CanMsg Message(std::uint8_t byte) {
  link::CanMsg msg;
  msg.LEN = 1;
  msg.DATA[0] = byte;
  return msg;
}

// Fixed notation with three decimals after rounding to 8 significant digits; scientific
// notation once the integer part needs more than 8 digits.
std::string FormatFloat(float value, char separator) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  char buffer[64];
  auto r = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value),
                         std::chars_format::scientific, 7);
  double rounded = 0;
  std::from_chars(buffer, r.ptr, rounded);
  if (rounded == 0) rounded = 0; // no "-0.000" for a negative zero
  std::string text;
  if (std::fabs(rounded) >= 1e8) {
    text.assign(buffer, r.ptr);
    std::replace(text.begin(), text.end(), 'e', 'E');
  } else {
    r = std::to_chars(buffer, buffer + sizeof buffer, rounded, std::chars_format::fixed, 3);
    text.assign(buffer, r.ptr);
  }
  std::replace(text.begin(), text.end(), '.', separator);
  return text;
}
} // namespace

std::string ValueText(const link::CanMsg& msg, char prefix, char decimalSeparator) {
  const std::uint32_t v =
      static_cast<std::uint32_t>(msg.DATA[0]) | static_cast<std::uint32_t>(msg.DATA[1]) << 8 |
      static_cast<std::uint32_t>(msg.DATA[2]) << 16 | static_cast<std::uint32_t>(msg.DATA[3]) << 24;
  std::string text(1, prefix);
  if (msg.DATA[3] != 0) {
    const float f = std::bit_cast<float>(v);
    if (!(f < 0)) text += '+';
    return text + FormatFloat(f, decimalSeparator);
  }
  return text + "+" + std::to_string(v);
}

char LocaleDecimalSeparator() {
  const std::lconv* lc = std::localeconv();
  if (lc != nullptr && lc->decimal_point != nullptr && lc->decimal_point[0] != '\0')
    return lc->decimal_point[0];
  return '.';
}

void Attach(link::CanLink& can, std::function<void(const std::string& text)> onValue,
            char decimalSeparator, char valuePrefix) {
  can.OnOpened = [&can] { can.WriteFrame(Message(kStartMessage)); };
  can.OnClosing = [&can] { can.WriteFrame(Message(kStopMessage)); };
  can.OnFrame = [onValue = std::move(onValue), decimalSeparator,
                 valuePrefix](const link::CanMsg& msg) {
    switch (msg.ID >> 7) {
    case kValueGroup:
      if (onValue) onValue(ValueText(msg, valuePrefix, decimalSeparator) + "\r");
      return true;
    case 0:
    case 5:
    case 7:
    case 9:
      return true; // not for this program
    default:
      return false;
    }
  };
}
} // namespace qx4t_can

} // namespace vk::cpu
