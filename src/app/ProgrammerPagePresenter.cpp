#include "app/ProgrammerPagePresenter.h"

#include "image/FirmwareImage.h"
#include "link/SerialLink.h"
#include "protocol/ProtocolKinds.h"

namespace vk::programmer {

namespace {
constexpr int kOperationPanel = 0;
constexpr int kHintPanel = 3;
} // namespace

std::string CheckOnlyText(const std::string& entryName) {
  std::string text = entryName + " only checks the chip: nothing is written";
  // The entry that writes such a chip, where the catalogue has one.
  const std::string writer = entryName + " Flash";
  if (const auto* e = FindEntryByName(writer); e && KindOf(e->CpuKind).WritesImage)
    text += "; to program it, choose \"" + writer + "\"";
  return text;
}

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
  if (!ReasonInLog || text.empty()) return;
  Status("Failed");
  // A "Failed: reason" line has it already.
  static constexpr std::string_view kFailed = " Failed";
  if (lastLogLine_.ends_with(kFailed)) Log("  " + text);
}

void ProgrammerPagePresenter::Log(const std::string& line) {
  lastLogLine_ = line;
  if (views_.log) views_.log->AddLine(line);
}

void ProgrammerPagePresenter::ShowPage() {
  if (views_.show) views_.show();
}

void ProgrammerPagePresenter::EntrySelected(const TargetNode& entry, bool byPerson) {
  UpdateButtons(entry); // at once, not only when the page is shown next
  if (byPerson && address_ && entry.DefaultAddress &&
      address_->ItemIndex() != entry.DefaultAddress) {
    // The entry's modules sit at one address: the box moves there, visibly.
    const int before = address_->ItemIndex();
    address_->SetItemIndex(entry.DefaultAddress);
    Log("Address " + std::to_string(entry.DefaultAddress) + " set for " + entry.Name +
        " (its modules' address; it was " + std::to_string(before) + ")");
    if (AddressMoved) AddressMoved();
  }
  if (views_.startAfter) {
    const bool starts = KindOf(entry.CpuKind).StartsProgram;
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
  auto& buttons = views_.buttons;
  static const char* const kCaptions[4] = {"Detect", "Erase", "Program", "MultiProgram"};
  for (int i = 0; i < 4; ++i)
    if (buttons[i]) buttons[i]->SetCaption(kCaptions[i]);
  UpdateButtons(run_.Node());
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
  const TargetNode& node = run_.Node();
  // A boot loader on the port itself has no backplane address: no "#n" for it.
  const bool addressed =
      node.CpuKind == kKindGroup || node.CpuKind == kKindBackplane || KindOf(node.CpuKind).OpFirst;
  info->AddLine(addressed ? node.Name + " #" + std::to_string(ModuleAddress()) : node.Name);
  info->AddLine("");
  const std::string port = link::PortEntryName(comm_.ChosenLink(), comm_.PortNo());
  if (comm_.ChosenLink() == link::LinkKind::Serial)
    info->AddLine(port + ", " + std::to_string(comm_.GetBaudRate()) + "bps");
  else
    info->AddLine(port);
  if (ImageInfo)
    for (const auto& line : ImageInfo()) info->AddLine(line);
  if (node.CpuKind != kKindGroup && !KindOf(node.CpuKind).WritesImage) {
    info->AddLine("");
    info->AddLine(CheckOnlyText(node.Name));
  }
}

void ProgrammerPagePresenter::UpdateButtons(const TargetNode& node) {
  using B = RunController::ButtonTag;
  auto& buttons = views_.buttons;
  const bool module = KindOf(node.CpuKind).Erases();
  if (buttons[B::kDetect]) {
    buttons[B::kDetect]->SetEnabled(node.Root);
    // A disabled button cannot say why by itself.
    buttons[B::kDetect]->SetHint(node.Root ? kDetectHint : kDetectDisabledHint);
  }
  if (buttons[B::kErase]) buttons[B::kErase]->SetEnabled(node.Root || module);
  if (buttons[B::kProgram]) buttons[B::kProgram]->SetEnabled(!firmware_.IsEmpty());
  // MultiProgram as the selection gives it, even if a show without an image turned it off.
  if (buttons[B::kMultiProgram])
    buttons[B::kMultiProgram]->SetEnabled(!firmware_.IsEmpty() && node.MultiProgram);
}

} // namespace vk::programmer
