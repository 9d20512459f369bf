#pragma once
// The Programmer page's presenter: what the page shows of the run controller and the image -
// the buttons and the range boxes each time the page is shown, the summary, the log, the status
// line's operation and hint panels, the address box the run reads its module number from, and
// the "Allow untyped programming" box.

#include "programmer/RunController.h"
#include "programmer/Views.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vk::link {
class SerialLink;
}
namespace vk::image {
class FirmwareImage;
}

namespace vk::programmer {

// "Cortex-M3 only checks the chip: nothing is written", naming the catalogue's entry that
// writes such a chip ("<name> Flash") when there is one.
std::string CheckOnlyText(const std::string& entryName);

class ProgrammerPagePresenter : public IRunDisplay {
public:
  // status: the window's status line; address: the Target page's address box (cbxAddr). Either
  // may be null. Becomes the run controller's display until destroyed.
  ProgrammerPagePresenter(RunController& run, const image::FirmwareImage& firmware,
                          const link::SerialLink& comm, ProgrammerPageViews views,
                          IStatusView* status, IComboView* address);
  ~ProgrammerPagePresenter() override;
  ProgrammerPagePresenter(const ProgrammerPagePresenter&) = delete;
  ProgrammerPagePresenter& operator=(const ProgrammerPagePresenter&) = delete;

  // "Allow untyped programming" from the stored setting: missing or empty hides the box;
  // exactly "True" shows and ticks it; any other text shows it unticked.
  // fixedByMachine: the machine-wide settings decide; the box shows their decision, unchangeable.
  static void ApplyUntypedSetting(ICheckView& box, const std::optional<std::string>& value,
                                  bool fixedByMachine = false);
  bool UntypedAllowed() const { return views_.untyped && views_.untyped->Checked(); }
  // "Start after programming" is shown (for the entry selected) and ticked.
  bool StartAfterProgramming() const {
    return views_.startAfter && views_.startAfter->Visible() && views_.startAfter->Checked();
  }
  // The window: a failed module's reason goes into the log on the line after its "Failed"
  // line, and the operation panel says just "Failed" (the reason is on the hint panel).
  // vkprog keeps its own texts and prints the reason on stderr.
  bool ReasonInLog = false;
  static constexpr const char* kDetectHint = "Detect Kestron module";
  static constexpr const char* kDetectDisabledHint =
      "Detect needs the root entry: select \"Kestron\" in the Target page's tree";
  // Refreshes the page each time it is shown.
  void PageShow();
  // The window: the address box was moved to an entry's own address (the box is highlighted).
  std::function<void()> AddressMoved;
  // The Buffer page's information lines, shown in the summary.
  std::function<std::vector<std::string>()> ImageInfo;

  // What the run shows.
  int ModuleAddress() const override;
  void Status(const std::string& text) override;
  void Hint(const std::string& text) override;
  void Log(const std::string& line) override;
  void EntrySelected(const TargetNode& entry, bool byPerson) override;
  // The page's summary: selected entry, module number, link and its bit rate, the image.
  void ShowSummary() override;
  void ShowPage() override;

private:
  // The buttons as the entry and the image allow them.
  void UpdateButtons(const TargetNode& entry);
  std::string lastLogLine_;

  RunController& run_;
  const image::FirmwareImage& firmware_;
  const link::SerialLink& comm_;
  ProgrammerPageViews views_;
  IStatusView* status_;
  IComboView* address_;
};

} // namespace vk::programmer
