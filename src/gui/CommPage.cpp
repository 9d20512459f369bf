// The Communication page: the terminal's history and the line typed below it.

#include "gui/Pages.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>

#include <algorithm>

namespace vk::gui {

TCommPlane::TCommPlane(QWidget* parent) : QPlainTextEdit(parent) {
  // Only the line below it is typed into: a click here can never make Enter send history.
  setReadOnly(true);
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  // As a terminal wraps: at the edge, so that a long record never looks cut after its ":".
  setWordWrapMode(QTextOption::WrapAnywhere);
  // A unit left talking for hours must not fill the memory: the oldest lines go.
  setMaximumBlockCount(kMaxLines);
}

bool TCommPlane::canInsertFromMimeData(const QMimeData* source) const {
  // Files dropped here are for the window to load, not text for the terminal.
  if (source->hasUrls()) return false;
  return QPlainTextEdit::canInsertFromMimeData(source);
}

void TCommPlane::insertFromMimeData(const QMimeData* source) {
  if (source->hasUrls()) return;
  QPlainTextEdit::insertFromMimeData(source);
}

TCommPage::TCommPage(QWidget* parent)
    : QWidget(parent), CommPlane(new TCommPlane(this)), terminal_(*CommPlane, true) {
  CommPlane->move(kPlaneLeft, kPlaneTop);
  CommInput = new QLineEdit(this);
  CommInput->setPlaceholderText(QString::fromLatin1(kInputHint));
  SetHint(CommInput, QString::fromLatin1(kInputHint));
  CommInput->setAcceptDrops(false); // a dropped file is for the window to load
  CommInput->installEventFilter(this);
  connect(CommInput, &QLineEdit::returnPressed, this, [this] { Send(); });
  PausedLabel = new QLabel(QString::fromLatin1(kPausedText), this);
  PausedLabel->setTextFormat(Qt::PlainText);
  PausedLabel->hide();
}

void TCommPage::Send() {
  const QString line = CommInput->text();
  if (!line.isEmpty() && (typed_.isEmpty() || typed_.back() != line)) typed_ << line;
  recalled_ = typed_.size();
  CommInput->clear();
  if (onEnter) onEnter(line);
}

bool TCommPage::eventFilter(QObject* watched, QEvent* event) {
  if (watched == CommInput && event->type() == QEvent::KeyPress && !typed_.isEmpty()) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      recalled_ = std::clamp<qsizetype>(recalled_ + (key == Qt::Key_Up ? -1 : 1), 0, typed_.size());
      CommInput->setText(recalled_ < typed_.size() ? typed_[recalled_] : QString());
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TCommPage::SetInputPaused(bool paused) {
  CommInput->setEnabled(!paused);
  PausedLabel->setVisible(paused);
  resizeEvent(nullptr);
}

void TCommPage::resizeEvent(QResizeEvent* event) {
  if (event) QWidget::resizeEvent(event);
  const int label = PausedLabel->isVisibleTo(this) ? PausedLabel->sizeHint().height() + 2 : 0;
  const int input = CommInput->sizeHint().height();
  const int inner = std::max(0, width() - 4);
  CommPlane->resize(inner, std::max(0, height() - kPlaneTop - 8 - input - 3 - label));
  CommInput->setGeometry(kPlaneLeft, CommPlane->geometry().bottom() + 4, inner, input);
  PausedLabel->setGeometry(kPlaneLeft, CommInput->geometry().bottom() + 3, inner,
                           PausedLabel->sizeHint().height());
}

void TCommPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  CommInput->setFocus(); // typing goes to the command line
}

} // namespace vk::gui
