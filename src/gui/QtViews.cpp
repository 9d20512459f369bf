#include "gui/QtViews.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QStringDecoder>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTime>
#include <QTreeWidget>

#include <algorithm>

namespace vk::gui {

QString FromUtf8(const std::string& s) {
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = decoder(QByteArrayView(s.data(), static_cast<qsizetype>(s.size())));
  return decoder.hasError() ? FromBytes(s) : text;
}

std::string ToBytes(const QString& s) {
  // Characters beyond Latin-1 have no byte of their own; they go as '?' rather than vanish.
  std::string out;
  out.reserve(static_cast<std::size_t>(s.size()));
  for (const QChar c : s) out += c.unicode() <= 0xFF ? static_cast<char>(c.unicode()) : '?';
  return out;
}

// ---- status line ----

namespace {
// Keeps the panels fitted to the bar whenever the bar changes size.
class PanelFitter : public QObject {
public:
  PanelFitter(QStatusBar& bar, std::function<void()> fit) : QObject(&bar), fit_(std::move(fit)) {
    bar.installEventFilter(this);
  }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Resize) fit_();
    return false;
  }

private:
  std::function<void()> fit_;
};
} // namespace

QtStatusView::QtStatusView(QStatusBar& bar) : bar_(bar) {
  // The panels are placed by hand rather than by the bar's layout: their widths follow the
  // bar, so they must never hold the window at its present width.
  int height = 0;
  for (auto& panel : panels_) {
    panel = new StatusPanel(&bar);
    height = std::max(height, panel->sizeHint().height());
  }
  bar.setMinimumHeight(height + 4);
  new PanelFitter(bar, [this] { FitPanels(); });
  FitPanels();
}

std::array<int, QtStatusView::kPanels> QtStatusView::PanelWidths(int barWidth) {
  const int w = barWidth / 16;
  // The operation's text is the longest ("Found: COM1 at 115200 bit/s, address 2, ..."); the
  // target's name and the notices are short.
  return {6 * w, 3 * w, 3 * w, 4 * w};
}

void QtStatusView::FitPanels() {
  const auto widths = PanelWidths(bar_.width());
  const int top = 2;
  const int height = std::max(0, bar_.height() - 2 * top);
  int left = 0;
  for (int i = 0; i < kPanels; ++i) {
    const int width = widths[static_cast<std::size_t>(i)];
    panels_[static_cast<std::size_t>(i)]->setGeometry(left, top, width, height);
    left += width;
  }
}

void QtStatusView::SetPanelText(int panel, const std::string& text) {
  if (panel < 0 || panel >= kPanels) return;
  panels_[static_cast<std::size_t>(panel)]->SetText(FromUtf8(text));
}

std::string QtStatusView::PanelText(int panel) const {
  if (panel < 0 || panel >= kPanels) return {};
  return panels_[static_cast<std::size_t>(panel)]->Text().toStdString();
}

// ---- one panel ----

StatusPanel::StatusPanel(QWidget* parent) : QFrame(parent) {
  setFrameShape(QFrame::Panel);
  setFrameShadow(QFrame::Sunken);
}

void StatusPanel::SetText(const QString& text) {
  text_ = text;
  UpdateToolTip();
  update();
}

QSize StatusPanel::sizeHint() const {
  const int frame = 2 * frameWidth();
  return {fontMetrics().horizontalAdvance(text_) + 2 * kPadding + frame,
          fontMetrics().height() + 2 + frame};
}

void StatusPanel::UpdateToolTip() {
  // A text cut short can still be read in full from its tooltip.
  const bool cut = fontMetrics().horizontalAdvance(text_) > contentsRect().width() - 2 * kPadding;
  setToolTip(cut ? text_ : QString());
}

void StatusPanel::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  UpdateToolTip();
}

void StatusPanel::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  QPainter painter(this);
  const QRect area = contentsRect().adjusted(kPadding, 0, -kPadding, 0);
  painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                   fontMetrics().elidedText(text_, Qt::ElideRight, area.width()));
}

