#pragma once
// The main window's four pages. Each page lays out its own controls and hands the session its
// views of them (Views(), over the adapters in QtViews.h); the main window wires them.

#include "app/BufferView.h"
#include "app/PageViews.h"
#include "gui/QtViews.h"
#include "programmer/Views.h"

#include <QPlainTextEdit>
#include <QTreeWidget>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace vk::gui {

// A read-only memo without a border in the page's colour (the info and log memos).
QPlainTextEdit* MakePageMemo(QWidget* parent);
// Gives a control its hint: a tooltip, and the status tip the status line shows.
void SetHint(QWidget* control, const QString& hint);

// CommPlane: the terminal's history, read-only: what was sent and received. Dropped files are
// left to the window.
class TCommPlane : public QPlainTextEdit {
public:
  static constexpr int kMaxLines = 5000;
  explicit TCommPlane(QWidget* parent = nullptr);

protected:
  bool canInsertFromMimeData(const QMimeData* source) const override;
  void insertFromMimeData(const QMimeData* source) override;
};

// "Communication": the history filling the page, the line typed into below it. Enter in the
// typed line hands it to onEnter and empties it; Up and Down bring back lines typed before.
class TCommPage : public QWidget {
public:
  explicit TCommPage(QWidget* parent = nullptr);
  TCommPlane* CommPlane;
  QLineEdit* CommInput;
  std::function<void(const QString& line)> onEnter;
  static constexpr const char* kInputHint =
      "Type a command for the unit (ID, OP 7, ...) and press Enter";
  // CommPlane's place on the page; its height and width follow the page.
  static constexpr int kPlaneLeft = 2, kPlaneTop = 2;
  // The terminal as the session writes it: lines of bytes.
  programmer::ITextView& TerminalView() { return terminal_; }
  // While a module is being programmed typing is refused; the line under the terminal says so.
  void SetInputPaused(bool paused);
  QLabel* PausedLabel;
  static constexpr const char* kPausedText =
      "Input paused: a module is being programmed; the terminal shows the traffic";

protected:
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void Send();
  QtTextView terminal_;
  QStringList typed_; // the lines typed, oldest first, for Up and Down
  qsizetype recalled_ = 0;
};

// The target tree: a click, or Enter or Space on the current node, selects a target.
class TTargetTree : public QTreeWidget {
public:
  explicit TTargetTree(QWidget* parent = nullptr);
  std::function<void()> onSelect;

protected:
  void keyPressEvent(QKeyEvent* event) override;
};

// "Target": port, speed and address, the target tree, "Find Device", the CAN settings.
class TTargetPage : public QWidget {
public:
  explicit TTargetPage(QWidget* parent = nullptr);
  QLabel* lbCOM;
  QComboBox* cbxCOM;
  QLabel* lbSpeed;
  QComboBox* cbxSpeed;
  QLabel* lbAddr;
  QComboBox* cbxAddr;
  QLabel* lbTarget;
  TTargetTree* TargetTreeView;
  QPushButton* btFindDev;
  QLabel* lbPCAN;
  QComboBox* cbxCANAddr;
  QComboBox* cbxCANSpeed;
  QLabel* lbCANdata;
  app::TargetPageViews Views();
  // The address box was moved by the program, not by the user: it stands out for a while.
  void HighlightAddress();
  static constexpr int kHighlightMs = 4000;
  // The tree keeps room for its widest entry, at any window size.
  void KeepTreeWidth();

private:
  std::unique_ptr<QtSelector> ports_, canAddress_, canSpeed_;
  std::unique_ptr<QtComboView> speed_, address_;
  std::unique_ptr<QtTreeView> tree_;
};

// "Programmer": the controls are placed from the page's height H and width W by fixed rules,
// again whenever the page changes size; H counts only between the page's heights at the
// window's minimum and normal heights. PageShow runs each time the page is shown.
class TProgrammerPage : public QWidget {
public:
  explicit TProgrammerPage(QWidget* parent = nullptr);
  QCheckBox* UntypedBox;
  QCheckBox* StartAfterBox; // shown for the targets that can start a program
  std::array<QPushButton*, 4> Buttons{};
  QComboBox* FirstBox;
  QComboBox* LastBox;
  QLabel* FirstLabel;
  QLabel* LastLabel;
  QProgressBar* Progress;
  QPlainTextEdit* InfoMemo;
  QPlainTextEdit* LogMemo;
  QLabel* LogTitle; // "Log", above the framed log
  std::function<void()> onShow;
  std::function<void(int tag)> onAction;
  // Every view but show, which the window gives.
  programmer::ProgrammerPageViews Views();

  void PlaceControls();
  QSize minimumSizeHint() const override;
  // H never goes below this: the untyped box's row stays on the page.
  static constexpr int kShortestBase = 330;
  // The window's normal height: a page taller than at that height keeps its controls where
  // they are there. 0: no such limit.
  int NormalWindowHeight = 0;

protected:
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;

private:
  std::array<std::unique_ptr<QtButtonView>, 4> buttons_;
  std::unique_ptr<QtCheckView> untyped_, startAfter_;
  std::unique_ptr<QtComboView> firstBox_, lastBox_;
  std::unique_ptr<QtTextView> info_, log_;
  std::unique_ptr<QtProgressView> progress_;
};

// "Buffer": what is loaded. The two buttons keep to the bottom-left corner; the memo fills the
// space between the labels and the buttons.
class TBufferPage : public QWidget {
public:
  explicit TBufferPage(QWidget* parent = nullptr);
  QLabel* lbSrcFile;
  QLabel* lbRange;
  QPlainTextEdit* mnBufferInfo;
  QPushButton* btBufferClear;
  QPushButton* btBufferShow;
  // Shows what the session says of the loaded image.
  void Show(const app::BufferPageText& page);

  static constexpr int kMargin = 8;
  QSize minimumSizeHint() const override;

protected:
  void resizeEvent(QResizeEvent* event) override;

private:
  std::unique_ptr<QtTextView> info_;
};

} // namespace vk::gui
