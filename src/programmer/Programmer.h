#pragma once
// TPrgrm: the programmer controller. Holds the catalogue as the target tree, keeps one entry
// selected with its protocol object bound to the link and the image, and carries a run one
// tick at a time, reporting through the status line, the progress bar and the log.

#include "programmer/Catalogue.h"
#include "programmer/Cpu.h"
#include "programmer/ImagePrep.h"
#include "programmer/Views.h"

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

namespace vk::image {
class Tvkf;
}

namespace vk::programmer {

// One entry of the target tree.
struct PrgrmNode {
  std::string Name;
  std::int32_t TypeCode = 0;
  std::uint8_t CpuKind = 0;
  bool JumpTable = false;
  std::int32_t RegionStart = 0;
  std::int32_t RegionEnd = 0;
  std::int32_t BlockSize = 128;
  std::int32_t BootBaud = 0;
  std::int32_t SecondBaud = 0;
  cpu::TProgKernel* Kernel = nullptr;
  TCPU* Cpu = nullptr; // set only while the entry is the selected one
  bool MultiProgram = false;
  int DefaultAddress = 0;
  bool Root = false;
  int Level = 1;
  int Index = 0; // position in the catalogue
  ITreeView::NodeId TreeNode = ITreeView::kNone;
};

// Creates the protocol object for a CpuKind.
using CpuFactory =
    std::function<std::unique_ptr<TCPU>(std::uint8_t cpuKind, platform::IEventLoop&)>;
// The backplane protocol for every kind that has no class of its own.
std::unique_ptr<TCPU> CreateBackplaneCpu(std::uint8_t cpuKind, platform::IEventLoop& loop);

class TPrgrm {
public:
  enum ButtonTag { kDetect = 0, kErase = 1, kProgram = 2, kMultiProgram = 3 };

  // kernels: kernel object by number 1..3 (may return null).
  TPrgrm(platform::IEventLoop& loop, image::Tvkf* firmware, link::TComm* comm,
         std::function<cpu::TProgKernel*(int)> kernels = {},
         CpuFactory factory = CreateBackplaneCpu);
  ~TPrgrm();

  // Wiring done at start-up.
  void SetStatusBar(IStatusView* bar) { StatusBar = bar; }
  void SetAddressBox(IComboView* box) { AddressBox = box; }
  void SetProgress(IProgressView* bar) { Progress = bar; }
  void SetLog(ITextView* log) { LogMemo = log; }
  void SetButtons(const std::array<IButtonView*, 4>& buttons) { Buttons = buttons; }
  // The rest of the Programmer page.
  void SetPageControls(ICheckView* untyped, IComboView* first, IComboView* last, ITextView* info) {
    UntypedBox = untyped;
    FirstBox = first;
    LastBox = last;
    InfoMemo = info;
  }
  // Called once for every module whose run ends (programmed, erased, failed or checked).
  std::function<void(const RunOutcome&)> OnModuleDone;
  // The outcome of the last run that ended.
  const RunOutcome& LastOutcome() const { return lastOutcome_; }
  // The Buffer page's information lines, shown on the Programmer page.
  std::function<std::vector<std::string>()> ImageInfo;

  // "Allow untyped programming" from the stored setting: missing or empty hides the box;
  // exactly "True" shows and ticks it; any other text shows it unticked.
  static void ApplyUntypedSetting(ICheckView& box, const std::optional<std::string>& value);
  bool UntypedAllowed() const { return UntypedBox && UntypedBox->Checked(); }
  // Refreshes the page each time it is shown.
  void PageShow();
  // The page's summary: selected entry, module number, link and its bit rate, the image.
  void ShowSummary();
  // Called with the page's caption to bring it to the front ("Programmer").
  std::function<void()> ShowProgrammerPage;
  // The tree's previous click handler, called after every selection.
  std::function<void()> ChainedTreeClick;

  // Catalogue and tree.
  void BuildTargetTree(ITreeView* tree);
  void TreeClick();
  // byPerson: the entry was picked in the tree by the user; only such a pick moves the address
  // box to the entry's default address. A selection by a detection or a loaded file never does.
  void SelectNode(PrgrmNode& entry, bool byPerson = false);
  void SelectByType(std::int32_t code);
  // Selects the first entry with this name (as a click on it would); false when none has it.
  bool SelectByName(const std::string& name);

  // The run.
  void StartErase();
  void StartProgram();
  // Stops a run: one under way runs the protocol's Finish and ends as failed, stopped by the
  // user; one only armed goes back to rest.
  void StopRun();
  // Ends the armed or running run as failed with this reason (a detection that found no
  // module, or a module of another type), after the protocol's Finish if it had begun.
  enum class DropLog { None, Failed, Explained }; // "#n Failed", or with ": detail" behind it
  void DropRun(FailReason reason, const std::string& detail, DropLog log = DropLog::Failed);
  bool RunActive() const;
  // An erase-only run is armed.
  bool ErasingOnly() const { return EraseOnly; }
  bool RunStep();
  // Jump table and checksum word for the selected entry, as before programming. Returns the
  // range that now holds everything worth saving.
  PreparedImage PrepareImage();

  PrgrmNode& Node() { return *node_; }
  const PrgrmNode& Node() const { return *node_; }
  TCPU& Cpu() { return *cpu_; }
  std::vector<PrgrmNode>& Nodes() { return nodes_; }

  bool EraseOnly = false;
  bool SkipErase = false;
  char SpinChar = '\0';
  link::TComm* Comm;
  image::Tvkf* Firmware;
  CpuState ShownState = CpuState::Idle;
  ITreeView* Tree = nullptr;
  IStatusView* StatusBar = nullptr;
  IComboView* AddressBox = nullptr;
  std::array<IButtonView*, 4> Buttons{};
  IProgressView* Progress = nullptr;
  ITextView* LogMemo = nullptr;
  ICheckView* UntypedBox = nullptr;
  IComboView* FirstBox = nullptr;
  IComboView* LastBox = nullptr;
  ITextView* InfoMemo = nullptr;

private:
  void Status(const std::string& text);
  void Log(const std::string& line);
  int Address() const;
  void Bind();
  void EndRun(bool ok);
  // Clears the per-run flags and the protocol's run state.
  void ClearRun();
  std::string ModuleName() const;

  platform::IEventLoop& loop_;
  CpuFactory factory_;
  std::vector<PrgrmNode> nodes_;
  PrgrmNode* node_ = nullptr;
  std::unique_ptr<TCPU> cpu_;
  int spinTicks_ = 0;
  bool begun_ = false; // the protocol's first operation has run
  RunOutcome lastOutcome_;
  void Report(RunResult result);
};

} // namespace vk::programmer
