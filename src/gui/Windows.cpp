#include "gui/Windows.h"

#include "app/BufferView.h"
#include "gui/QtViews.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QScrollBar>
#include <QShowEvent>
#include <QTextBlock>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>

namespace vk::gui {

void CentreOn(QWidget* window, const QWidget* over) {
  QRect area;
  if (over != nullptr && over->isVisible())
    area = over->frameGeometry();
  else if (const QScreen* screen = QGuiApplication::primaryScreen())
    area = screen->availableGeometry();
  else
    return;
  QRect frame = window->frameGeometry();
  frame.moveCenter(area.center());
  window->move(frame.topLeft());
}

// ---- Show Buffer ----

namespace {
bool Monospaced(const QFont& font) {
  const QFontMetrics fm(font);
  return fm.horizontalAdvance(QLatin1Char('i')) == fm.horizontalAdvance(QLatin1Char('W')) &&
         fm.horizontalAdvance(QLatin1Char('.')) == fm.horizontalAdvance(QLatin1Char('0'));
}
} // namespace

TShowBufferForm::TShowBufferForm(QWidget* parent) : QWidget(parent, Qt::Window) {
  setWindowTitle(QStringLiteral("Show Buffer"));
  setAttribute(Qt::WA_QuitOnClose, false); // the program ends with the main window
  resize(kWidth, kHeight);
  ViewData.fill(0xFF);
  Memo = new QPlainTextEdit(this);
  Memo->setReadOnly(true);
  Memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo->setFont(ListingFont());
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Memo);
}

QFont TShowBufferForm::ListingFont() {
  QFont font;
  if (QFontDatabase::hasFamily(QStringLiteral("Lucida Console")))
    font = QFont(QStringLiteral("Lucida Console"));
  else
    font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setStyleHint(QFont::Monospace);
  font.setFixedPitch(true);
  font.setPixelSize(11);
  // The columns of the listing need equal widths; should the system's choice not give them,
  // take an installed family that says it is fixed-pitch.
  if (!Monospaced(font)) {
    for (const QString& family : QFontDatabase::families()) {
      if (!QFontDatabase::isFixedPitch(family)) continue;
      QFont candidate(family);
      candidate.setPixelSize(11);
      if (Monospaced(candidate)) return candidate;
    }
  }
  return font;
}

void TShowBufferForm::ShowData(const std::uint8_t* image, std::uint32_t start) {
  if (!isVisible()) StartAt = start;
  std::memcpy(ViewData.data(), image, ViewData.size());
  show(); // an open window is not shown again: its listing stays as it was
  raise();
  activateWindow();
  Memo->setFocus();
}

void TShowBufferForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TShowBufferForm::FormShow() {
  std::string listing = app::Listing(ViewData.data());
  if (!listing.empty() && listing.back() == '\n') listing.pop_back();
  Memo->setPlainText(QString::fromLatin1(listing.data(), static_cast<qsizetype>(listing.size())));
  // Opened at the first loaded line rather than at 0000, which is often empty.
  const QTextBlock line = Memo->document()->findBlockByNumber(static_cast<int>(StartAt / 16));
  QTextCursor cursor(line.isValid() ? line : Memo->document()->begin());
  Memo->setTextCursor(cursor);
  Memo->verticalScrollBar()->setValue(line.isValid() ? line.blockNumber() : 0);
}

void TShowBufferForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    close();
    return;
  }
  QWidget::keyPressEvent(event);
}

// ---- Device Finder ----

TDevFinderForm::TDevFinderForm(QWidget* mainWindow)
    : QWidget(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                              Qt::WindowStaysOnTopHint),
      mainWindow_(mainWindow) {
  setWindowTitle(QStringLiteral("Device Finder"));
  setAttribute(Qt::WA_QuitOnClose, false);
  lbTrying = new QLabel(QStringLiteral("Trying"), this);
  lbRate = new QLabel(this);
  lbCommand = new QLabel(this);
  for (QLabel* l : {lbTrying, lbRate, lbCommand}) l->setTextFormat(Qt::PlainText);
  btCancel = new QPushButton(QStringLiteral("Cancel"), this);
  connect(btCancel, &QPushButton::clicked, this, [this] { close(); });
  PlaceLabels();
  setFixedSize(kWidth, kHeight);
}

