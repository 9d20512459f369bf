#pragma once
// What became of one module's run, and why a failed one failed. The controller reports each
// finished run through RunController::OnModuleDone; vkprog takes its exit code and its report lines
// from these values, never from the texts on screen.

#include "platform/Hex.h"

#include <cstdint>
#include <string>

namespace vk::programmer {

// A short, fixed set; the texts stand beside the values in FailReasonText.
enum class FailReason : std::uint8_t {
  None = 0,
  Unspecified,        // a protocol gave up without saying why
  NoSync,             // no answer to the synchronisation
  RecordRefused,      // the device refused a record
  RecordUnanswered,   // no answer to a record within the limit
  ModuleNotFound,     // no answer to the module selection
  TypeMismatch,       // the module's type does not match the firmware
  TypeUnknown,        // the module's type could not be read or is in no catalogue entry
  LinkLost,           // the serial device or CAN interface went away
  TimeLimit,          // a wait ran out
  StoppedByUser,      // stopped by the operator (button, Ctrl-C, SIGTERM)
  KernelMissing,      // the boot kernel file did not load
  ImageOutsideRegion, // the image has data outside the entry's region
  EraseFailed,        // the erase was not acknowledged
  Garbled,            // answers came, but never a correct one
  NoProtocol,         // the entry has no boot-loader protocol: nothing can be written
  NoRoomForChecksum,  // the checksum words the run appends would not lie inside the region
  VerifyFailed,       // the flash read back differs from the image
  ReadProtected,      // the chip's read protection is active; nothing written
  CommandRefused,     // the boot loader refused a command (NACK)
};

const char* FailReasonText(FailReason reason);

using platform::HexDigits;

enum class RunResult : std::uint8_t {
  Programmed, // every record written and acknowledged
  Erased,     // an erase-only run
  Failed,
  Blank,      // a check-only target found the chip blank; nothing written
  NotBlank,   // a check-only target found data; nothing written
  Read,       // a read run: the range is in the image
  Same,       // a compare run found the flash equal to the image
  Identified, // an identify run: the loader said what it is (ProtocolBase::Identity)
};

struct RunOutcome {
  RunResult result = RunResult::Failed;
  FailReason reason = FailReason::None;
  std::string detail;             // e.g. "record at 0x1040 refused (E)"; may be empty
  std::string entry;              // the catalogue entry's name
  int module = 0;                 // the module address (0 for direct boot loaders)
  std::string name;               // as the log names it: "QRD14 #7", "QX4T - PCAN node 5"
  std::uint32_t bitRate = 0;      // the serial link's rate while the run talked to the device
  std::uint32_t bytesWritten = 0; // image bytes the device took (0: nothing written)
  bool verified = false;          // every byte written (or compared) was read back equal
  std::uint32_t bytesVerified = 0;
  std::string checkedRange; // what a check-only run read, "08000000-080020FF"; empty otherwise
};

// "Failed: record refused" or, with a detail, the detail itself.
std::string FailureText(const RunOutcome& outcome);

} // namespace vk::programmer
