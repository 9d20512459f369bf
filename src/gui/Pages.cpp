#include "gui/Pages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QTimer>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include <algorithm>

namespace vk::gui {

namespace {

// The buttons placed by hand share one size: wide enough for the widest caption, and no
// taller than the 30 pixels between the Programmer page's rows allow with a gap.
constexpr int kButtonMaxHeight = 26;

QSize ButtonSize(std::initializer_list<QPushButton*> buttons) {
  int width = 75, height = 0;
  for (QPushButton* b : buttons) {
    width = std::max(width, b->sizeHint().width());
    height = std::max(height, b->sizeHint().height());
  }
  return {width, std::min(height, kButtonMaxHeight)};
}

QLabel* MakeLabel(const QString& caption, QWidget* parent) {
  auto* label = new QLabel(caption, parent);
  label->setTextFormat(Qt::PlainText);
  return label;
}

QComboBox* MakeList(QWidget* parent, const QString& hint) {
  auto* box = new QComboBox(parent); // a list to choose from; no typed text
  box->setEditable(false);
  SetHint(box, hint);
  return box;
}

// The address box takes a typed number: "7" is address 7 at once (a list that only searches
// its entries would pick 70 on the way to 7... or stop there). What cannot be an address 0..255
// is not taken; leaving the box shows the address it holds.
void MakeTypedAddress(QComboBox& box) {
  box.setEditable(true);
  box.setInsertPolicy(QComboBox::NoInsert);
  box.setCompleter(nullptr);
  QLineEdit* edit = box.lineEdit();
  edit->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9]")), edit));
  QObject::connect(edit, &QLineEdit::textEdited, &box, [&box](const QString& text) {
    bool ok = false;
    const int address = text.toInt(&ok);
    if (ok && address >= 0 && address < box.count() && address != box.currentIndex()) {
      const int cursor = box.lineEdit()->cursorPosition();
      box.setCurrentIndex(address);
      box.lineEdit()->setCursorPosition(cursor);
    }
  });
  QObject::connect(edit, &QLineEdit::editingFinished, &box,
                   [&box] { box.lineEdit()->setText(box.itemText(box.currentIndex())); });
}

} // namespace

void SetHint(QWidget* control, const QString& hint) {
  control->setToolTip(hint);
  control->setStatusTip(hint);
}

QPlainTextEdit* MakePageMemo(QWidget* parent) {
  auto* memo = new QPlainTextEdit(parent);
  memo->setReadOnly(true);
  memo->setFrameShape(QFrame::NoFrame);
  // The page shows through: the memo takes whatever colour the style gives the page.
  QPalette palette = memo->palette();
  palette.setColor(QPalette::Base, Qt::transparent);
  memo->setPalette(palette);
  memo->viewport()->setAutoFillBackground(false);
  memo->setAutoFillBackground(false);
  memo->document()->setDocumentMargin(0); // text in line with the labels above it
  // Long lines wrap (at a word where they can): a horizontal scroll bar appearing under the last
  // line would cover it half.
  memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  return memo;
}

// ---- Target ----

TTargetTree::TTargetTree(QWidget* parent) : QTreeWidget(parent) {
  setHeaderHidden(true);
  setColumnCount(1);
  setRootIsDecorated(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  connect(this, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem*, int) {
    if (onSelect) onSelect();
  });
}

void TTargetTree::keyPressEvent(QKeyEvent* event) {
  const bool choose = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
                      event->key() == Qt::Key_Space;
  QTreeWidget::keyPressEvent(event);
  if (choose && currentItem() != nullptr) {
    currentItem()->setSelected(true);
    if (onSelect) onSelect();
  }
}

