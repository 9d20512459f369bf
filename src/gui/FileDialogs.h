#pragma once
// The Open and Save dialogs. Open offers three types, in this order: "V&K Firmware File
// (*.vkf)", "Hex Intel (*.hex)", "Motorola S-Record (*.a20)"; Save the two it writes, the last
// two. They live as long as the main window; both start in the folder used last, and Save keeps
// the name it proposed last.

#include "app/FileCommands.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <string>

class QFileDialog;
class QWidget;

namespace vk::gui {

// The filter list as Qt writes it, from the program's "name|pattern|..." list.
QStringList FilterList(const std::string& pipeList = app::kFileFilter);
// The types Save writes: the list above without the container.
QStringList SaveFilterList();
// The suffix (without the dot) a name typed without one gets for the type at 1-based position.
// There is no container writer: that type saves S-records, so its suffix is "a20".
QString SuffixForFilter(int position);

class FileDialogs {
public:
  explicit FileDialogs(QWidget* parent);
  ~FileDialogs();

  // The chosen file, or nothing when the user cancelled.
  std::optional<QString> AskOpenFile();
  std::optional<QString> AskSaveFile(const app::SaveProposal& proposal);
  // File > Report...: the run report's file, appended to (an existing file is not replaced).
  std::optional<QString> AskReportFile();

  QFileDialog* OpenDialog() const { return open_; }
  QFileDialog* SaveDialog() const { return save_; }
  QFileDialog* ReportDialog() const { return report_; }

  // The folder of the last file opened or saved: both dialogs start there (the window keeps it
  // in the settings between runs). Empty: each dialog's own.
  QString LastFolder;

private:
  // Shows the dialog from LastFolder; the chosen file, whose folder becomes LastFolder.
  std::optional<QString> Ask(QFileDialog& dialog);
  QFileDialog* open_;
  QFileDialog* save_;
  QFileDialog* report_;
};

} // namespace vk::gui
