#pragma once
// RunController: the run controller. Holds the catalogue as the target tree, keeps one entry
// selected with its protocol object bound to the link and the image, and carries a run one tick at
// a time. What a run shows goes through IRunDisplay (the Programmer page's presenter,
// ProgrammerPagePresenter.h); only the progress bar is driven directly, by the run and by the
// protocol object. How a run ends (its log line, status and outcome) is in RunEnd.cpp.

#include "programmer/Views.h"
#include "protocol/Catalogue.h"
#include "protocol/ImagePrep.h"
#include "protocol/ProtocolBase.h"

#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

namespace vk::image {
class FirmwareImage;
}
namespace vk::link {
class SerialLink;
}

namespace vk::programmer {

// One entry of the target tree.
struct TargetNode {
  std::string Name;
  std::int32_t TypeCode = 0;
  std::uint8_t CpuKind = 0;
  bool JumpTable = false;
  std::int32_t RegionStart = 0;
  std::int32_t RegionEnd = 0;
  std::int32_t BlockSize = 128;
  std::int32_t BootBaud = 0;
  cpu::BootKernel* Kernel = nullptr;
  ProtocolBase* Cpu = nullptr; // set only while the entry is the selected one
  bool MultiProgram = false;
  int DefaultAddress = 0;
  bool Root = false;
  int Level = 1;
  int Index = 0; // position in the catalogue
  ITreeView::NodeId TreeNode = ITreeView::kNone;
};

// Creates the protocol object for a CpuKind.
using CpuFactory =
    std::function<std::unique_ptr<ProtocolBase>(std::uint8_t cpuKind, platform::IEventLoop&)>;
// The backplane protocol for every kind that has no class of its own.
std::unique_ptr<ProtocolBase> CreateBackplaneCpu(std::uint8_t cpuKind, platform::IEventLoop& loop);

// What the run controller shows, and where it reads the module number it addresses. The
// Programmer page's presenter implements it; without one a run shows nothing and addresses
// module 0.
class IRunDisplay {
public:
  virtual ~IRunDisplay() = default;
  virtual int ModuleAddress() const = 0;
  virtual void Status(const std::string& text) = 0; // the operation in hand
  virtual void Hint(const std::string& text) = 0;   // a failed module's reason ("" clears it)
  virtual void Log(const std::string& line) = 0;
  // A new entry is selected (byPerson: the user picked it in the tree). Called before the
  // protocol object is bound, so an address chosen here is the one the protocol gets.
  virtual void EntrySelected(const TargetNode& entry, bool byPerson) = 0;
  // The summary changed: the selection, or the module a run starts on.
  virtual void ShowSummary() = 0;
  // Brings the page to the front (a selection by a loaded file or a detection).
  virtual void ShowPage() = 0;
};

class RunController {
public:
  enum ButtonTag { kDetect = 0, kErase = 1, kProgram = 2, kMultiProgram = 3 };

  // kernels: kernel object by number 1..3 (may return null).
  RunController(platform::IEventLoop& loop, image::FirmwareImage* firmware, link::SerialLink* comm,
                std::function<cpu::BootKernel*(int)> kernels = {},
                CpuFactory factory = CreateBackplaneCpu);
  ~RunController();

  // Wiring done at start-up.
  void SetDisplay(IRunDisplay* display) { display_ = display; }
  void SetProgress(IProgressView* bar) { Progress = bar; }
  // Called once for every module whose run ends (programmed, erased, failed or checked).
  std::function<void(const RunOutcome&)> OnModuleDone;
  // A read run filled the image from the module's flash (it replaced the image as a file load
  // does); the Buffer page shows it anew.
  std::function<void()> OnImageRead;
  // The outcome of the last run that ended.
  const RunOutcome& LastOutcome() const { return lastOutcome_; }
  // The tree's previous click handler, called after every selection.
  std::function<void()> ChainedTreeClick;

  // Catalogue and tree.
  void BuildTargetTree(ITreeView* tree);
  void TreeClick();
  // byPerson: the entry was picked in the tree by the user; only such a pick moves the address
  // box to the entry's default address. A selection by a detection or a loaded file never does.
  void SelectNode(TargetNode& entry, bool byPerson = false);
  void SelectByType(std::int32_t code);
  // Selects the first entry with this name (as a click on it would); false when none has it.
  bool SelectByName(const std::string& name);

  // The run.
  void StartErase();
  void StartProgram();
  // A read run: the module's flash from..end-1 replaces the image once the whole range is read
  // (a failed read leaves the image as it was). A compare run: the blocks a Program run would
  // write are read and compared; nothing is erased or written. Only for entries whose kind
  // reads back (ProtocolKind::ReadsBack); no jump table or checksum word is prepared.
  void StartRead(std::uint32_t from, std::uint32_t end);
  void StartCompare();
  // An identify run: the loader's version, the product, the flash size and the protection into
  // the protocol's Identity (kinds that read back only).
  void StartIdentify();
  // The selected entry's region as image addresses [first, end): what a read covers unless told
  // otherwise (the image holds the region's first 64 KiB).
  std::pair<std::uint32_t, std::uint32_t> RegionInImage() const;
  // Stops a run: one under way runs the protocol's Finish and ends as failed, stopped by the
  // user; one only armed goes back to rest.
  void StopRun(const std::string& why = "");
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

  TargetNode& Node() { return *node_; }
  const TargetNode& Node() const { return *node_; }
  ProtocolBase& Cpu() { return *cpu_; }
  std::vector<TargetNode>& Nodes() { return nodes_; }

  bool EraseOnly = false;
  bool SkipErase = false;
  // The operator's wishes for the next program runs, for targets that can: start the program
  // after programming; remove the chip's read protection (it erases the chip) when found.
  // How the log names the module of the run: "QRD14 #7"; over CAN "QX4T - PCAN node 5".
  std::string ModuleName() const;

  bool StartAfterProgramming = false;
  bool RemoveReadProtection = false;
  // Where the started program begins (0: the image's first address), for targets that can.
  std::uint32_t StartAt = 0;
  char SpinChar = '\0';
  link::SerialLink* Comm;
  image::FirmwareImage* Firmware;
  CpuState ShownState = CpuState::Idle;
  ITreeView* Tree = nullptr;

private:
  void Status(const std::string& text);
  void Log(const std::string& line);
  int Address() const;
  void ShowSummary();
  void Bind();
  void EndRun(bool ok);
  // Clears the per-run flags and the protocol's run state.
  void ClearRun();
  // "Module Programming Failed", "Module Reading Failed" or "Module Check Failed".
  std::string FailedStatus() const;

  platform::IEventLoop& loop_;
  CpuFactory factory_;
  std::vector<TargetNode> nodes_;
  TargetNode* node_ = nullptr;
  std::unique_ptr<ProtocolBase> cpu_;
  int spinTicks_ = 0;
  std::uint32_t runBaud_ = 0; // the link's rate at the run's last tick, before Finish resets it
  bool begun_ = false;        // the protocol's first operation has run
  RunOutcome lastOutcome_;
  IRunDisplay* display_ = nullptr;
  IProgressView* Progress = nullptr; // the run sets its range and position
  // A read run's range, and the flash it read (the image is replaced only by a whole read).
  std::uint32_t readFrom_ = 0, readEnd_ = 0;
  std::vector<std::uint8_t> readBuffer_;
  // Arms the protocol for a run of this purpose.
  void Arm(RunPurpose purpose);
  void Report(RunResult result);
};

} // namespace vk::programmer
