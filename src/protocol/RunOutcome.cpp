#include "protocol/RunOutcome.h"

#include <cstdio>

namespace vk::programmer {

const char* FailReasonText(FailReason reason) {
  switch (reason) {
  case FailReason::None:
    return "";
  case FailReason::Unspecified:
    return "the protocol gave up";
  case FailReason::NoSync:
    return "no answer to the synchronisation";
  case FailReason::RecordRefused:
    return "record refused";
  case FailReason::RecordUnanswered:
    return "record unanswered";
  case FailReason::ModuleNotFound:
    return "module not found";
  case FailReason::TypeMismatch:
    return "type mismatch";
  case FailReason::TypeUnknown:
    return "module type unknown";
  case FailReason::LinkLost:
    return "link lost";
  case FailReason::TimeLimit:
    return "time limit";
  case FailReason::StoppedByUser:
    return "stopped by the user";
  case FailReason::KernelMissing:
    return "boot kernel missing";
  case FailReason::ImageOutsideRegion:
    return "image outside the target's region";
  case FailReason::EraseFailed:
    return "erase failed";
  case FailReason::Garbled:
    return "answers garbled";
  case FailReason::NoProtocol:
    return "no boot-loader protocol for this target; nothing written";
  case FailReason::NoRoomForChecksum:
    return "no room for the checksum word inside the region; nothing written";
  case FailReason::VerifyFailed:
    return "verify: flash differs";
  case FailReason::ReadProtected:
    return "read protection is active; nothing written";
  case FailReason::CommandRefused:
    return "command refused";
  }
  return "unknown";
}

std::string FailureText(const RunOutcome& outcome) {
  if (!outcome.detail.empty()) return outcome.detail;
  return FailReasonText(outcome.reason);
}

} // namespace vk::programmer
