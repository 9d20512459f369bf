#include "app/MainController.h"

#include "app/DeviceFinder.h"
#include "protocol/Catalogue.h"
#include "protocol/ProtocolKinds.h"

#include <cstdlib>

namespace vk::app {

using programmer::KindOf;
using programmer::kKindBackplane;
using programmer::kKindGroup;

MainController::MainController(platform::IEventLoop& loop, platform::IMessageBox& boxes,
                               image::FirmwareImage& firmware, link::SerialLink& comm,
                               programmer::RunController& prg,
                               programmer::ProgrammerPagePresenter& page, MainViews views)
    : loop_(loop), boxes_(boxes), firmware_(firmware), comm_(comm), prg_(prg), page_(page),
      views_(std::move(views)), detection_(comm, loop), selection_(comm, loop),
      echo_(views_.terminal), questions_(boxes) {}

void MainController::Status(const std::string& text) {
  if (views_.status) views_.status->SetPanelText(0, text);
}

void MainController::Notice(const std::string& text) {
  if (views_.status) views_.status->SetPanelText(kNoticePanel, text);
}

int MainController::AddressIndex() const {
  return views_.address ? views_.address->ItemIndex() : 0;
}

void MainController::EnterState(ControllerMode m) {
  State.Mode = static_cast<std::uint8_t>(m);
  State.DetectionOver = false;
}

void MainController::StartDetection(bool afterSearch) {
  EnterState(ControllerMode::Detect);
  runPending_ = prg_.RunActive();
  afterSearch_ = afterSearch;
  detectResult_ = DetectResult::Found;
  // Each module's own type: nothing carries over from the module detected before.
  DetectedType = 0;
  detection_.Start(CurModule);
}

void MainController::NoteArmedEntry() {
  armedEntry_ = prg_.Node().Name;
  requiredType_ = Policy.runKeepsItsEntry ? prg_.Node().TypeCode : 0;
}

void MainController::ResetController() { State = ControllerState{}; }

void MainController::ProgrammerAction(int tag) {
  if (Busy()) {
    // A second press would restart the upload under the running one.
    Notice("Programmer busy");
    return;
  }
  eraseType_ = 0;
  requiredType_ = 0;
  armedEntry_.clear();
  if (RefusedForLostLink(tag)) return;
  switch (tag) {
  case programmer::RunController::kDetect:
    // Detect addresses the module the address box shows (the device finder leaves the address
    // it found there).
    CurModule = LastModule = AddressIndex();
    Status("Detecting ...");
    prg_.StopRun(); // Detect only detects: nothing armed before rides on it
    StartDetection();
    break;
  case programmer::RunController::kErase:
    if (prg_.RunActive()) {
      Status("Programmer not ready");
    } else if (prg_.Node().Root || prg_.Node().CpuKind == kKindBackplane) {
      // The erase is for the module at the address now: it is detected at once (with the root
      // selected, any type; otherwise the entry's type only) and, in the window, asked about.
      // Nothing stays armed for a later Detect.
      Status("Detecting ...");
      prg_.StartErase();
      eraseType_ = prg_.Node().Root ? 0 : prg_.Node().TypeCode;
      NoteArmedEntry();
      CurModule = LastModule = AddressIndex();
      StartDetection();
    } else if (!KindOf(prg_.Node().CpuKind).ChipEraseWords.empty()) {
      // The loader's own chip erase: asked first in the window, as a module's erase is.
      CurModule = LastModule = AddressIndex();
      if (EraseConfirmed()) {
        Status("Erasing ...");
        prg_.StartErase();
        EraseChip();
      } else {
        Status("Erase cancelled");
      }
    } else {
      Status("Erase is not offered for " + prg_.Node().Name);
    }
    break;
  case programmer::RunController::kProgram: {
    CurModule = LastModule = AddressIndex();
    const auto& node = prg_.Node();
    if (node.CpuKind == kKindGroup) {
      boxes_.Show("No target selected", "Program", platform::MsgButtons::Ok,
                  platform::MsgIcon::Warning);
      break;
    }
    if (RefusedForUntypedImage() || RefusedForMissingKernel()) break;
    WarnIfCutShort();
    LogCheckOnly();
    if (node.CpuKind == kKindBackplane) {
      // Always the module's own type: the address, the image or the entry may have changed
      // since an earlier detection.
      Status("Detecting ...");
      prg_.StartProgram();
      NoteArmedEntry();
      StartDetection();
    } else {
      SelectThenRun([this] {
        // A target that is only checked is not programmed, and its status says so.
        Status(KindOf(prg_.Node().CpuKind).WritesImage ? "Programming ..." : "Checking ...");
        prg_.StartAfterProgramming = page_.StartAfterProgramming();
        prg_.StartProgram();
      });
    }
    break;
  }
  case programmer::RunController::kMultiProgram:
    if (prg_.Node().CpuKind == kKindBackplane) {
      if (RefusedForUntypedImage()) break;
      WarnIfCutShort();
      Status("Detecting ...");
      prg_.StartProgram();
      NoteArmedEntry();
      CurModule = views_.firstBox ? views_.firstBox->ItemIndex() : 0;
      LastModule = views_.lastBox ? views_.lastBox->ItemIndex() : 0;
      if (LastModule < CurModule) CurModule = LastModule;
      // The window ends the sequence with its count; vkprog prints its own.
      sequenceLength_ = Policy.inWindow ? LastModule - CurModule + 1 : 0;
      sequenceProgrammed_ = 0;
      // The box follows the sequence (the run reads its module there) and is given back after.
      addressBefore_ = AddressIndex();
      if (views_.address) views_.address->SetItemIndex(CurModule);
      StartDetection();
    } else {
      Status("");
    }
    break;
  default:
    break;
  }
}

// A boot loader erases its whole chip at once: no module to detect first.
void MainController::EraseChip() {
  CurModule = LastModule = AddressIndex();
  SelectThenRun([] {});
}

void MainController::SelectThenRun(std::function<void()> start) {
  if (!SelectsModuleFirst(prg_.Node())) {
    start();
    EnterState(ControllerMode::Run);
    return;
  }
  selection_.Send(CurModule);
  startAfterSelection_ = std::move(start);
  EnterState(ControllerMode::Select);
}

void MainController::TickSelect() {
  // The unit's "OK" stays with the answers: the run meets it as it did after a blocking pause.
  if (!selection_.Over()) return;
  const auto start = std::move(startAfterSelection_);
  startAfterSelection_ = nullptr;
  start();
  EnterState(ControllerMode::Run);
  TickRun(); // the run's first step at once, as the answer's delivery used to give it
}

bool MainController::ReadModule(std::uint32_t from, std::uint32_t end) {
  return StartReading([this, from, end] { prg_.StartRead(from, end); });
}

bool MainController::IdentifyChip() {
  return StartReading([this] { prg_.StartIdentify(); });
}

bool MainController::CompareModule() {
  return StartReading([this] { prg_.StartCompare(); });
}

bool MainController::StartReading(const std::function<void()>& start) {
  if (Busy() || prg_.RunActive()) {
    Notice("Programmer busy");
    return false;
  }
  const auto& node = prg_.Node();
  if (!KindOf(node.CpuKind).ReadsBack) {
    Status("Reading is not offered for " + node.Name);
    return false;
  }
  CurModule = LastModule = AddressIndex();
  SelectThenRun([this, start] {
    Status("Reading ...");
    start();
  });
  return true;
}

void MainController::StopAll(const std::string& why) {
  sequenceLength_ = 0;
  startAfterSelection_ = nullptr;
  prg_.StopRun(why);
  ResetController();
  runPending_ = false;
  RestoreAddress();
}

void MainController::RestoreAddress() {
  if (addressBefore_ >= 0 && views_.address) views_.address->SetItemIndex(addressBefore_);
  addressBefore_ = -1;
}

void MainController::CommReceived(link::SerialLink& link, const std::string& line) {
  if (line.empty()) return;
  echo_.Received(link, line);
  if (finder_ && finder_->Visible())
    finder_->LineReceived(line);
  else
    MainTick(true);
}

void MainController::MainTick(bool fromLink) {
  // While the mismatch question is open, nothing may ask it again or move the run on.
  if (Asking()) return;
  switch (Mode()) {
  case ControllerMode::Idle:
    // The delivered line has been shown; its removal is the delivery's. Clearing the whole list
    // here would lose lines that arrived with it before they were ever shown.
    break;
  case ControllerMode::Detect:
    TickDetect(fromLink);
    break;
  case ControllerMode::CheckImage:
    TickCheckImage();
    break;
  case ControllerMode::Run:
    TickRun();
    break;
  case ControllerMode::Select:
    TickSelect();
    break;
  default:
    ResetController();
    break;
  }
  if (SetTickInterval)
    SetTickInterval(Mode() == ControllerMode::Run && prg_.Cpu().AwaitingAnswerOnly() ? kAwaitTickMs
                                                                                     : kTickMs);
}

void MainController::TickDetect(bool fromLink) {
  if (State.DetectionOver) return DetectionDone();
  using Result = programmer::ModuleDetection::Result;
  switch (detection_.Tick(fromLink)) {
  case Result::Pending:
    return;
  case Result::NoModule:
    detectResult_ = DetectResult::NoModule;
    Status("<no module found>");
    break;
  case Result::NoIdAnswer:
    detectResult_ = DetectResult::NoIdAnswer;
    Status("<no module found>");
    break;
  case Result::Garbled:
    DetectedType = 0;
    detectResult_ = DetectResult::Garbled;
    Status("Communication error");
    break;
  case Result::Found:
    DetectedType = detection_.Type();
    if (!programmer::FindEntryByType(DetectedType))
      detectResult_ = DetectResult::UnknownType;
    else if (runPending_ && requiredType_ != 0 && DetectedType != requiredType_)
      detectResult_ = DetectResult::OtherEntry; // the named entry stays selected
    // After a search the window stays on the page the search was started from: a second click
    // there must never land on a Programmer button.
    if (afterSearch_) {
      if (const auto* entry = programmer::FindEntryByType(DetectedType))
        prg_.SelectByName(std::string(entry->Name));
    } else if (detectResult_ != DetectResult::OtherEntry) {
      prg_.SelectByType(DetectedType);
    }
    break;
  }
  // Acted on at the next tick, which paces the next module's selection.
  State.DetectionOver = true;
}

void MainController::DetectionDone() {
  if (!runPending_) {
    if (afterSearch_) AnnounceSearchResult();
    EnterState(ControllerMode::Idle);
    return;
  }
  runPending_ = false;
  // The run writes to the module the detection checked, whatever the box shows meanwhile.
  if (views_.address) views_.address->SetItemIndex(CurModule);
  // The selection of the detected entry dropped the run (another protocol), saying so.
  if (!prg_.RunActive()) return NextModule();
  using programmer::FailReason;
  using DropLog = programmer::RunController::DropLog;
  if (detectResult_ != DetectResult::Found) {
    const auto [reason, detail] = DetectionFailure();
    prg_.DropRun(reason, detail, DropLog::Explained);
    return NextModule();
  }
  // The window follows the module's type; the operator is told when that is another entry
  // than the one chosen before pressing the button.
  if (!armedEntry_.empty() && prg_.Node().Name != armedEntry_) {
    const auto* armed = programmer::FindEntryByName(armedEntry_);
    if (armed && armed->CpuKind != kKindGroup)
      page_.Log("Module #" + std::to_string(CurModule) + " is a " + ModuleTypeText(DetectedType) +
                ": the run uses the entry " + prg_.Node().Name + ", not " + armedEntry_);
  }
  // An Erase pressed on one entry never erases a module of another type.
  if (prg_.ErasingOnly() && eraseType_ != 0 && DetectedType != eraseType_) {
    prg_.DropRun(FailReason::TypeMismatch,
                 "the module is a " + prg_.Node().Name + "; nothing erased", DropLog::Explained);
    return NextModule();
  }
  if (prg_.ErasingOnly() && !EraseConfirmed()) {
    prg_.StopRun();
    Status("Erase cancelled");
    page_.Log("Module #" + std::to_string(CurModule) + " (" + prg_.Node().Name +
              "): erase cancelled, nothing erased");
    return NextModule();
  }
  // An erase writes no firmware: there is no image to check against the module.
  EnterState(prg_.ErasingOnly() ? ControllerMode::Run : ControllerMode::CheckImage);
}

void MainController::TickCheckImage() {
  if (ImageFitsTarget()) {
    EnterState(ControllerMode::Run);
    return;
  }
  const std::string lines =
      "The Firmware in this programmer\rdoes not match the ID from the\rselected module.\r" +
      MismatchTypes();
  const bool allowed = page_.UntypedAllowed();
  if (questions_.ProgramDespiteMismatch(lines, allowed, Policy.inWindow)) {
    EnterState(ControllerMode::Run);
    prg_.StartProgram();
    return;
  }
  ResetController();
  prg_.DropRun(programmer::FailReason::TypeMismatch, "", programmer::RunController::DropLog::None);
  Status("Programming aborted");
  if (!allowed && Quit) Quit();
}

void MainController::TickRun() {
  if (prg_.RunStep()) return;
  if (RunAgainUnprotected()) return;
  WarnIfLostMidWrite();
  NextModule();
}

bool MainController::RunAgainUnprotected() {
  if (!Policy.offersToRemoveReadProtection ||
      prg_.LastOutcome().reason != programmer::FailReason::ReadProtected ||
      !questions_.RemoveReadProtection())
    return false;
  SelectThenRun([this] {
    Status("Programming ...");
    prg_.RemoveReadProtection = true; // for this run only: the run takes it when it starts
    prg_.StartProgram();
    prg_.RemoveReadProtection = false;
  });
  return true;
}

void MainController::NextModule() {
  if (sequenceLength_ > 0 && prg_.LastOutcome().result == programmer::RunResult::Programmed)
    ++sequenceProgrammed_;
  ++CurModule;
  // A port that has gone reaches no module: the rest of the sequence ends at once, each module
  // with the reason, instead of a detection that waits in vain for every one of them.
  if (const std::string lost = comm_.LostAdvice();
      CurModule <= LastModule && !lost.empty() && prg_.Node().CpuKind != kKindGroup) {
    for (; CurModule <= LastModule; ++CurModule) {
      if (views_.address) views_.address->SetItemIndex(CurModule);
      DetectedType = 0; // nothing was asked of this module
      prg_.StartProgram();
      prg_.DropRun(programmer::FailReason::LinkLost, "not attempted: " + lost,
                   programmer::RunController::DropLog::Explained);
    }
  }
  if (CurModule > LastModule) {
    if (sequenceLength_ > 0)
      page_.Log("MultiProgram: " + std::to_string(sequenceProgrammed_) + " of " +
                std::to_string(sequenceLength_) + " programmed");
    sequenceLength_ = 0;
    ResetController();
    if (views_.speed) {
      const std::string text = views_.speed->ItemText(views_.speed->ItemIndex());
      char* end = nullptr;
      const unsigned long rate = std::strtoul(text.c_str(), &end, 10);
      if (!text.empty() && *end == '\0') comm_.SetBaudRate(static_cast<std::uint32_t>(rate));
    }
    RestoreAddress();
    page_.ShowSummary(); // the rate the link is back at
  } else {
    Status("Detecting ...");
    prg_.StartProgram();
    if (views_.address) views_.address->SetItemIndex(CurModule);
    StartDetection();
  }
}

void MainController::CanReceived(const std::string& text) {
  ++CanRxCount;
  if (views_.setCanData) views_.setCanData("[" + std::to_string(CanRxCount) + "] " + text);
}

void MainController::TargetTreeViewClick() {
  const auto& node = prg_.Node();
  if (KindOf(node.CpuKind).NeedsCan() && views_.ports && views_.ports->Count() > 0) {
    views_.ports->SetCurrentIndex(0);
    comm_.PortListChange(*views_.ports); // errors of the change are of no concern here
  }
  Status("Target selected");
  if (views_.status) views_.status->SetPanelText(1, node.Name);
}

} // namespace vk::app