TTargetPage::TTargetPage(QWidget* parent) : QWidget(parent) {
  lbCOM = MakeLabel(QStringLiteral("Com Port"), this);
  cbxCOM = MakeList(this, QStringLiteral("Select COM port"));
  lbSpeed = MakeLabel(QStringLiteral("Comm Speed"), this);
  cbxSpeed = MakeList(this, QStringLiteral("Set COM/CAN bits/sec. rate"));
  lbAddr = MakeLabel(QStringLiteral("Address"), this);
  cbxAddr = MakeList(this, QStringLiteral("Type or choose the module's address (0-255)"));
  MakeTypedAddress(*cbxAddr);
  lbTarget = MakeLabel(QStringLiteral("Target"), this);
  TargetTreeView = new TTargetTree(this);
  SetHint(TargetTreeView, QStringLiteral("Select the target device"));
  btFindDev = new QPushButton(QStringLiteral("Find Device"), this);
  SetHint(btFindDev, QStringLiteral("Search for device settings"));
  lbPCAN = MakeLabel(QStringLiteral("PCAN Settings"), this);
  cbxCANAddr = MakeList(this, QString());
  cbxCANSpeed = MakeList(this, QString());
  cbxCANSpeed->setMaxVisibleItems(10);
  cbxCANAddr->setEnabled(false);
  cbxCANSpeed->setEnabled(false);
  lbCANdata = MakeLabel(QStringLiteral("CAN data"), this);
  lbCANdata->setWordWrap(true);
  lbCANdata->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  // Three columns: the serial link, the target tree, the CAN link.
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(8, 8, 8, 8);
  grid->setHorizontalSpacing(12);
  grid->setVerticalSpacing(2);

  auto* serial = new QVBoxLayout;
  serial->setSpacing(2);
  serial->addWidget(lbCOM);
  serial->addWidget(cbxCOM);
  serial->addSpacing(8);
  serial->addWidget(lbSpeed);
  serial->addWidget(cbxSpeed);
  serial->addSpacing(8);
  serial->addWidget(lbAddr);
  serial->addWidget(cbxAddr);
  serial->addSpacing(16);
  serial->addWidget(btFindDev);
  serial->addStretch(1);

  auto* target = new QVBoxLayout;
  target->setSpacing(2);
  target->addWidget(lbTarget);
  target->addWidget(TargetTreeView, 1);

  auto* can = new QVBoxLayout;
  can->setSpacing(2);
  can->addWidget(lbPCAN);
  can->addWidget(cbxCANAddr);
  can->addSpacing(4);
  can->addWidget(cbxCANSpeed);
  can->addSpacing(8);
  can->addWidget(lbCANdata);
  can->addStretch(1);

  grid->addLayout(serial, 0, 0);
  grid->addLayout(target, 0, 1);
  grid->addLayout(can, 0, 2);
  grid->setColumnStretch(1, 1);
  const int side =
      std::max(120, fontMetrics().horizontalAdvance(QStringLiteral("CAN_ADDR_126")) + 48);
  grid->setColumnMinimumWidth(0, side);
  grid->setColumnMinimumWidth(2, side);

  ports_ = std::make_unique<QtSelector>(*cbxCOM);
  speed_ = std::make_unique<QtComboView>(*cbxSpeed);
  address_ = std::make_unique<QtComboView>(*cbxAddr);
  tree_ = std::make_unique<QtTreeView>(*TargetTreeView);
  canAddress_ = std::make_unique<QtSelector>(*cbxCANAddr);
  canSpeed_ = std::make_unique<QtSelector>(*cbxCANSpeed);
}

void TTargetPage::KeepTreeWidth() {
  int widest = 0;
  for (QTreeWidgetItemIterator it(TargetTreeView); *it; ++it) {
    int depth = 0;
    for (const QTreeWidgetItem* p = (*it)->parent(); p != nullptr; p = p->parent()) ++depth;
    widest = std::max(widest, (depth + 1) * TargetTreeView->indentation() +
                                  TargetTreeView->fontMetrics().horizontalAdvance((*it)->text(0)));
  }
  // Its frame and a vertical scroll bar beside the names.
  TargetTreeView->setMinimumWidth(widest + 2 * TargetTreeView->frameWidth() +
                                  TargetTreeView->style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
                                  8);
}

void TTargetPage::HighlightAddress() {
  QLineEdit* edit = cbxAddr->lineEdit();
  QPalette marked = edit->palette();
  marked.setColor(QPalette::Base, QColor(255, 229, 138));
  edit->setPalette(marked);
  QTimer::singleShot(kHighlightMs, edit, [edit] { edit->setPalette(QPalette()); });
}

app::TargetPageViews TTargetPage::Views() {
  app::TargetPageViews v;
  v.ports = ports_.get();
  v.speed = speed_.get();
  v.address = address_.get();
  v.tree = tree_.get();
  v.canAddress = canAddress_.get();
  v.canSpeed = canSpeed_.get();
  v.setCanData = [this](const std::string& text) { lbCANdata->setText(FromUtf8(text)); };
  return v;
}

// ---- Programmer ----

