#pragma once
// TMainForm: the window of V&K Programmer. Builds the menus, the four pages and the status line,
// creates the session over them (which wires the links and the programming engine in their
// start-up order), and turns menu commands, button clicks and dropped files into the session's
// operations. Everything runs on the window's thread through the given event loop.

#include "app/Session.h"
#include "gui/FileDialogs.h"
#include "gui/Pages.h"
#include "gui/QtViews.h"
#include "gui/Windows.h"
#include "vk/Version.h"

#include <QMainWindow>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QTabWidget;

namespace vk::gui {

class TMainForm : public QMainWindow {
public:
  static constexpr int kWidth = 582, kHeight = 465;
  static constexpr const char* kCaption = "V&K Programmer " VK_VERSION;
  // Kept in the settings between runs, beside "PORT".
  static constexpr const char* kGeometrySetting = "WindowGeometry";
  static constexpr const char* kSpeedSetting = "Speed";
  static constexpr const char* kAddressSetting = "Address";
  static constexpr const char* kFolderSetting = "LastFolder"; // where Open and Save start
  // The run report's file; empty or absent: no report (app::WindowReport::kSetting).
  static constexpr const char* kReportSetting = app::WindowReport::kSetting;

  // kernels: created before the window, so that their warnings come first.
  TMainForm(platform::IEventLoop& loop, platform::IMessageBox& boxes, cpu::KernelSet& kernels,
            app::SessionDevices devices, QWidget* parent = nullptr);
  ~TMainForm() override;

  // Loads the files named on the command line 200 ms from now, then runs the 10 ms tick.
  void Start(const std::vector<std::string>& files);
  app::Session& Session() { return *session_; }

  // The menu commands and buttons, as the user gives them.
  void FileOpen();
  void SaveClick();
  void BufferClear();
  void BufferShow();
  void FileExit();
  void HelpAbout();
  // "Help > About": name, version, build and the Qt version in use.
  static std::string AboutText();
  void SearchSettings();
  // File > Report...: off, it asks for the file and turns the report on; on, it turns it off.
  void ReportClick();
  // Opens the report's file (empty: off) and remembers the choice; false (and said) when the
  // file cannot be opened.
  bool OpenReport(const std::string& path);
  // Loads each file in turn, as the command line, Open and dropping do.
  void LoadFiles(const QStringList& files);
  // A run started or ended: Open, Save and Clear are disabled meanwhile, the terminal paused.
  void ShowBusy(bool busy);

  // Ends the program after the "ID Mismatch" error: posted, so the box's handler returns
  // first.
  std::function<void()> QuitProgram;

  // Pages and controls, named as the window's components.
  QTabWidget* PageControl;
  TCommPage* TabSheetComm;
  TTargetPage* TabSheetTarget;
  TProgrammerPage* TabSheetProgrammer;
  TBufferPage* TabSheetBuffer;
  QAction* mnOpen;
  QAction* mnSave;
  QAction* mnClear;
  QAction* mnReadModule; // enabled for entries whose chip can be read back
  QAction* mnReport;     // checked while the run report is written
  QAction* mnExit;
  QAction* mnSearch;
  QAction* mnAbout;
  QStatusBar* StatusLine;

  // The companion windows.
  TDevFinderForm* DevFinderForm;
  TSearchSettingForm* SearchSettingForm;
  std::unique_ptr<TShowBufferForm> ShowBufferForm;
  FileDialogs& Dialogs() { return *dialogs_; }
  QtStatusView& Status() { return *status_; }

protected:
  bool event(QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

private:
  void BuildMenus();
  // Read from Module: enabled, and its tooltip, as the selected entry allows.
  void UpdateReadModule();
  void BuildPages();
  void ShowError(const std::string& text);
  void RestoreSettings();
  void SaveSettings();

  platform::IEventLoop& loop_;
  platform::IMessageBox& boxes_;
  platform::ISettings* settings_;
  bool centred_ = false;
  bool restored_ = false; // the size and place of the last run
  std::unique_ptr<FileDialogs> dialogs_;
  // The status line's view goes before the session: the session holds it until the end (the
  // pages' views go with the pages, after the session).
  std::unique_ptr<QtStatusView> status_;
  std::unique_ptr<app::Session> session_;
};

} // namespace vk::gui
