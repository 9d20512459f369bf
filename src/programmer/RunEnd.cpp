// How a run ends: the image a read run filled, the log line and the status that say the result,
// and the outcome handed to whoever records it.

#include "programmer/RunController.h"

#include "image/FirmwareImage.h"
#include "link/SerialLink.h"
#include "protocol/ProtocolKinds.h"

#include <algorithm>

namespace vk::programmer {

void RunController::DropRun(FailReason reason, const std::string& detail, DropLog log) {
  ProtocolBase& p = *cpu_;
  // The link goes back to its own bit rate, parity and text mode.
  if (begun_) {
    Comm->DropAnswers();
    p.Finish();
  }
  ClearRun();
  ShownState = CpuState::Idle;
  p.NoteFailure(reason, detail);
  if (log == DropLog::Failed) Log(ModuleName() + " Failed");
  if (log == DropLog::Explained) Log(ModuleName() + " Failed: " + detail);
  Status(FailedStatus());
  if (Progress) Progress->SetPosition(Progress->Min());
  Report(RunResult::Failed);
}

// What failed, in the words of what the run was doing: an interrupted read is no failed
// programming, and a check of the chip programs nothing.
std::string RunController::FailedStatus() const {
  if (cpu_->Purpose() == RunPurpose::Identify) return "Module Identifying Failed";
  if (cpu_->Purpose() != RunPurpose::Program) return "Module Reading Failed";
  return KindOf(node_->CpuKind).WritesImage ? "Module Programming Failed" : "Module Check Failed";
}

std::string RunController::ModuleName() const {
  // Over CAN the address box plays no part: the node the frames go to names the controller.
  if (KindOf(node_->CpuKind).NeedsCan() && Comm && Comm->CanNode() > 0)
    return node_->Name + " node " + std::to_string(Comm->CanNode());
  return node_->Name + " #" + std::to_string(Address());
}

void RunController::EndRun(bool ok) {
  ProtocolBase& p = *cpu_;
  ShownState = p.State;
  Comm->DropAnswers();
  p.StopRunning();
  p.Finish();
  ClearRun();
  const RunResult result = ok ? p.DoneAs : RunResult::Failed;
  if (result == RunResult::Read) {
    // As a file load: the image is what the module holds, nothing else of the last file stays.
    Firmware->Clear();
    Firmware->SetWindow(p.ImageWindow); // where the module keeps what was read
    std::copy(readBuffer_.begin() + readFrom_, readBuffer_.begin() + readEnd_,
              Firmware->Image() + readFrom_);
    Firmware->SetRange(readFrom_, readEnd_);
  }
  // The line scripts match stays last; what the read-back proved comes before it.
  if (ok && p.Verified)
    Log(ModuleName() + " Verified " + std::to_string(p.BytesVerified) + " bytes");
  if (ok && !p.AfterVerifiedLog.empty()) Log(ModuleName() + " " + p.AfterVerifiedLog);
  // A check says what it covered: "Blank (08000000-080020FF checked)" is no claim about the rest.
  const std::string found = p.DoneDetail.empty() ? "" : " (" + p.DoneDetail + ")";
  switch (result) {
  case RunResult::Blank:
    Log(ModuleName() + " Blank" + found + ", nothing written");
    Status("Module Blank" + found + ", nothing written");
    break;
  case RunResult::NotBlank:
    Log(ModuleName() + " Not blank" + found + ", nothing written");
    Status("Module Not blank" + found + ", nothing written");
    break;
  case RunResult::Failed:
    Log(ModuleName() + " Failed");
    Status(FailedStatus());
    break;
  case RunResult::Read:
    Log(ModuleName() + " Read " + std::to_string(readEnd_ - readFrom_) + " bytes (" +
        HexDigits(readFrom_, 4) + "-" + HexDigits(readEnd_ - 1, 4) + ")");
    Status("Module Read OK");
    break;
  case RunResult::Same:
    Log(ModuleName() + " Same as the image");
    Status("Module Same as the image");
    break;
  case RunResult::Identified:
    Log(ModuleName() + " Identified");
    Status("Module Identified");
    break;
  default:
    Log(ModuleName() + " Programmed OK");
    Status("Module Programmed OK");
    break;
  }
  if (Progress) Progress->SetPosition(Progress->Min());
  Report(result);
  if (result == RunResult::Read && OnImageRead) OnImageRead();
}

void RunController::Report(RunResult result) {
  lastOutcome_ = RunOutcome{};
  lastOutcome_.result = result;
  lastOutcome_.entry = node_->Name;
  lastOutcome_.module = Address();
  lastOutcome_.name = ModuleName();
  lastOutcome_.bitRate = runBaud_ ? runBaud_ : Comm->GetBaudRate();
  lastOutcome_.bytesWritten = cpu_->BytesAcknowledged;
  lastOutcome_.verified = result != RunResult::Failed && cpu_->Verified;
  lastOutcome_.bytesVerified = cpu_->BytesVerified;
  if (result == RunResult::Blank || result == RunResult::NotBlank)
    lastOutcome_.checkedRange = cpu_->CheckedRange;
  runBaud_ = 0;
  if (result == RunResult::Failed) {
    lastOutcome_.reason =
        cpu_->FailedWith == FailReason::None ? FailReason::Unspecified : cpu_->FailedWith;
    lastOutcome_.detail = cpu_->FailDetail;
  }
  // The reason goes to the hint panel; the log line keeps its text.
  if (display_) display_->Hint(result == RunResult::Failed ? FailureText(lastOutcome_) : "");
  if (OnModuleDone) OnModuleDone(lastOutcome_);
}

} // namespace vk::programmer