TProgrammerPage::TProgrammerPage(QWidget* parent) : QWidget(parent) {
  // Created in this order: the check box, the four buttons, the two boxes, the progress bar,
  // the two memos.
  UntypedBox = new QCheckBox(QStringLiteral("Allow untyped programming"), this);
  UntypedBox->setChecked(false);
  UntypedBox->setEnabled(false);
  UntypedBox->hide();
  StartAfterBox = new QCheckBox(QStringLiteral("Start after programming"), this);
  SetHint(StartAfterBox, QStringLiteral("Start the program once it is written and verified"));
  StartAfterBox->hide();

  static const char* const kCaptions[4] = {"Detect", "Erase", "Program", "MultiProgram"};
  static const char* const kHints[4] = {"Detect Kestron module", "Erase module", "Program module",
                                        "Program multiple QRD14 modules"};
  for (int tag = 0; tag < 4; ++tag) {
    auto* button = new QPushButton(QString::fromLatin1(kCaptions[tag]), this);
    SetHint(button, QString::fromLatin1(kHints[tag]));
    button->setProperty("Tag", tag);
    connect(button, &QPushButton::clicked, this, [this, tag] {
      if (onAction) onAction(tag);
    });
    Buttons[static_cast<std::size_t>(tag)] = button;
  }
  Buttons[3]->setEnabled(false);

  FirstBox = MakeList(this, QStringLiteral("First QRD14 module to program"));
  LastBox = MakeList(this, QStringLiteral("Last QRD14 module to program"));
  FirstLabel = MakeLabel(QStringLiteral("First"), this);
  LastLabel = MakeLabel(QStringLiteral("Last"), this);
  FirstLabel->setBuddy(FirstBox);
  LastLabel->setBuddy(LastBox);

  Progress = new QProgressBar(this);
  Progress->setTextVisible(false); // a plain, smooth bar
  Progress->setRange(0, 100);
  Progress->setValue(0);

  InfoMemo = MakePageMemo(this);
  LogMemo = MakePageMemo(this);
  // The log stands apart from the summary beside it: framed, with its title above.
  LogMemo->setFrameShape(QFrame::StyledPanel);
  LogMemo->document()->setDocumentMargin(2);
  LogTitle = MakeLabel(QStringLiteral("Log"), this);
  LogTitle->setBuddy(LogMemo);
  PlaceControls();

  for (std::size_t i = 0; i < buttons_.size(); ++i)
    buttons_[i] = std::make_unique<QtButtonView>(*Buttons[i]);
  untyped_ = std::make_unique<QtCheckView>(*UntypedBox);
  startAfter_ = std::make_unique<QtCheckView>(*StartAfterBox);
  firstBox_ = std::make_unique<QtComboView>(*FirstBox);
  lastBox_ = std::make_unique<QtComboView>(*LastBox);
  info_ = std::make_unique<QtTextView>(*InfoMemo);
  log_ = std::make_unique<QtTextView>(*LogMemo, false, true);
  progress_ = std::make_unique<QtProgressView>(*Progress);
}

programmer::ProgrammerPageViews TProgrammerPage::Views() {
  programmer::ProgrammerPageViews v;
  for (std::size_t i = 0; i < buttons_.size(); ++i) v.buttons[i] = buttons_[i].get();
  v.untyped = untyped_.get();
  v.startAfter = startAfter_.get();
  v.firstBox = firstBox_.get();
  v.lastBox = lastBox_.get();
  v.info = info_.get();
  v.log = log_.get();
  v.progress = progress_.get();
  return v;
}

void TProgrammerPage::PlaceControls() {
  // The controls are placed from H as at the window's normal size; a taller page leaves them
  // where they were (the memos take the room), a shorter one keeps them below the top edge.
  const int pageHeight = height();
  // The window's menu, tabs and status line take the same height at any size.
  const int normal =
      NormalWindowHeight > 0 ? NormalWindowHeight - (window()->height() - pageHeight) : pageHeight;
  const int H = std::clamp(pageHeight, kShortestBase, std::max(kShortestBase, normal));
  const int W = width();
  UntypedBox->setGeometry(8, H - 322, std::max(153, UntypedBox->sizeHint().width()),
                          UntypedBox->sizeHint().height());
  // Beside the untyped box, on its row.
  StartAfterBox->setGeometry(UntypedBox->geometry().right() + 12, H - 322,
                             StartAfterBox->sizeHint().width(), StartAfterBox->sizeHint().height());

  const QSize button = ButtonSize({Buttons[0], Buttons[1], Buttons[2], Buttons[3]});
  static constexpr int kButtonTops[4] = {301, 271, 241, 211};
  for (int i = 0; i < 4; ++i)
    Buttons[static_cast<std::size_t>(i)]->setGeometry(8, H - kButtonTops[i], button.width(),
                                                      button.height());

  // "First" and "Last" before their boxes, together as wide as MultiProgram.
  const QRect multi = Buttons[3]->geometry();
  const int boxHeight = FirstBox->sizeHint().height();
  const int label = std::max(FirstLabel->sizeHint().width(), LastLabel->sizeHint().width());
  const int boxLeft = multi.x() + label + 4;
  const int boxWidth = std::max(0, multi.x() + multi.width() + 1 - boxLeft);
  const int firstTop = multi.y() + multi.height() + 4;
  FirstLabel->setGeometry(multi.x(), firstTop, label, boxHeight);
  FirstBox->setGeometry(boxLeft, firstTop, boxWidth, boxHeight);
  const int lastTop = firstTop + boxHeight + 4;
  LastLabel->setGeometry(multi.x(), lastTop, label, boxHeight);
  LastBox->setGeometry(boxLeft, lastTop, boxWidth, boxHeight);

  const int progressHeight = Progress->sizeHint().height();
  Progress->setGeometry(8, pageHeight - progressHeight - 8, std::max(0, W - 16), progressHeight);

  const QRect detect = Buttons[0]->geometry();
  const int infoLeft = detect.x() + detect.width() + 16;
  const int infoWidth = std::max(0, (W - infoLeft - 4) / 2);
  const int top = detect.y();
  const int memoHeight = std::max(0, pageHeight - top - progressHeight - 16);
  InfoMemo->setGeometry(infoLeft, top, infoWidth, memoHeight);
  const int logLeft = infoLeft + infoWidth + 2;
  // The title on Detect's row, the log below it: the row above is the check boxes', and "Start
  // after programming" reaches across the log's column.
  const int titleHeight = LogTitle->sizeHint().height();
  LogTitle->setGeometry(logLeft, top, LogTitle->sizeHint().width(), titleHeight);
  const int logTop = top + titleHeight + 1;
  LogMemo->setGeometry(logLeft, logTop, std::max(0, W - logLeft - 4),
                       std::max(0, memoHeight - (logTop - top)));
}

