// What the main controller tells and asks the operator: the hints after a failed detection, the
// refusals before a run, the questions before an erase, the words after a device search or a
// lost port, and how the terminal shows a line.

#include "app/MainController.h"

#include "app/BufferView.h"
#include "platform/Hex.h"
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

std::string TerminalText(const std::string& line, bool rawMode) {
  if (line.empty() || (line[0] != '~' && !rawMode)) return line;
  std::string out;
  out.reserve(line.size() * 3);
  for (const unsigned char b : line) {
    out += ' ';
    platform::AppendHexByte(out, b);
  }
  return out;
}

std::string MainController::NoAnswerHint(const std::string& also) const {
  // vkprog's reasons are its output (its report carries them), and it names the port its own way.
  if (!InWindow) return "";
  const std::string check =
      comm_.PortNo() == 0 ? "check the CAN settings and the interface"
                          : "check the speed and the port: COM" + std::to_string(comm_.PortNo()) +
                                " at " + std::to_string(comm_.GetBaudRate()) + " bit/s";
  return " (" + also + check + ")";
}

bool MainController::RefusedForUntypedImage() {
  if (!InWindow || prg_.Node().CpuKind != kKindBackplane || firmware_.IsEmpty() ||
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
  if (!InWindow || node.CpuKind == kKindGroup || KindOf(node.CpuKind).WritesImage) return;
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
  if (!InWindow) return true; // vkprog erases only when told to
  if (StopTimer) StopTimer();
  asking_ = true;
  // No is the button Enter presses, as for every question that loses data.
  const auto answer = boxes_.Ask("Erase module #" + std::to_string(CurModule) + " (" +
                                     prg_.Node().Name + ")? Its program is lost.",
                                 "Erase", platform::MsgButtons::YesNo, platform::MsgIcon::Warning,
                                 platform::MsgAnswer::No);
  asking_ = false;
  if (StartTimer) StartTimer();
  if (answer != platform::MsgAnswer::Yes) return false;
  Status("Erasing ...");
  return true;
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
  if (!InWindow || o.result != programmer::RunResult::Failed ||
      o.reason != programmer::FailReason::LinkLost ||
      prg_.Cpu().Purpose != programmer::RunPurpose::Program)
    return;
  // The failure names the port; what it means for the module is the operator's next concern.
  page_.Log(o.entry + " #" + std::to_string(o.module) +
            " may now be erased and half written: program it again once the port is back");
}

} // namespace vk::app
