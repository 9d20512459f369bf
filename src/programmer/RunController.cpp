#include "programmer/RunController.h"

#include "cpu/Backplane.h"
#include "image/FirmwareImage.h"
#include "link/SerialLink.h"
#include "protocol/ProtocolKinds.h"

#include <algorithm>

namespace vk::programmer {

namespace {
constexpr int kSpinEvery = 20; // the spinner turns when the count exceeds this

char NextSpin(char c) {
  switch (c) {
  case '-':
    return '/';
  case '/':
    return '|';
  case '|':
    return '\\';
  default:
    return '-';
  }
}
} // namespace

std::unique_ptr<ProtocolBase> CreateBackplaneCpu(std::uint8_t, platform::IEventLoop& loop) {
  return std::make_unique<TCPU_BACKPLANE>(loop);
}

RunController::RunController(platform::IEventLoop& loop, image::FirmwareImage* firmware,
                             link::SerialLink* comm, std::function<cpu::BootKernel*(int)> kernels,
                             CpuFactory factory)
    : Comm(comm), Firmware(firmware), loop_(loop), factory_(std::move(factory)) {
  int index = 0;
  for (const auto& e : Catalogue()) {
    TargetNode n;
    n.Name = std::string(e.Name);
    n.TypeCode = e.TypeCode;
    n.CpuKind = e.CpuKind;
    n.JumpTable = e.JumpTable;
    n.RegionStart = e.RegionStart;
    n.RegionEnd = e.RegionEnd;
    n.BlockSize = e.BlockSize;
    n.BootBaud = e.BootBaud;
    n.Kernel = (kernels && e.KernelNo) ? kernels(e.KernelNo) : nullptr;
    n.Level = e.Level;
    n.MultiProgram = e.MultiProgram;
    n.DefaultAddress = e.DefaultAddress;
    n.Root = e.Root;
    n.Index = index++;
    nodes_.push_back(n);
  }
  // "Kestron" starts selected, with a backplane protocol at rest.
  node_ = &nodes_.front();
  cpu_ = std::make_unique<TCPU_BACKPLANE>(loop_);
  node_->Cpu = cpu_.get();
}

RunController::~RunController() = default;

void RunController::Status(const std::string& text) {
  if (display_) display_->Status(text);
}

void RunController::Log(const std::string& line) {
  if (display_) display_->Log(line);
}

int RunController::Address() const { return display_ ? display_->ModuleAddress() : 0; }

void RunController::ShowSummary() {
  if (display_) display_->ShowSummary();
}

void RunController::BuildTargetTree(ITreeView* tree) {
  Tree = tree;
  if (!Tree) return;
  Tree->Clear();
  ITreeView::NodeId parent = ITreeView::kNone;
  for (auto& n : nodes_) {
    if (n.Level == 1) {
      n.TreeNode = Tree->AddNode(ITreeView::kNone, n.Name, n.Index);
      parent = n.TreeNode;
    } else {
      n.TreeNode = Tree->AddNode(parent, n.Name, n.Index);
    }
  }
}

void RunController::TreeClick() {
  // A run under way keeps its entry: its protocol object and settings are in use.
  if (!Tree || (begun_ && RunActive())) return;
  const int index = Tree->SelectedEntry();
  if (index < 0 || index >= static_cast<int>(nodes_.size())) return;
  SelectNode(nodes_[static_cast<std::size_t>(index)], true);
  if (ChainedTreeClick) ChainedTreeClick();
}

void RunController::SelectNode(TargetNode& entry, bool byPerson) {
  const std::uint8_t previousKind = node_->CpuKind;
  node_->Cpu = nullptr;
  node_ = &entry;
  if (entry.CpuKind != previousKind) {
    // Kinds served by the same class keep the protocol object, so that a run armed with the
    // root selected is carried out on the module a detection selects.
    auto fresh = factory_(entry.CpuKind, loop_);
    if (typeid(*fresh) != typeid(*cpu_)) {
      if (RunActive())
        DropRun(FailReason::TypeMismatch, "another protocol; the armed run was not carried out",
                DropLog::Explained);
      cpu_ = std::move(fresh);
    }
  }

  if (display_) display_->EntrySelected(entry, byPerson);

  entry.Cpu = cpu_.get();
  // An armed run keeps its request to erase; everything else comes from the new entry.
  const bool eraseFirst = cpu_->EraseFirst;
  Bind();
  if (RunActive()) cpu_->EraseFirst = eraseFirst;
  if (Tree) Tree->MakeVisible(entry.TreeNode); // the highlight follows every selection
  ShowSummary();
}

void RunController::Bind() {
  ProtocolBase& p = *cpu_;
  p.EraseFirst = false;
  p.Buffer = Firmware->Image();
  p.SetRange(Firmware->MemStart(), Firmware->MemEnd());
  p.Comm = Comm;
  p.Bind({.jumpTable = node_->JumpTable,
          .regionStart = node_->RegionStart,
          .regionEnd = node_->RegionEnd,
          .blockSize = node_->BlockSize,
          .bootBaud = node_->BootBaud,
          .moduleAddress = Address(),
          .kernel = node_->Kernel});
  p.ImageWindow = Firmware->Window();
  p.OnLog = [this](const std::string& line) { Log(ModuleName() + " " + line); };
}

void RunController::SelectByType(std::int32_t code) {
  for (auto& n : nodes_) {
    if (n.TypeCode != code) continue;
    if (Tree) Tree->MakeVisible(n.TreeNode);
    SelectNode(n);
    if (display_) display_->ShowPage();
    if (ChainedTreeClick) ChainedTreeClick();
    return;
  }
}

bool RunController::SelectByName(const std::string& name) {
  for (auto& n : nodes_) {
    if (n.Name != name) continue;
    SelectNode(n);
    if (ChainedTreeClick) ChainedTreeClick();
    return true;
  }
  return false;
}

// Arming clears SkipErase: a value left by another protocol's run must never skip the erase
// of a module whose protocol does not set it.
void RunController::Arm(RunPurpose purpose) {
  RunOptions options;
  options.purpose = purpose;
  // Only a programming run starts the image or gives up the chip's read protection.
  options.startAfterProgramming = purpose == RunPurpose::Program && StartAfterProgramming;
  options.removeReadProtection = purpose == RunPurpose::Program && RemoveReadProtection;
  options.startAt = StartAt;
  options.eraseWholeChip = EraseOnly && !KindOf(node_->CpuKind).ChipEraseWords.empty();
  cpu_->Buffer = purpose == RunPurpose::Read ? readBuffer_.data() : Firmware->Image();
  cpu_->Arm(options);
}

void RunController::StartErase() {
  EraseOnly = true;
  SkipErase = false;
  begun_ = false;
  // Protocols that erase only on request (the 8051 loaders) must erase in an erase-only run;
  // otherwise the run would report "Erased OK" without having touched the chip.
  cpu_->EraseFirst = true;
  Arm(RunPurpose::Program);
}

// A Program press programs: an erase armed earlier and never carried out does not turn it into
// an erase-only run.
void RunController::StartProgram() {
  EraseOnly = false;
  SkipErase = false;
  begun_ = false;
  Arm(RunPurpose::Program);
  cpu_->AttachProgressBar(Progress);
}

void RunController::StartRead(std::uint32_t from, std::uint32_t end) {
  EraseOnly = false;
  SkipErase = false;
  begun_ = false;
  readFrom_ = std::min(from, kImageSize);
  readEnd_ = std::min(end, kImageSize);
  readBuffer_.assign(kImageSize, 0xFF);
  Arm(RunPurpose::Read);
  cpu_->SetRange(readFrom_, readEnd_);
  cpu_->AttachProgressBar(Progress);
}

std::pair<std::uint32_t, std::uint32_t> RunController::RegionInImage() const {
  const auto first = static_cast<std::uint32_t>(node_->RegionStart) & 0xFFFFu;
  const auto size = static_cast<std::uint32_t>(node_->RegionEnd - node_->RegionStart) + 1;
  return {first, std::min(kImageSize, first + size)};
}

void RunController::StartIdentify() {
  EraseOnly = false;
  SkipErase = false;
  begun_ = false;
  Arm(RunPurpose::Identify);
}

void RunController::StartCompare() {
  EraseOnly = false;
  SkipErase = false;
  begun_ = false;
  Arm(RunPurpose::Compare);
  cpu_->AttachProgressBar(Progress);
}

void RunController::ClearRun() {
  EraseOnly = false;
  SkipErase = false;
  begun_ = false;
  cpu_->Disarm();
  cpu_->Buffer = Firmware->Image(); // a read run's own buffer is done with
}

void RunController::StopRun(const std::string& why) {
  if (begun_ && RunActive()) {
    DropRun(FailReason::StoppedByUser, why);
    return;
  }
  ClearRun();
}

bool RunController::RunActive() const { return cpu_->State != CpuState::Idle; }

bool RunController::RunStep() {
  ProtocolBase& p = *cpu_;
  // A pulled adapter ends the run at once rather than after every retry of the protocol.
  if (const std::string gone = p.State != CpuState::Idle ? Comm->LostText() : std::string();
      !gone.empty()) {
    Log(gone);
    p.NoteFailure(FailReason::LinkLost, gone);
    EndRun(false);
    Status(gone);
    return true;
  }
  if (p.State != CpuState::Idle && begun_) runBaud_ = Comm->GetBaudRate();
  // A protocol's pause holds the run, not the thread: a stop meanwhile ends it at once.
  if ((p.State == CpuState::Initialize || p.State == CpuState::Erase ||
       p.State == CpuState::Program) &&
      p.Paused())
    return true;
  switch (p.State) {
  case CpuState::Idle:
    ShownState = CpuState::Idle;
    return false;

  case CpuState::Initialize:
    if (ShownState != CpuState::Initialize) {
      ShownState = CpuState::Initialize;
      Status("Initializing Module");
      const bool reading = p.Purpose() == RunPurpose::Read;
      const std::uint32_t from = reading ? readFrom_ : Firmware->MemStart();
      const std::uint32_t end = reading ? readEnd_ : Firmware->MemEnd();
      p.SetRange(from, end);
      p.ImageWindow = Firmware->Window();
      if (Progress) {
        Progress->SetRange(static_cast<int>(from / 256), static_cast<int>((end + 255) / 256));
        Progress->SetPosition(Progress->Min());
      }
      RunSetup setup = p.Setup();
      setup.moduleAddress = Address();
      p.Bind(setup);
      ShowSummary(); // the module this run works on
    }
    switch (p.Phase.Is()) {
    case RunPhase::Begin:
      // Before the protocol's first operation: a refused image leaves the module untouched.
      // Reading and comparing write nothing: no image is refused for them.
      if (!EraseOnly && p.Purpose() == RunPurpose::Program) {
        if (const ImageRefusal refusal = CheckImageForTarget(
                Firmware->Image(), Firmware->MemStart(), Firmware->MemEnd(),
                Catalogue()[static_cast<std::size_t>(node_->Index)], Firmware->Window())) {
          DropRun(refusal.reason, refusal.text);
          return true;
        }
      }
      begun_ = true;
      p.InitBegin(Comm, "");
      p.ContinueInitializing();
      break;
    case RunPhase::Step:
      p.InitStep(SkipErase);
      break;
    case RunPhase::End:
      p.Fail();
      break;
    default:
      break;
    }
    return true;

  case CpuState::Erase:
    if (ShownState != CpuState::Erase) {
      ShownState = CpuState::Erase;
      Status("Erasing Module");
    }
    if (SkipErase) {
      p.SkipToProgram();
      return true;
    }
    switch (p.Phase.Is()) {
    case RunPhase::Begin:
      p.EraseBegin();
      break;
    case RunPhase::Step:
      if (++spinTicks_ > kSpinEvery) {
        spinTicks_ = 0;
        SpinChar = NextSpin(SpinChar);
        Status(std::string("Erasing Module ") + SpinChar);
      }
      p.EraseStep();
      break;
    case RunPhase::End:
      p.EraseEnd();
      break;
    default:
      break;
    }
    return true;

  case CpuState::Program:
    if (EraseOnly) {
      Comm->DropAnswers();
      // A boot loader's link goes back to its rate, parity and text mode, as after any run.
      p.StopRunning();
      p.Finish();
      ClearRun();
      Log("Module #" + std::to_string(Address()) + " Erased OK");
      Status("Module Erased OK");
      if (Progress) Progress->SetPosition(Progress->Min());
      Report(RunResult::Erased);
      return true;
    }
    if (ShownState != CpuState::Program && p.Phase == RunPhase::Step) {
      Status(p.Purpose() != RunPurpose::Program   ? "Reading Module"
             : KindOf(node_->CpuKind).WritesImage ? "Programming Module"
                                                  : "Checking Module");
      ShownState = CpuState::Program;
    }
    switch (p.Phase.Is()) {
    case RunPhase::Begin:
      p.ProgramBegin();
      break;
    case RunPhase::Step:
      p.ProgramStep();
      break;
    case RunPhase::End:
      p.ProgramEnd();
      break;
    default:
      break;
    }
    if (Progress) {
      const int v = static_cast<int>(p.CurAddr / 256);
      if (v <= Progress->Max() && v > Progress->Min() && v > Progress->Position())
        Progress->SetPosition(v);
    }
    return true;

  case CpuState::Done:
    EndRun(true);
    return true;

  case CpuState::Failed:
    EndRun(false);
    return true;
  }
  p.StopRunning();
  ShownState = CpuState::Idle;
  return true;
}

// Prepares from the image's own range each time, as a run's first tick does, so saving twice
// gives the same file instead of a second checksum word behind the first.
PreparedImage RunController::PrepareImage() {
  if (Firmware->IsEmpty())
    return {Firmware->MemStart(), Firmware->MemEnd(), false, ChecksumResult::NoRoom, {}};
  const PreparedImage out =
      PrepareForTarget(Firmware->Image(), Firmware->MemStart(), Firmware->MemEnd(),
                       Catalogue()[static_cast<std::size_t>(node_->Index)], Firmware->Window());
  cpu_->SetRange(out.jumpTable ? kJumpTableAt : Firmware->MemStart(), out.end);
  return out;
}

} // namespace vk::programmer
