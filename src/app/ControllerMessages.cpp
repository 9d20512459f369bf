// What the main controller tells the operator: the reasons and hints after a failed detection,
// the refusals before a run, whether the image is meant for the module, the words after a device
// search or a lost port. The questions are OperatorQuestions'.

#include "app/MainController.h"

#include "app/BufferView.h"
#include "cpu/Kernels.h"
#include "protocol/Catalogue.h"
#include "protocol/ProtocolKinds.h"

namespace vk::app {

using programmer::KindOf;
using programmer::kKindBackplane;
using programmer::kKindGroup;

std::string ModuleTypeText(std::int32_t code) {
  const auto* entry = programmer::FindEntryByType(code);
  return entry ? std::string(entry->Name) + " (type " + std::to_string(code) + ")"
               : "type " + std::to_string(code);
}

std::string MainController::NoAnswerHint(const std::string& also) const {
  // vkprog's reasons are its output (its report carries them), and it names the port its own way.
  if (!Policy.inWindow) return "";
  const std::string check =
      comm_.PortNo() == 0 ? "check the CAN settings and the interface"
                          : "check the speed and the port: COM" + std::to_string(comm_.PortNo()) +
                                " at " + std::to_string(comm_.GetBaudRate()) + " bit/s";
  return " (" + also + check + ")";
}

bool MainController::RefusedForLostLink(int tag) {
  const std::string lost = comm_.LostAdvice();
  if (lost.empty() || prg_.Node().CpuKind == kKindGroup) return false;
  if (tag == programmer::RunController::kDetect) {
    Status(lost);
    return true;
  }
  // Nothing can reach the module: the run fails at once, naming the port.
  CurModule = LastModule = AddressIndex();
  prg_.StartProgram();
  prg_.DropRun(programmer::FailReason::LinkLost, lost,
               programmer::RunController::DropLog::Explained);
  return true;
}

bool MainController::RefusedForMissingKernel() {
  const auto& node = prg_.Node();
  if (node.Index < 0 || programmer::Catalogue()[static_cast<std::size_t>(node.Index)].KernelNo == 0)
    return false;
  const cpu::BootKernel* kernel = node.Kernel;
  if (kernel && kernel->Loaded()) return false;
  const std::string why =
      (!kernel ? std::string("no boot kernel for this target")
       : kernel->Path().empty()
           ? "boot kernel " + std::string(cpu::BootKernel::FileName(kernel->Number())) +
                 " did not load"
           : kernel->ProblemText()) +
      "; nothing was sent";
  prg_.StartProgram();
  prg_.DropRun(programmer::FailReason::KernelMissing, why);
  return true;
}

bool MainController::RefusedForUntypedImage() {
  if (!Policy.inWindow || prg_.Node().CpuKind != kKindBackplane || firmware_.IsEmpty() ||
      firmware_.TargetList().Count() != 0 || page_.UntypedAllowed())
    return false;
  boxes_.Show("The loaded firmware names no module type, and untyped programming is not "
              "allowed:\rthe module would be refused after its detection, and the program "
              "closed.\rNothing was sent. Load firmware made for the module.",
              "Program", platform::MsgButtons::Ok, platform::MsgIcon::Warning);
  Status("Programming aborted");
  return true;
}

void MainController::LogCheckOnly() {
  const auto& node = prg_.Node();
  // vkprog's log lines are its output: its dry run says what a run does.
  if (!Policy.inWindow || node.CpuKind == kKindGroup || KindOf(node.CpuKind).WritesImage) return;
  page_.Log(programmer::CheckOnlyText(node.Name));
}

void MainController::WarnIfCutShort() {
  const std::string& file = firmware_.FileWithoutEndRecord();
  if (!file.empty()) page_.Log(BareFileName(file) + ": " + image::msg::kNoEndRecord);
}

void MainController::AnnounceSearchResult() {
  std::string module;
  switch (detectResult_) {
  case DetectResult::Found:
  case DetectResult::OtherEntry:
    module = ModuleTypeText(DetectedType);
    break;
  case DetectResult::UnknownType:
    module = ModuleTypeText(DetectedType) + ", in no catalogue entry";
    break;
  case DetectResult::Garbled:
    module = "its type could not be read";
    break;
  case DetectResult::NoModule:
  case DetectResult::NoIdAnswer:
    module = "no module answered there";
    break;
  }
  const std::string text = "Found: COM" + std::to_string(comm_.PortNo()) + " at " +
                           std::to_string(comm_.GetBaudRate()) + " bit/s, address " +
                           std::to_string(CurModule) + ", " + module;
  Status(text);
  page_.Log(text);
}

bool MainController::EraseConfirmed() {
  if (!Policy.inWindow) return true; // vkprog erases only when told to
  if (!questions_.ConfirmErase(CurModule, prg_.Node().Name)) return false;
  Status("Erasing ...");
  return true;
}

std::pair<programmer::FailReason, std::string> MainController::DetectionFailure() const {
  using programmer::FailReason;
  using programmer::ProgrammerUnit;
  switch (detectResult_) {
  case DetectResult::NoModule:
    return {FailReason::ModuleNotFound,
            "no answer to \"" + ProgrammerUnit::SelectCommand(CurModule) + "\"; nothing written" +
                NoAnswerHint("no module at that address, or ")};
  case DetectResult::Garbled:
    // Whatever the entry selected before, the module's own type is unknown: nothing is written.
    return {FailReason::TypeUnknown,
            "the module's type could not be read; nothing written" + NoAnswerHint()};
  case DetectResult::UnknownType:
    return {FailReason::TypeUnknown,
            "type " + std::to_string(DetectedType) + " is in no catalogue entry; nothing written"};
  case DetectResult::NoIdAnswer:
    return {FailReason::ModuleNotFound,
            "no answer to \"ID\" (the slot may be empty); nothing written"};
  case DetectResult::OtherEntry:
  case DetectResult::Found:
    break;
  }
  return {FailReason::TypeMismatch, "the module is a " + ModuleTypeText(DetectedType) + ", not a " +
                                        prg_.Node().Name + "; nothing written"};
}

bool MainController::ImageFitsTarget() const {
  bool fits = false;
  const auto& targets = firmware_.TargetList();
  for (std::uint32_t i = 0; i < targets.Count(); ++i) {
    image::TTargetDesc d;
    firmware_.GetTarget(i, d);
    if (programmer::TypeCodeOf(d.Value) == prg_.Node().TypeCode) fits = true;
  }
  return fits;
}

// What the operator needs to pick the right file or module: both sides of the comparison.
std::string MainController::MismatchTypes() const {
  std::string text = "Module #" + std::to_string(AddressIndex()) + ": " +
                     ModuleTypeText(prg_.Node().TypeCode) + "\rFirmware for: ";
  const auto& targets = firmware_.TargetList();
  for (std::uint32_t i = 0; i < targets.Count(); ++i) {
    image::TTargetDesc d;
    firmware_.GetTarget(i, d);
    text += (i ? ", " : "") + ModuleTypeText(programmer::TypeCodeOf(d.Value));
  }
  if (targets.Count() == 0) text += "none (the file names no module type)";
  return text + "\r";
}

void MainController::WarnIfLostMidWrite() {
  const auto& o = prg_.LastOutcome();
  if (!Policy.inWindow || o.result != programmer::RunResult::Failed ||
      o.reason != programmer::FailReason::LinkLost ||
      prg_.Cpu().Purpose() != programmer::RunPurpose::Program)
    return;
  // The failure names the port; what it means for the module is the operator's next concern.
  page_.Log(o.entry + " #" + std::to_string(o.module) +
            " may now be erased and half written: program it again once the port is back");
}

} // namespace vk::app
