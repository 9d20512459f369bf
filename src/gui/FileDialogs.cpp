#include "gui/FileDialogs.h"

#include <QCompleter>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>

namespace vk::gui {

QStringList FilterList(const std::string& pipeList) {
  const QStringList parts = QString::fromStdString(pipeList).split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
    filters << parts[i] + QStringLiteral(" (") + parts[i + 1] + QLatin1Char(')');
  return filters;
}

QStringList SaveFilterList() { return FilterList().mid(1); }

QString SuffixForFilter(int position) {
  return position == 2 ? QStringLiteral("hex") : QStringLiteral("a20");
}

FileDialogs::FileDialogs(QWidget* parent)
    : open_(new QFileDialog(parent)), save_(new QFileDialog(parent)),
      report_(new QFileDialog(parent)) {
  const QStringList filters = FilterList();

  open_->setAcceptMode(QFileDialog::AcceptOpen);
  open_->setFileMode(QFileDialog::ExistingFile);
  // Opening also takes a file whose name ends otherwise; its contents decide how it is read.
  open_->setNameFilters(QStringList(filters) << QStringLiteral("All files (*)"));
  open_->selectNameFilter(filters.value(0));
  open_->setWindowTitle(QStringLiteral("Open"));

  save_->setAcceptMode(QFileDialog::AcceptSave);
  save_->setFileMode(QFileDialog::AnyFile);
  // Only the types Save writes: there is no container writer.
  save_->setNameFilters(SaveFilterList());
  save_->selectNameFilter(filters.value(2));
  save_->setDefaultSuffix(SuffixForFilter(1));
  save_->setWindowTitle(QStringLiteral("Save"));
  report_->setAcceptMode(QFileDialog::AcceptSave);
  report_->setFileMode(QFileDialog::AnyFile);
  // Lines are appended: a file chosen again keeps what it holds, so nothing is to confirm.
  report_->setOption(QFileDialog::DontConfirmOverwrite);
  report_->setNameFilters(
      {QStringLiteral("JSON Lines (*.jsonl)"), QStringLiteral("All files (*)")});
  report_->setDefaultSuffix(QStringLiteral("jsonl"));
  report_->setWindowTitle(QStringLiteral("Report"));
  // Choosing a type sets the ending a bare name gets; the name's ending then decides the
  // format written. (Qt's own dialog also swaps an ending already typed for the type's.)
  QObject::connect(save_, &QFileDialog::filterSelected, save_, [this](const QString& filter) {
    save_->setDefaultSuffix(SuffixForFilter(static_cast<int>(FilterList().indexOf(filter)) + 1));
  });
}

FileDialogs::~FileDialogs() = default; // the dialogs belong to the parent window

std::optional<QString> FileDialogs::Ask(QFileDialog& dialog) {
  // Completion without its popup: the popup took the next click for itself, so a click on Open
  // or on the list only closed it.
  if (auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      edit && edit->completer())
    edit->completer()->setCompletionMode(QCompleter::InlineCompletion);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  LastFolder = QFileInfo(files.first()).absolutePath();
  return files.first();
}

std::optional<QString> FileDialogs::AskOpenFile() {
  if (!LastFolder.isEmpty()) open_->setDirectory(LastFolder);
  return Ask(*open_);
}

std::optional<QString> FileDialogs::AskReportFile() {
  if (!LastFolder.isEmpty()) report_->setDirectory(LastFolder);
  return Ask(*report_);
}

std::optional<QString> FileDialogs::AskSaveFile(const app::SaveProposal& proposal) {
  if (!LastFolder.isEmpty()) save_->setDirectory(LastFolder);
  if (!proposal.keepLast) {
    const QStringList filters = FilterList();
    const int position = proposal.filterIndex;
    if (position >= 1 && position <= filters.size()) save_->selectNameFilter(filters[position - 1]);
    QString suffix = QString::fromStdString(proposal.extension);
    if (suffix.startsWith(QStringLiteral("*."))) suffix = suffix.mid(2);
    save_->setDefaultSuffix(suffix);
    save_->selectFile(QString::fromStdString(proposal.fileName));
  }
  return Ask(*save_);
}

} // namespace vk::gui