// ---- memos ----

void QtTextView::Clear() {
  edit_.clear();
  hasLine_ = false;
}

void QtTextView::AddLine(const std::string& line) {
  QScrollBar* bar = edit_.verticalScrollBar();
  const bool atEnd = bar->value() >= bar->maximum();
  QTextCursor cursor(edit_.document());
  cursor.movePosition(QTextCursor::End);
  // A new block unless this is the first line of an empty memo (the terminal's lines are never
  // empty, and the user may clear it).
  if ((hasLine_ && !bytes_) || !edit_.document()->isEmpty()) cursor.insertBlock();
  if (bytes_) {
    // The terminal: bytes as they came, one character each.
    cursor.insertText(FromBytes(line));
    hasLine_ = true;
    if (atEnd) bar->setValue(bar->maximum());
    return;
  }
  // A text of several lines (a container's message) is shown as its lines.
  QString text = FromUtf8(line);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  if (stamped_) text.prepend(QTime::currentTime().toString(QStringLiteral("HH:mm:ss ")));
  cursor.insertText(text);
  hasLine_ = true;
  if (atEnd) bar->setValue(bar->maximum());
}

std::vector<std::string> QtTextView::Lines() const {
  std::vector<std::string> lines;
  const QTextDocument* doc = edit_.document();
  if (doc->isEmpty() && !hasLine_) return lines;
  for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
    lines.push_back(bytes_ ? ToBytes(b.text()) : b.text().toStdString());
  return lines;
}

// ---- drop-down lists ----

int QtComboView::ItemIndex() const { return box_.currentIndex(); }

void QtComboView::SetItemIndex(int index) {
  box_.setCurrentIndex(index >= 0 && index < box_.count() ? index : -1);
}

int QtComboView::Count() const { return box_.count(); }

std::string QtComboView::ItemText(int index) const {
  return index >= 0 && index < box_.count() ? box_.itemText(index).toStdString() : std::string();
}

void QtComboView::SetItems(const std::vector<std::string>& items) {
  box_.clear();
  QStringList list;
  list.reserve(static_cast<qsizetype>(items.size()));
  for (const auto& item : items) list << FromUtf8(item);
  box_.addItems(list);
  box_.setCurrentIndex(-1); // as after filling a list: nothing selected until chosen
}

// ---- buttons, check box, progress bar ----

void QtButtonView::SetEnabled(bool on) { button_.setEnabled(on); }
bool QtButtonView::Enabled() const { return button_.isEnabled(); }
void QtButtonView::SetCaption(const std::string& caption) { button_.setText(FromUtf8(caption)); }
std::string QtButtonView::Caption() const { return button_.text().toStdString(); }
void QtButtonView::SetHint(const std::string& hint) {
  button_.setToolTip(FromUtf8(hint));
  button_.setStatusTip(FromUtf8(hint));
}

bool QtCheckView::Checked() const { return box_.isChecked(); }
void QtCheckView::SetChecked(bool on) { box_.setChecked(on); }
void QtCheckView::SetEnabled(bool on) { box_.setEnabled(on); }
bool QtCheckView::Enabled() const { return box_.isEnabled(); }
void QtCheckView::SetVisible(bool on) { box_.setVisible(on); }
bool QtCheckView::Visible() const { return !box_.isHidden(); }

void QtProgressView::SetRange(int min, int max) { bar_.setRange(min, std::max(min, max)); }
int QtProgressView::Min() const { return bar_.minimum(); }
int QtProgressView::Max() const { return bar_.maximum(); }
int QtProgressView::Position() const { return std::max(bar_.value(), bar_.minimum()); }
void QtProgressView::SetPosition(int position) {
  bar_.setValue(std::clamp(position, bar_.minimum(), bar_.maximum()));
}

// ---- target tree ----

