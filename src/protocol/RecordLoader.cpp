#include "protocol/RecordLoader.h"

#include "image/IntelHexRecord.h"
#include "link/ProtocolLink.h"
#include "platform/Hex.h"
#include "protocol/ImagePrep.h"

#include <algorithm>
#include <cstdio>

namespace vk::programmer {

void RecordLoader::Arm(const RunOptions& options) {
  inRecordLoop_ = false;
  ProtocolBase::Arm(options);
}

bool RecordLoader::AwaitingAnswerOnly() const {
  return !Pausing() && inRecordLoop_ && State == CpuState::Program && Phase == RunPhase::Step &&
         Step == static_cast<std::int32_t>(RecordStep::Await);
}

std::string RecordLoader::RecordDetail(const std::string& what) const {
  char at[16];
  std::snprintf(at, sizeof at, "0x%04X", static_cast<unsigned>(LastRecordAt));
  return std::string("record at ") + at + " " + what;
}

std::string RecordLoader::RefusalDetail(std::optional<char> refusedWith) const {
  if (!refusedWith) return RecordDetail("refused");
  const auto c = static_cast<unsigned char>(*refusedWith);
  char answer[8];
  if (c >= 0x20 && c < 0x7F)
    std::snprintf(answer, sizeof answer, "%c", c);
  else
    std::snprintf(answer, sizeof answer, "0x%02X", c);
  return RecordDetail(std::string("refused (") + answer + ")");
}

std::string IntelHexRecord(std::uint32_t addr, const std::uint8_t* data, std::uint32_t count) {
  std::string rec;
  rec.reserve(12 + 2 * count);
  image::AppendIntelHexRecord(rec, 0x00, static_cast<std::uint16_t>(addr), data, count);
  rec += '\r';
  return rec;
}

bool RecordLoader::SendNextRecord(bool sendBlankBlocks) {
  const std::uint32_t block =
      Setup().blockSize > 0 ? static_cast<std::uint32_t>(Setup().blockSize) : 1;
  // Blocks never reach past the image: the last one is cut at 0xFFFF.
  auto blockLen = [&](std::uint32_t at) { return std::min(block, kImageSize - at); };
  auto blank = [&](std::uint32_t at) {
    const std::uint8_t* p = Buffer + at;
    return std::all_of(p, p + blockLen(at), [](std::uint8_t b) { return b == 0xFF; });
  };
  while (!sendBlankBlocks && CurAddr < EndAddr && CurAddr < kImageSize && blank(CurAddr))
    CurAddr += block;

  if (CurAddr >= EndAddr || CurAddr >= kImageSize) {
    PauseThen(kRecordTiming.beforeEndRecordMs, [this] {
      Comm->SendString(":00000001FF\r");
      PauseThen(kRecordTiming.afterEndRecordMs);
    });
    return false;
  }
  LastRecordAt = CurAddr;
  Comm->SendString(IntelHexRecord(CurAddr, Buffer + CurAddr, blockLen(CurAddr)));
  CurAddr += block;
  return true;
}

void RecordLoader::BuildJumpTable() { programmer::BuildJumpTable(Buffer, CurAddr); }

void RecordLoader::AppendChecksum(std::uint32_t from, std::uint32_t to) {
  programmer::AppendRunChecksum(Buffer, CurAddr, EndAddr, from, to);
}

// The address of the last record echo in an answer (":LLAAAA" with six hexadecimal digits).
static std::optional<std::uint32_t> EchoedRecordAddress(const std::string& answer) {
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::optional<std::uint32_t> found;
  for (std::size_t at = answer.find(':'); at != std::string::npos && at + 7 <= answer.size();
       at = answer.find(':', at + 1)) {
    std::uint32_t address = 0;
    bool hex = true;
    for (std::size_t i = at + 1; i < at + 7 && hex; ++i) {
      const int d = digit(answer[i]);
      hex = d >= 0;
      if (hex && i >= at + 3) address = address * 16 + static_cast<std::uint32_t>(d);
    }
    if (hex) found = address;
  }
  return found;
}

void RecordLoader::RecordLoopStep(const RecordLoopRules& rules, std::int32_t& retryCount,
                                  const std::function<void()>& prepare) {
  inRecordLoop_ = true;
  auto sendNext = [&] {
    const auto send = [this, blanks = rules.sendsBlankBlocks] {
      echoedAt_.reset();
      GoTo(SendNextRecord(blanks) ? RecordStep::Await : RecordStep::AllSent);
      StartWaiting();
    };
    if (rules.clearBeforeSend) Comm->DropAnswers();
    if (rules.pauseBeforeRecordMs > 0)
      PauseThen(rules.pauseBeforeRecordMs, send);
    else
      send();
  };
  switch (At<RecordStep>()) {
  case RecordStep::Prepare:
    if (prepare) prepare();
    GoTo(RecordStep::Send);
    break;
  case RecordStep::Send:
    sendNext();
    break;
  case RecordStep::Await: {
    if (!Comm->AnswerWaiting()) {
      // A loader that falls silent must not hold the run for good.
      if (WaitedLongerThan(rules.answerLimitMs)) {
        if (Comm->IsOpen())
          Fail(FailReason::RecordUnanswered, RecordDetail("unanswered"));
        else
          Fail(FailReason::LinkLost, RecordDetail("unanswered: the link went away"));
      }
      break;
    }
    // What the answer asks for; the last character recognised decides.
    enum class Verdict { Wait, Next, Repeat, Refuse } verdict = Verdict::Wait;
    std::optional<char> named; // the character refused or asking for a repeat, when named
    const std::string answer = Comm->PeekAnswer();
    if (rules.echoesRecords)
      if (const auto echoed = EchoedRecordAddress(answer)) echoedAt_ = echoed;
    for (const char c : answer) {
      if (rules.acknowledge.find(c) != std::string_view::npos) {
        verdict = Verdict::Next;
      } else if (rules.fatal.find(c) != std::string_view::npos) {
        verdict = Verdict::Refuse;
        named = c;
      } else if (rules.othersRepeat || rules.retry.find(c) != std::string_view::npos) {
        verdict = Verdict::Repeat;
        named = c;
      } else if (rules.othersRefuse) {
        verdict = Verdict::Refuse;
        named.reset();
      }
    }
    if (!rules.keepAnswer) Comm->DropAnswer();
    if (verdict == Verdict::Next && echoedAt_ && *echoedAt_ != (LastRecordAt & 0xFFFF))
      verdict = Verdict::Wait; // the late answer to an earlier send
    switch (verdict) {
    case Verdict::Wait: // nothing recognised: the answer may still come
      break;
    case Verdict::Next:
      // An acknowledged record is followed at once by the next: left to the next tick, the line
      // would stand idle for most of a tick after every record.
      BytesAcknowledged +=
          std::min(static_cast<std::uint32_t>(Setup().blockSize), kImageSize - LastRecordAt);
      sendNext();
      break;
    case Verdict::Repeat:
      if (AnotherAttempt(retryCount, rules.maxRetries))
        GoTo(RecordStep::Repeat);
      else
        Fail(FailReason::RecordRefused, RefusalDetail(named));
      break;
    case Verdict::Refuse:
      Fail(FailReason::RecordRefused, RefusalDetail(named));
      break;
    }
    break;
  }
  case RecordStep::AllSent:
    Enter(State, RunPhase::End);
    break;
  case RecordStep::Repeat:
    CurAddr -= static_cast<std::uint32_t>(Setup().blockSize);
    GoTo(RecordStep::Send);
    break;
  }
}

} // namespace vk::programmer
