#pragma once
// The main controller: turns the Programmer page's buttons into operations and drives them to
// their end. Only sequences: detects the module at a backplane address (the conversation with
// the programmer unit is programmer::ModuleDetection's), checks that the loaded firmware is
// meant for it, carries the run tick by tick and walks a range of addresses for MultiProgram.
// Advanced by MainTick (the 10 ms timer, and once more for every line the serial link delivers).
// The window, vkprog and the tests drive this same object.

#include "app/OperatorQuestions.h"
#include "app/ProgrammerPagePresenter.h"
#include "app/TerminalEcho.h"
#include "cpu/ProgrammerUnit.h"
#include "image/FirmwareImage.h"
#include "link/SerialLink.h"
#include "platform/EventLoop.h"
#include "platform/MessageBox.h"
#include "programmer/RunController.h"
#include "programmer/Views.h"
#include "protocol/ProtocolKinds.h"

#include <cstdint>
#include <functional>
#include <string>

namespace vk::app {

class DeviceFinder;

// Select: "OP n" has gone out and the run starts once the unit had its time.
enum class ControllerMode : std::uint8_t {
  Idle = 0,
  Detect = 1,
  CheckImage = 2,
  Run = 3,
  Select = 4
};

// What differs between the front ends that drive the controller. The default is neither's (the
// tests set what they need); the window and vkprog take theirs.
struct FrontEndPolicy {
  // vkprog: the entry named is the entry written. A detection before a run never selects
  // another entry; a module of another type fails with nothing written. The window keeps
  // selecting the detected module's entry and logs when the run uses another than the one chosen.
  bool runKeepsItsEntry = false;
  // The window: a chip whose read protection stopped a run is offered its removal (it erases
  // the chip; No is the default). vkprog never asks: only its --unprotect removes it.
  bool offersToRemoveReadProtection = false;
  // The window: firmware that names no type, with untyped programming not allowed, is refused
  // before anything is sent (vkprog checks its request itself), the mismatch error says that
  // the program closes, a check-only entry says so in the log, a module that did not answer
  // fails with what to check, and an erase and a lost port's half-written module are spoken of.
  bool inWindow = false;

  static constexpr FrontEndPolicy Window() { return {false, true, true}; }
  static constexpr FrontEndPolicy CommandLine() { return {true, false, false}; }
};

// Reset as one block by ResetController.
struct ControllerState {
  std::uint8_t Mode = 0; // a ControllerMode; any other value is turned back into Idle
  // The detection has its result; the next tick acts on it.
  bool DetectionOver = false;
};

// The main window's controls the controller writes or reads.
struct MainViews {
  programmer::IStatusView* status = nullptr;          // panel 0 operation, panel 1 target
  programmer::ITextView* terminal = nullptr;          // the Communication page
  programmer::IComboView* address = nullptr;          // cbxAddr
  programmer::IComboView* speed = nullptr;            // cbxSpeed
  programmer::IComboView* firstBox = nullptr;         // MultiProgram's first module
  programmer::IComboView* lastBox = nullptr;          // and last module
  link::ISelector* ports = nullptr;                   // cbxCOM, "PCAN" first
  std::function<void(const std::string&)> setCanData; // the "CAN data" label
};

class MainController {
public:
  MainController(platform::IEventLoop& loop, platform::IMessageBox& boxes,
                 image::FirmwareImage& firmware, link::SerialLink& comm,
                 programmer::RunController& prg, programmer::ProgrammerPagePresenter& page,
                 MainViews views);

  // Button dispatch by tag: 0 Detect, 1 Erase, 2 Program, 3 MultiProgram.
  void ProgrammerAction(int tag);
  // The serial link's line handler: shows the line, then hands it to the device finder while
  // its window is visible, otherwise to MainTick.
  void CommReceived(link::SerialLink& link, const std::string& line);
  // The terminal's echo; the serial link's send handler is its Sent.
  TerminalEcho& Echo() { return echo_; }
  OperatorQuestions& Questions() { return questions_; }
  // fromLink: called for a delivered line rather than by the timer.
  void MainTick(bool fromLink);
  void CanReceived(const std::string& text);
  // The status line's panel for what was refused while busy: the run's own texts (its spinner)
  // keep panel 0 and would hide it there. Cleared when the controller becomes idle or busy.
  static constexpr int kNoticePanel = 2;
  void TargetTreeViewClick();
  bool ImageFitsTarget() const;
  // ReadModule and CompareModule: start() arms the run.
  bool StartReading(const std::function<void()>& start);

  void EnterState(ControllerMode m);
  // Detects the module at CurModule; a run armed before follows on the module found.
  // afterSearch: the device finder found a unit; the page stays as it is, and the status line
  // and the log say what was found (port, speed, address, module type).
  void StartDetection(bool afterSearch = false);
  void ResetController();

  ControllerMode Mode() const { return static_cast<ControllerMode>(State.Mode); }
  // A detection, a run or a MultiProgram sequence is under way: nothing may change the image,
  // and a second press of a Programmer button is ignored.
  bool Busy() const { return Mode() != ControllerMode::Idle; }
  // Stops the run and the sequence (the protocol's Finish runs if the run had begun).
  // why: the reason a run under way fails with ("" : stopped by the user).
  void StopAll(const std::string& why = "");
  // Whether a question is on screen (ticks are held back meanwhile).
  bool Asking() const { return questions_.Asking(); }