void TDevFinderForm::PlaceLabels() {
  // At (16, 16), (56, 16) and (96, 16), moved right only as far as the font needs so that
  // "115200" and "OP255" never run into each other.
  const QFontMetrics fm(font());
  const int gap = 6;
  const int x1 = 16;
  const int w1 = fm.horizontalAdvance(lbTrying->text());
  const int x2 = std::max(56, x1 + w1 + gap);
  const int w2 = fm.horizontalAdvance(QStringLiteral("115200"));
  const int x3 = std::max(96, x2 + w2 + gap);
  const int w3 = std::max(fm.horizontalAdvance(QStringLiteral("OP255")), kWidth - x3 - 4);
  const int h = fm.height() + 2;
  lbTrying->setGeometry(x1, 16, w1 + 2, h);
  lbRate->setGeometry(x2, 16, w2 + 2, h);
  lbCommand->setGeometry(x3, 16, w3, h);
  const QSize button(std::max(75, btCancel->sizeHint().width()),
                     std::min(26, btCancel->sizeHint().height()));
  btCancel->setGeometry((kWidth - button.width()) / 2, kHeight - button.height() - 10,
                        button.width(), button.height());
}

void TDevFinderForm::Show() {
  if (!isVisible()) CentreOn(this, mainWindow_);
  show();
  raise();
  // Esc and Enter reach Cancel while the search runs.
  activateWindow();
  btCancel->setFocus();
}

void TDevFinderForm::Hide() { hide(); }
bool TDevFinderForm::Visible() const { return isVisible(); }
void TDevFinderForm::SetRateText(const std::string& text) { lbRate->setText(FromUtf8(text)); }
void TDevFinderForm::SetCommandText(const std::string& text) { lbCommand->setText(FromUtf8(text)); }

void TDevFinderForm::closeEvent(QCloseEvent* event) {
  // Only the user closes this window; the search hides it.
  event->accept();
  if (onClosed) onClosed();
}

void TDevFinderForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    close();
    return;
  }
  QWidget::keyPressEvent(event);
}

// ---- Device Search Settings ----

TSearchSettingForm::TSearchSettingForm(QWidget* mainWindow)
    : QDialog(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowStaysOnTopHint),
      mainWindow_(mainWindow) {
  setWindowTitle(QStringLiteral("Device Search Settings"));
  setAttribute(Qt::WA_QuitOnClose, false);
  setModal(false);
  lbEndAddr = new QLabel(QStringLiteral("Search End Address"), this);
  lbEndAddr->setTextFormat(Qt::PlainText);
  edEndAddr = new QLineEdit(QStringLiteral("16"), this);
  // Only what the search can take, an address 0..255: anything else never gets typed in.
  edEndAddr->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9]")),
      edEndAddr));
  btClose = new QPushButton(QStringLiteral("Close"), this);
  btClose->setAutoDefault(false);

  // The places of the form, widened only when the font needs more room for the caption.
  const int labelWidth = lbEndAddr->sizeHint().width();
  // The title in full, beside the frame's own buttons.
  const int titleWidth = fontMetrics().horizontalAdvance(windowTitle()) + kTitleBarButtons;
  const int width = std::max({kWidth, 16 + labelWidth + 16, titleWidth});
  const int editHeight = edEndAddr->sizeHint().height();
  lbEndAddr->setGeometry(16, 16 - 4, labelWidth, lbEndAddr->sizeHint().height());
  edEndAddr->setGeometry(16, 32, width - 36, editHeight);
  const int closeTop = std::max(64, 32 + editHeight + 6);
  btClose->setGeometry((width - 75) / 2 - 1, closeTop, 75, 25);
  setFixedSize(width, std::max(kHeight, closeTop + 25 + 14));

  connect(edEndAddr, &QLineEdit::textChanged, this, [this](const QString& text) {
    if (onChange) onChange(text.toStdString());
  });
  connect(btClose, &QPushButton::clicked, this, [this] { hide(); });
}

void TSearchSettingForm::ShowSettings() {
  if (!isVisible()) CentreOn(this, mainWindow_);
  show();
  raise();
  activateWindow();
}

} // namespace vk::gui
