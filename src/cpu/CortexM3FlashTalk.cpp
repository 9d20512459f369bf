#include "cpu/CortexM3Flash.h"

// The conversation of Cortex-M3 Flash: one command at a time, each frame answered by "y" (0x79)
// or refused by 0x1F; a read's data behind its last acknowledgement, perhaps with a check byte
// (learnt on the run's first read); 0x7F sent again while unanswered. The products Get ID names
// are here too.

#include "cpu/StmBootLoader.h"
#include "link/ProtocolLink.h"

#include <cstdio>

namespace vk::cpu {

using programmer::CpuState;
using programmer::FailReason;
using programmer::RunPhase;
using programmer::RunPurpose;
using stm_boot::CheckByteLearner;
using stm_boot::CommandFrame;
using stm_boot::Reply;
using Op = stm_boot::Command;

namespace {
// Products with a Cortex-M3 core and pages of one size (ST's reference manuals RM0008, RM0038).
// The STM32F2 (0x411) erases by sectors of different sizes: it is not here, and is erased whole.
// The flash size register: RM0008 0x1FFFF7E0 (STM32F10x), RM0038 0x1FF8004C (STM32L1).
constexpr TCPU_CORTEX_FLASH::Product kProducts[] = {
    {0x410, "STM32F10x medium-density", 1024, 0x1FFFF7E0},
    {0x412, "STM32F10x low-density", 1024, 0x1FFFF7E0},
    {0x414, "STM32F10x high-density", 2048, 0x1FFFF7E0},
    {0x416, "STM32L1 medium-density", 256, 0x1FF8004C},
    {0x418, "STM32F105/107 connectivity line", 2048, 0x1FFFF7E0},
    {0x420, "STM32F100 value line low/medium-density", 1024, 0x1FFFF7E0},
    {0x428, "STM32F100 value line high-density", 2048, 0x1FFFF7E0},
    {0x430, "STM32F10x XL-density", 2048, 0x1FFFF7E0},
};
} // namespace

std::optional<TCPU_CORTEX_FLASH::Product> TCPU_CORTEX_FLASH::FindProduct(std::uint16_t id) {
  for (const auto& p : kProducts)
    if (p.id == id) return p;
  return std::nullopt;
}

void TCPU_CORTEX_FLASH::Advance() {
  while (const auto entry = Comm->TakeAnswer()) rx_ += *entry;
  const CpuState state = State;
  // Answers that are all there are taken in one tick; a tick never waits.
  for (int i = 0; i < 64 && State == state && Phase == RunPhase::Step && TalkTick(); ++i) {
  }
}

void TCPU_CORTEX_FLASH::Start(Command command) {
  command_ = std::move(command);
  frame_ = 0;
  rx_.clear(); // whatever came before the command belongs to none
  awaitingCheckByte_ = false;
  TalkStep = Talk::Send;
}

void TCPU_CORTEX_FLASH::SendSync() {
  RunStage = Stage::Sync;
  Comm->DropAnswers();
  Start({"synchronisation",
         {},
         {std::string(1, static_cast<char>(stm_boot::kSync))},
         Command::Data::None,
         0,
         kTiming.syncQuietMs});
}

bool TCPU_CORTEX_FLASH::TalkTick() {
  switch (TalkStep.Is()) {
  case Talk::Idle:
    if ((RunStage == Stage::Sync || RunStage == Stage::Restart) && WaitedLongerThan(waitLimitMs_)) {
      SendSync();
      return true;
    }
    return false;
  case Talk::Send: {
    const std::string& frame = command_.frames[frame_];
    if (!frame.empty()) Comm->SendString(frame);
    const bool last = frame_ + 1 == command_.frames.size();
    waitLimitMs_ = last ? command_.lastAckLimitMs : kTiming.answerLimitMs;
    StartWaiting();
    TalkStep = Talk::AwaitAck;
    return true;
  }
  case Talk::AwaitAck: {
    if (rx_.empty()) {
      if (!WaitedLongerThan(waitLimitMs_)) return false;
      if (RunStage != Stage::Sync)
        Fail(FailReason::RecordUnanswered, command_.name + Where() + " unanswered");
      else if (AnotherAttempt(syncRepeats_, kSyncRetries))
        Start(command_);
      else
        Fail(FailReason::NoSync);
      return false;
    }
    const auto b = static_cast<std::uint8_t>(rx_[0]);
    const Reply reply = stm_boot::Heard(rx_.substr(0, 1));
    rx_.erase(0, 1);
    if (RunStage == Stage::Sync) {
      // A refusal of 0x7F comes from a loader that was synchronised already; noise is dropped.
      if (reply != Reply::Neither) CommandDone();
      return true;
    }
    if (reply == Reply::Nack) {
      Refused();
      return false;
    }
    if (reply != Reply::Ack) {
      char text[64];
      std::snprintf(text, sizeof text, ": answered 0x%02X instead of an acknowledgement", b);
      Fail(FailReason::Garbled, command_.name + Where() + text);
      return false;
    }
    if (++frame_ < command_.frames.size()) {
      TalkStep = Talk::Send;
    } else if (command_.data == Command::Data::None) {
      CommandDone();
    } else {
      waitLimitMs_ = kTiming.answerLimitMs;
      StartWaiting();
      TalkStep = Talk::AwaitData;
    }
    return true;
  }
  case Talk::AwaitData:
    if (command_.data == Command::Data::Counted) {
      // N, N + 1 bytes, and the closing acknowledgement.
      if (!rx_.empty() && rx_.size() >= static_cast<std::uint8_t>(rx_[0]) + 3u) {
        const std::size_t n = static_cast<std::uint8_t>(rx_[0]) + 1u;
        data_ = rx_.substr(1, n);
        const Reply closing = stm_boot::Heard(rx_.substr(n + 1, 1));
        rx_.erase(0, n + 2);
        if (closing != Reply::Ack) {
          Fail(FailReason::Garbled, command_.name + ": its answer did not end with an "
                                                    "acknowledgement");
          return false;
        }
        CommandDone();
        return true;
      }
    } else if (rx_.size() >= command_.dataCount) {
      const std::size_t n = command_.dataCount;
      if (rx_.size() > n && checkBytes_.HeardMore()) {
        // For the trace only, as the check says it.
        Comm->Note("Cortex-M3 loader sends a check byte behind the data it reads: it is checked");
      }
      if (checkBytes_.Is() == CheckByteLearner::Sends::NotKnown) {
        // The whole answer came and nothing behind it: a check byte would have come at once.
        if (!awaitingCheckByte_) {
          awaitingCheckByte_ = true;
          StartWaiting();
        }
        if (!WaitedLongerThan(kTiming.checkByteQuietMs)) return false;
        checkBytes_.HeardNothing();
      }
      if (checkBytes_.Is() == CheckByteLearner::Sends::Yes) {
        if (rx_.size() < n + 1) {
          if (WaitedLongerThan(waitLimitMs_))
            Fail(FailReason::RecordUnanswered, command_.name + Where() + ": no check byte");
          return false;
        }
        std::uint8_t x = 0;
        for (std::size_t i = 0; i <= n; ++i) x ^= static_cast<std::uint8_t>(rx_[i]);
        if (x != 0) {
          if (++rereads_ > kMaxRereads) {
            Fail(FailReason::Garbled, command_.name + Where() + " read with a wrong check byte " +
                                          std::to_string(rereads_) + " times");
            return false;
          }
          Start(command_);
          return true;
        }
      }
      rereads_ = 0;
      data_ = rx_.substr(0, n);
      rx_.clear();
      CommandDone();
      return true;
    }
    if (WaitedLongerThan(waitLimitMs_))
      Fail(FailReason::RecordUnanswered, command_.name + Where() + ": the answer stopped short");
    return false;
  }
  return false;
}

void TCPU_CORTEX_FLASH::Refused() {
  if (RunStage == Stage::Probe && frame_ == 0) {
    // The loader refuses reading at the command itself while read protection is active.
    protected_ = true;
    if (Options().removeReadProtection && !unprotected_) {
      Log("read protection is active: removing it (the chip erases its whole flash)");
      RunStage = Stage::Unprotect;
      Start({"Readout Unprotect",
             {},
             {CommandFrame(Op::ReadoutUnprotect), ""},
             Command::Data::None,
             0,
             kTiming.massEraseLimitMs});
      return;
    }
    if (Purpose() == RunPurpose::Identify) return Identified(true);
    Fail(FailReason::ReadProtected, "read protection is active; " + Nothing());
    return;
  }
  Fail(FailReason::CommandRefused, command_.name + Where() + " refused (NACK)");
}

} // namespace vk::cpu