  void SetDeviceFinder(DeviceFinder* finder) { finder_ = finder; }

  // Reads the module at the address box's address (from..end-1 into the image, or, comparing,
  // the blocks the image would write, against it), as Program starts a run of a target that
  // needs no detection. False (and nothing sent) when busy or the entry cannot be read back.
  bool ReadModule(std::uint32_t from, std::uint32_t end);
  bool CompareModule();
  // Asks the chip's boot loader what it is (vkprog identify), on the same terms.
  bool IdentifyChip();

  // Wiring to the window: the program is asked to end after the mismatch error when untyped
  // programming is not allowed (the questions stop the window's timer themselves).
  // Sets the interval of the tick that calls MainTick (unchanged when it is the same).
  std::function<void(int ms)> SetTickInterval;
  static constexpr int kTickMs = 10;
  // The tick while a record's answer is all the run waits for: the answer comes by delivery, the
  // tick only watches the answer's time limit and the link.
  static constexpr int kAwaitTickMs = 100;
  std::function<void()> Quit;
  // The boot-loader chip sits on the port itself (a bare USB serial adapter), not behind the
  // programmer unit: no "OP n" before its runs. ST's ROM loader measures the bit rate on the
  // first byte it gets, and the "O" would spoil it. The setting DirectBootLoader, or --direct.
  bool DirectBootLoader = false;
  FrontEndPolicy Policy;

  ControllerState State;
  std::int32_t DetectedType = 0;
  std::int32_t CurModule = 0;
  std::int32_t LastModule = 0;
  std::int32_t CanRxCount = 0;

private:
  void Status(const std::string& text);
  void Notice(const std::string& text);
  void TickDetect(bool fromLink);
  void TickCheckImage();
  void TickRun();
  void TickSelect();
  // Starts the run with start(); a kind that selects its module first gets "OP n" before it,
  // and the run waits in ControllerMode::Select until the unit had its time.
  void SelectThenRun(std::function<void()> start);
  std::function<void()> startAfterSelection_;
  // The run just ended on read protection: asks whether to remove it, and if so runs again.
  bool RunAgainUnprotected();
  // The detection before a run is over: carry the run out, or fail the module and go on.
  void DetectionDone();
  // The window asks before an erase, naming the module detected; vkprog does not.
  bool EraseConfirmed();
  // Why the run armed before a detection that found no usable module fails.
  std::pair<programmer::FailReason, std::string> DetectionFailure() const;
  void AnnounceSearchResult();
  // The window: a run cut off by a lost port may have left its module erased and half written.
  void WarnIfLostMidWrite();
  // The window's MultiProgram sequence: its length (0: none under way) and the modules
  // programmed so far.
  int sequenceLength_ = 0;
  int sequenceProgrammed_ = 0;
  bool afterSearch_ = false;
  // The module's run is over: the next address of the sequence, or the end.
  void NextModule();
  int AddressIndex() const;
  std::string MismatchTypes() const;
  // "OP n" goes out before a run of this entry: its kind selects a module first and the chip is
  // not wired straight to the port.
  void EraseChip();
  bool SelectsModuleFirst(const programmer::TargetNode& node) const {
    return programmer::KindOf(node.CpuKind).OpFirst && !DirectBootLoader;
  }

  // Refusals before anything is sent: the link's device has gone (the run fails naming the
  // port), the entry's boot kernel is missing, or the image names no type and untyped
  // programming is not allowed (the run could only end in the mismatch error).
  bool RefusedForLostLink(int tag);
  bool RefusedForMissingKernel();
  bool RefusedForUntypedImage();
  // The window: an entry that only checks the chip says so in the log.
  void LogCheckOnly();
  // The window: what to check when the unit did not answer or answered garbled, as
  // " (<also>check the speed and the port: COM1 at 115200 bit/s)"; "" for vkprog.
  std::string NoAnswerHint(const std::string& also = "") const;
  // The address box as it was before a MultiProgram sequence, given back at its end.
  void RestoreAddress();
  int addressBefore_ = -1;

  // What the run is armed with: the entry selected, and the type a module must have (0: any).
  void NoteArmedEntry();
  // Before programming: a file that stopped without its end record may have been cut short.
  void WarnIfCutShort();

  enum class DetectResult : std::uint8_t {
    Found,
    NoModule,
    Garbled,
    UnknownType,
    NoIdAnswer,
    OtherEntry
  };
  DetectResult detectResult_ = DetectResult::Found;
  bool runPending_ = false;       // the detection under way precedes a run
  std::int32_t eraseType_ = 0;    // an Erase pressed on a module: the type it must have
  std::int32_t requiredType_ = 0; // runKeepsItsEntry: the named entry's type
  std::string armedEntry_;        // the entry selected when the run was armed

  platform::IEventLoop& loop_;
  platform::IMessageBox& boxes_;
  image::FirmwareImage& firmware_;
  link::SerialLink& comm_;
  programmer::RunController& prg_;
  programmer::ProgrammerPagePresenter& page_;
  MainViews views_;
  DeviceFinder* finder_ = nullptr;
  programmer::ModuleDetection detection_;
  programmer::SelectBeforeRun selection_;
  TerminalEcho echo_;
  OperatorQuestions questions_;
};

// "QRD14 (type 136)", or the bare number for a type no entry has.
std::string ModuleTypeText(std::int32_t code);

} // namespace vk::app
