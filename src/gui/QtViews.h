#pragma once
// The engine's view interfaces over Qt widgets: one small adapter per kind of control. The
// adapters do not own their widgets; the window does.

#include "app/DeviceFinder.h"
#include "link/Selector.h"
#include "programmer/Views.h"

#include <QFrame>
#include <QString>

#include <array>
#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTreeWidget;
class QTreeWidgetItem;

namespace vk::gui {

// Terminal text is bytes: each byte one character, so nothing received is lost or mangled.
inline QString FromBytes(const std::string& s) {
  return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}
std::string ToBytes(const QString& s);

// Texts the program writes (captions, names, status texts) are UTF-8; a text from a file that is
// not (a container's message written on another system) is read as Latin-1 instead.
QString FromUtf8(const std::string& s);

// One panel of the status line: a sunken frame with a line of text, ended with "..." when it
// does not fit (the whole text is then its tooltip).
class StatusPanel : public QFrame {
public:
  explicit StatusPanel(QWidget* parent);
  void SetText(const QString& text);
  const QString& Text() const { return text_; }
  QSize sizeHint() const override;

protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  void UpdateToolTip();
  static constexpr int kPadding = 2;
  QString text_;
};

// The status line: four panels with the widths 6w, 3w, 3w and 4w, w = the bar's width div 16:
// the operation, the target, a notice (what was refused while busy), the hint or failure reason.
class QtStatusView : public programmer::IStatusView {
public:
  static constexpr int kPanels = 4;
  explicit QtStatusView(QStatusBar& bar);

  void SetPanelText(int panel, const std::string& text) override;
  std::string PanelText(int panel) const override;
  // Sets the panel widths from the bar's current width.
  void FitPanels();
  StatusPanel* Panel(int index) const { return panels_[static_cast<std::size_t>(index)]; }
  static std::array<int, kPanels> PanelWidths(int barWidth);

private:
  QStatusBar& bar_;
  std::array<StatusPanel*, kPanels> panels_{};
};

// A read-only memo written line by line (the log, the info memos), or the terminal.
class QtTextView : public programmer::ITextView {
public:
  // bytes: lines are byte strings (the terminal) rather than UTF-8 texts. stamped: each line
  // starts with the time it was added ("14:03:27 "), as the log's do.
  QtTextView(QPlainTextEdit& edit, bool bytes = false, bool stamped = false)
      : edit_(edit), bytes_(bytes), stamped_(stamped) {}

  void Clear() override;
  void AddLine(const std::string& line) override;
  std::vector<std::string> Lines() const override;

private:
  QPlainTextEdit& edit_;
  bool bytes_;
  bool stamped_;
  bool hasLine_ = false; // an empty document may still hold one empty line
};

class QtComboView : public programmer::IComboView {
public:
  explicit QtComboView(QComboBox& box) : box_(box) {}

  int ItemIndex() const override;
  void SetItemIndex(int index) override;
  int Count() const override;
  std::string ItemText(int index) const override;
  void SetItems(const std::vector<std::string>& items) override;

private:
  QComboBox& box_;
};

class QtButtonView : public programmer::IButtonView {
public:
  explicit QtButtonView(QPushButton& button) : button_(button) {}

  void SetEnabled(bool on) override;
  bool Enabled() const override;
  void SetCaption(const std::string& caption) override;
  std::string Caption() const override;
  void SetHint(const std::string& hint) override;

private:
  QPushButton& button_;
};

class QtCheckView : public programmer::ICheckView {
public:
  explicit QtCheckView(QCheckBox& box) : box_(box) {}

  bool Checked() const override;
  void SetChecked(bool on) override;
  void SetEnabled(bool on) override;
  bool Enabled() const override;
  void SetVisible(bool on) override;
  // Whether the box is shown on its page (whether or not the page is on screen).
  bool Visible() const override;

private:
  QCheckBox& box_;
};

class QtProgressView : public programmer::IProgressView {
public:
  explicit QtProgressView(QProgressBar& bar) : bar_(bar) {}

  void SetRange(int min, int max) override;
  int Min() const override;
  int Max() const override;
  int Position() const override;
  // Positions outside the range are clamped (QProgressBar would ignore them).
  void SetPosition(int position) override;

private:
  QProgressBar& bar_;
};

class QtTreeView : public programmer::ITreeView {
public:
  explicit QtTreeView(QTreeWidget& tree) : tree_(tree) {}

  void Clear() override;
  NodeId AddNode(NodeId parent, const std::string& text, int entryIndex) override;
  int SelectedEntry() const override;
  void MakeVisible(NodeId node) override;
  QTreeWidgetItem* Item(NodeId node) const;

private:
  QTreeWidget& tree_;
  std::vector<QTreeWidgetItem*> items_;
};

// The port selector and the CAN selectors. An entry's number is kept as item data, its hint is
// the item's tooltip. Only the user's pick runs the change handler.
// What the user asks of the engine goes through here: at once, or - while the engine sleeps in
// the middle of a protocol step and the window lives on - when the step has ended. The main
// window sets the gate; without one, everything runs at once.
void SetCommandGate(std::function<void(std::function<void()>)> gate);
void ThroughGate(std::function<void()> command);

class QtSelector : public link::ISelector {
public:
  explicit QtSelector(QComboBox& box);

  void Clear() override;
  void AddEntry(const std::string& text, std::optional<int> tag = std::nullopt,
                const std::string& hint = {}) override;
  int Count() const override;
  std::string EntryText(int index) const override;
  std::optional<int> EntryTag(int index) const override;
  std::string EntryHint(int index) const override;
  int CurrentIndex() const override;
  void SetCurrentIndex(int index) override;
  void SetEnabled(bool on) override;
  bool Enabled() const override;
  void SetOnChange(std::function<void()> handler) override;

private:
  QComboBox& box_;
  std::function<void()> onChange_;
};

} // namespace vk::gui