QSize TProgrammerPage::minimumSizeHint() const {
  // Every control at the shortest base, the progress bar below the last box, and the two
  // memos wide enough to read a line.
  const QSize button = ButtonSize({Buttons[0], Buttons[1], Buttons[2], Buttons[3]});
  const int box = FirstBox->sizeHint().height();
  const int lastBottom = kShortestBase - 211 + button.height() + 4 + box + 4 + box;
  // The check boxes' row whole, "Start after programming" included.
  const int checkRow = 8 + std::max(153, UntypedBox->sizeHint().width()) + 12 +
                       StartAfterBox->sizeHint().width() + 4;
  return {std::max(8 + button.width() + 16 + 2 * 120, checkRow),
          lastBottom + 8 + Progress->sizeHint().height() + 8};
}

void TProgrammerPage::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  PlaceControls();
}

void TProgrammerPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous() && onShow) onShow();
}

// ---- Buffer ----

TBufferPage::TBufferPage(QWidget* parent) : QWidget(parent) {
  lbSrcFile = MakeLabel(QString(), this);
  lbRange = MakeLabel(QString(), this);
  mnBufferInfo = MakePageMemo(this);
  btBufferClear = new QPushButton(QStringLiteral("Clear"), this);
  btBufferShow = new QPushButton(QStringLiteral("Show"), this);
  info_ = std::make_unique<QtTextView>(*mnBufferInfo);
}

void TBufferPage::Show(const app::BufferPageText& page) {
  lbSrcFile->setText(FromUtf8(page.source));
  lbRange->setText(FromUtf8(page.range));
  info_->Clear();
  for (const auto& line : page.info) info_->AddLine(line);
}

QSize TBufferPage::minimumSizeHint() const {
  // The two labels, a few lines of the memo, and the buttons below it.
  const QSize button = ButtonSize({btBufferClear, btBufferShow});
  const int line = lbSrcFile->sizeHint().height();
  return {3 * kMargin + 2 * button.width(),
          kMargin + 2 * line + 12 + 3 * line + 16 + button.height() + kMargin};
}

void TBufferPage::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int W = width();
  const int H = height();
  const int line = lbSrcFile->sizeHint().height();
  lbSrcFile->setGeometry(kMargin, kMargin, std::max(0, W - 2 * kMargin), line);
  lbRange->setGeometry(kMargin, kMargin + line + 4, std::max(0, W - 2 * kMargin), line);

  const QSize button = ButtonSize({btBufferClear, btBufferShow});
  const int buttonTop = H - kMargin - button.height();
  btBufferClear->setGeometry(kMargin, buttonTop, button.width(), button.height());
  btBufferShow->setGeometry(kMargin + button.width() + kMargin, buttonTop, button.width(),
                            button.height());

  const int memoTop = lbRange->y() + line + 8;
  mnBufferInfo->setGeometry(kMargin, memoTop, std::max(0, W - kMargin - 16),
                            std::max(0, buttonTop - memoTop - 16));
}

} // namespace vk::gui
