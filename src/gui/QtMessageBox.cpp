#include "gui/QtMessageBox.h"

#include <QApplication>
#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>
#include <QTimer>
#include <QWidget>

namespace vk::gui {

using platform::MsgAnswer;
using platform::MsgButtons;
using platform::MsgIcon;

bool AskQuitWhileBusy(QWidget* parent, const QString& caption, const std::function<bool()>& busy) {
  QMessageBox box(QMessageBox::Question, caption, QString::fromLatin1(kQuitWhileBusyText),
                  QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(QMessageBox::No);
  // The run goes on behind the question; an answer to a question about a run that has ended
  // would be an answer to the wrong question.
  QTimer follow;
  follow.setInterval(100);
  QObject::connect(&follow, &QTimer::timeout, &box, [&] {
    if (busy()) return;
    follow.stop();
    box.setText(QString::fromLatin1(kQuitAfterRunText));
    box.setDefaultButton(QMessageBox::Yes);
  });
  follow.start();
  return box.exec() == QMessageBox::Yes;
}

QString QtMessageBox::DisplayText(const std::string& text) {
  QString s = QString::fromStdString(text);
  s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  while (s.endsWith(QLatin1Char('\n'))) s.chop(1);
  return s;
}

int QtMessageBox::TitleWidth(const QWidget& box) {
  return box.fontMetrics().horizontalAdvance(box.windowTitle()) + kTitleBarButtons;
}

QWidget* QtMessageBox::Owner() const {
  QWidget* active = QApplication::activeWindow();
  if (active != nullptr && active->isVisible()) return active;
  if (mainWindow_ && mainWindow_->isVisible()) return mainWindow_.data();
  return nullptr;
}

MsgAnswer QtMessageBox::Show(const std::string& text, const std::string& caption,
                             MsgButtons buttons, MsgIcon icon) {
  return Ask(text, caption, buttons, icon, platform::DefaultAnswer(buttons));
}

MsgAnswer QtMessageBox::Ask(const std::string& text, const std::string& caption, MsgButtons buttons,
                            MsgIcon icon, MsgAnswer defaultButton) {
  QMessageBox box(Owner());
  box.setWindowTitle(QString::fromStdString(caption));
  box.setTextFormat(Qt::PlainText);
  box.setText(DisplayText(text));
  switch (icon) {
  case MsgIcon::None:
    box.setIcon(QMessageBox::NoIcon);
    break;
  case MsgIcon::Information:
    box.setIcon(QMessageBox::Information);
    break;
  case MsgIcon::Warning:
    box.setIcon(QMessageBox::Warning);
    break;
  case MsgIcon::Error:
    box.setIcon(QMessageBox::Critical);
    break;
  case MsgIcon::Question:
    box.setIcon(QMessageBox::Question);
    break;
  }
  QMessageBox::StandardButtons set;
  QMessageBox::StandardButton first = QMessageBox::Ok;
  switch (buttons) {
  case MsgButtons::Ok:
    set = QMessageBox::Ok;
    break;
  case MsgButtons::OkCancel:
    set = QMessageBox::Ok | QMessageBox::Cancel;
    break;
  case MsgButtons::YesNo:
    set = QMessageBox::Yes | QMessageBox::No;
    first = QMessageBox::Yes;
    break;
  case MsgButtons::YesNoCancel:
    set = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    first = QMessageBox::Yes;
    break;
  }
  box.setStandardButtons(set);
  switch (defaultButton) { // the first button unless the engine chose one the box has
  case MsgAnswer::Ok:
    first = set.testFlag(QMessageBox::Ok) ? QMessageBox::Ok : first;
    break;
  case MsgAnswer::Cancel:
    first = set.testFlag(QMessageBox::Cancel) ? QMessageBox::Cancel : first;
    break;
  case MsgAnswer::Yes:
    first = set.testFlag(QMessageBox::Yes) ? QMessageBox::Yes : first;
    break;
  case MsgAnswer::No:
    first = set.testFlag(QMessageBox::No) ? QMessageBox::No : first;
    break;
  }
  box.setDefaultButton(first);
  // A short text would make the box narrower than its title: the title bar would cut it.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
    grid->addItem(new QSpacerItem(TitleWidth(box), 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
  const int result = box.exec();
  switch (result) {
  case QMessageBox::Yes:
    return MsgAnswer::Yes;
  case QMessageBox::No:
    return MsgAnswer::No;
  case QMessageBox::Cancel:
    return MsgAnswer::Cancel;
  case QMessageBox::Ok:
    return MsgAnswer::Ok;
  default:
    // Closed without a button (Escape, the title bar): the box's way out.
    return buttons == MsgButtons::YesNo ? MsgAnswer::No
           : buttons == MsgButtons::Ok  ? MsgAnswer::Ok
                                        : MsgAnswer::Cancel;
  }
}

} // namespace vk::gui

namespace vk::gui {

KernelNotice KernelWarning(const std::vector<cpu::KernelMessage>& warnings,
                           const std::vector<std::string>& folders) {
  if (warnings.empty()) return {};
  KernelNotice notice;
  for (const auto& warning : warnings) {
    // A file that is not there is named, so that the operator knows what to look for.
    static constexpr std::string_view kNotOpened = "Can't open file\r";
    const bool unnamed = warning.text.starts_with(kNotOpened) && !warning.file.empty();
    notice.text +=
        (unnamed ? "Can't open file " + warning.file + "\r" + warning.text.substr(kNotOpened.size())
                 : warning.text) +
        "\r\r";
  }
  notice.text += "Looked in: ";
  for (std::size_t i = 0; i < folders.size(); ++i) notice.text += (i ? ", " : "") + folders[i];
  if (folders.empty()) notice.text += "(no folder)";
  notice.text += "\rTo use kernels kept elsewhere, set VKPROG_KERNEL_DIR to their folder and "
                 "start the program again.";
  notice.caption = warnings.size() == 1 ? warnings.front().caption : "Boot programming kernels";
  return notice;
}

} // namespace vk::gui