void QtTreeView::Clear() {
  tree_.clear();
  items_.clear();
}

programmer::ITreeView::NodeId QtTreeView::AddNode(NodeId parent, const std::string& text,
                                                  int entryIndex) {
  QTreeWidgetItem* item = nullptr;
  if (QTreeWidgetItem* p = Item(parent))
    item = new QTreeWidgetItem(p);
  else
    item = new QTreeWidgetItem(&tree_);
  item->setText(0, FromUtf8(text));
  item->setData(0, Qt::UserRole, entryIndex);
  items_.push_back(item);
  return static_cast<NodeId>(items_.size() - 1);
}

QTreeWidgetItem* QtTreeView::Item(NodeId node) const {
  return node >= 0 && node < static_cast<NodeId>(items_.size())
             ? items_[static_cast<std::size_t>(node)]
             : nullptr;
}

int QtTreeView::SelectedEntry() const {
  const QTreeWidgetItem* item = tree_.currentItem();
  if (item == nullptr || !item->isSelected()) return -1;
  return item->data(0, Qt::UserRole).toInt();
}

void QtTreeView::MakeVisible(NodeId node) {
  QTreeWidgetItem* item = Item(node);
  if (item == nullptr) return;
  for (QTreeWidgetItem* p = item->parent(); p != nullptr; p = p->parent()) p->setExpanded(true);
  tree_.setCurrentItem(item);
  item->setSelected(true);
  tree_.scrollToItem(item);
}

// ---- the command gate ----

namespace {
std::function<void(std::function<void()>)>& Gate() {
  static std::function<void(std::function<void()>)> gate;
  return gate;
}
} // namespace

void SetCommandGate(std::function<void(std::function<void()>)> gate) { Gate() = std::move(gate); }

void ThroughGate(std::function<void()> command) {
  if (Gate())
    Gate()(std::move(command));
  else
    command();
}

// ---- selectors over combo boxes ----

QtSelector::QtSelector(QComboBox& box) : box_(box) {
  QObject::connect(&box_, &QComboBox::activated, &box_, [this](int) {
    ThroughGate([this] {
      if (onChange_) onChange_();
    });
  });
}

void QtSelector::Clear() { box_.clear(); }

void QtSelector::AddEntry(const std::string& text, std::optional<int> tag,
                          const std::string& hint) {
  const bool wasEmpty = box_.count() == 0;
  box_.addItem(FromUtf8(text), tag ? QVariant(*tag) : QVariant());
  const int index = box_.count() - 1;
  if (!hint.empty()) box_.setItemData(index, FromUtf8(hint), Qt::ToolTipRole);
  // Adding to an empty box selects the entry in Qt; here only SetCurrentIndex selects.
  if (wasEmpty) box_.setCurrentIndex(-1);
}

int QtSelector::Count() const { return box_.count(); }

std::string QtSelector::EntryText(int index) const {
  return index >= 0 && index < box_.count() ? box_.itemText(index).toStdString() : std::string();
}

std::optional<int> QtSelector::EntryTag(int index) const {
  if (index < 0 || index >= box_.count()) return std::nullopt;
  const QVariant v = box_.itemData(index);
  if (!v.isValid()) return std::nullopt;
  return v.toInt();
}

std::string QtSelector::EntryHint(int index) const {
  if (index < 0 || index >= box_.count()) return {};
  return box_.itemData(index, Qt::ToolTipRole).toString().toStdString();
}

int QtSelector::CurrentIndex() const { return box_.currentIndex(); }

void QtSelector::SetCurrentIndex(int index) {
  box_.setCurrentIndex(index >= 0 && index < box_.count() ? index : -1);
}

void QtSelector::SetEnabled(bool on) { box_.setEnabled(on); }
bool QtSelector::Enabled() const { return box_.isEnabled(); }
void QtSelector::SetOnChange(std::function<void()> handler) { onChange_ = std::move(handler); }

} // namespace vk::gui
