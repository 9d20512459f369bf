#include "app/ProgrammerPagePresenter.h"

#include "image/FirmwareImage.h"
#include "link/SerialLink.h"
#include "protocol/ProtocolKinds.h"

namespace vk::programmer {

namespace {
constexpr int kOperationPanel = 0;
constexpr int kHintPanel = 3;
} // namespace

ProgrammerPagePresenter::ProgrammerPagePresenter(RunController& run,
                                                 const image::FirmwareImage& firmware,
                                                 const link::SerialLink& comm,
                                                 ProgrammerPageViews views, IStatusView* status,
                                                 IComboView* address)
    : run_(run), firmware_(firmware), comm_(comm), views_(std::move(views)), status_(status),
      address_(address) {
  run_.SetDisplay(this);
}

ProgrammerPagePresenter::~ProgrammerPagePresenter() { run_.SetDisplay(nullptr); }

int ProgrammerPagePresenter::ModuleAddress() const { return address_ ? address_->ItemIndex() : 0; }

void ProgrammerPagePresenter::Status(const std::string& text) {
  if (status_) status_->SetPanelText(kOperationPanel, text);
}

void ProgrammerPagePresenter::Hint(const std::string& text) {
  if (status_) status_->SetPanelText(kHintPanel, text);
}

void ProgrammerPagePresenter::Log(const std::string& line) {
  if (views_.log) views_.log->AddLine(line);
}

void ProgrammerPagePresenter::ShowPage() {
  if (views_.show) views_.show();
}

void ProgrammerPagePresenter::EntrySelected(const TargetNode& entry, bool byPerson) {
  auto& buttons = views_.buttons;
  if (buttons[RunController::kMultiProgram])
    buttons[RunController::kMultiProgram]->SetEnabled(entry.MultiProgram);
  if (byPerson && address_ && entry.DefaultAddress) address_->SetItemIndex(entry.DefaultAddress);
  if (views_.startAfter) {
    const bool starts = entry.CpuKind == kKindCortexFlash;
    views_.startAfter->SetVisible(starts);
    views_.startAfter->SetEnabled(starts);
  }
}

void ProgrammerPagePresenter::ApplyUntypedSetting(ICheckView& box,
                                                  const std::optional<std::string>& value,
                                                  bool fixedByMachine) {
  const std::string text = value ? value->substr(0, 255) : std::string();
  const bool shown = !text.empty();
  box.SetVisible(shown);
  box.SetEnabled(shown && !fixedByMachine);
  box.SetChecked(text == "True");
}

void ProgrammerPagePresenter::PageShow() {
  using B = RunController::ButtonTag;
  auto& buttons = views_.buttons;
  static const char* const kCaptions[4] = {"Detect", "Erase", "Program", "MultiProgram"};
  for (int i = 0; i < 4; ++i)
    if (buttons[i]) buttons[i]->SetCaption(kCaptions[i]);
  const TargetNode& node = run_.Node();
  const bool root = node.Root;
  const bool module = KindOf(node.CpuKind).EraseOffered;
  if (buttons[B::kDetect]) buttons[B::kDetect]->SetEnabled(root);
  if (buttons[B::kErase]) buttons[B::kErase]->SetEnabled(root || module);
  if (firmware_.IsEmpty()) {
    if (buttons[B::kProgram]) buttons[B::kProgram]->SetEnabled(false);
    if (buttons[B::kMultiProgram]) buttons[B::kMultiProgram]->SetEnabled(false);
  } else {
    if (buttons[B::kProgram]) buttons[B::kProgram]->SetEnabled(true);
    // MultiProgram as the selection gives it, even if a show without an image turned it off.
    if (buttons[B::kMultiProgram]) buttons[B::kMultiProgram]->SetEnabled(node.MultiProgram);
  }
  if (address_) {
    std::vector<std::string> items;
    for (int i = 0; i < address_->Count(); ++i) items.push_back(address_->ItemText(i));
    // Filled once: afterwards the range boxes keep what the operator chose.
    if (views_.firstBox && views_.firstBox->Count() != address_->Count()) {
      views_.firstBox->SetItems(items);
      views_.firstBox->SetItemIndex(0);
    }
    if (views_.lastBox && views_.lastBox->Count() != address_->Count()) {
      views_.lastBox->SetItems(items);
      views_.lastBox->SetItemIndex(address_->ItemIndex());
    }
  }
  ShowSummary();
}

void ProgrammerPagePresenter::ShowSummary() {
  ITextView* info = views_.info;
  if (!info) return;
  info->Clear();
  info->AddLine(run_.Node().Name + " #" + std::to_string(ModuleAddress()));
  info->AddLine("");
  if (comm_.PortNo() != 0)
    info->AddLine("COM" + std::to_string(comm_.PortNo()) + ", " +
                  std::to_string(comm_.GetBaudRate()) + "bps");
  else
    info->AddLine("PCAN");
  if (ImageInfo)
    for (const auto& line : ImageInfo()) info->AddLine(line);
}

} // namespace vk::programmer
