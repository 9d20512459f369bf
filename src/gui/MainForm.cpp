#include "gui/MainForm.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTabWidget>
#include <QUrl>

#include "gui/QtMessageBox.h"
#include "protocol/Catalogue.h"
#include "protocol/ProtocolKinds.h"

#include <exception>

namespace vk::gui {

namespace {
std::string FileNameOf(const QString& path) { return QFile::encodeName(path).toStdString(); }

// The local files among dropped URLs, in the order given.
QStringList LocalFiles(const QMimeData* data) {
  QStringList files;
  if (data == nullptr || !data->hasUrls()) return files;
  for (const QUrl& url : data->urls())
    if (url.isLocalFile()) files << url.toLocalFile();
  return files;
}
} // namespace

TMainForm::TMainForm(platform::IEventLoop& loop, platform::IMessageBox& boxes,
                     cpu::KernelSet& kernels, app::SessionDevices devices, QWidget* parent)
    : QMainWindow(parent), loop_(loop), boxes_(boxes), settings_(devices.settings) {
  setWindowTitle(QString::fromLatin1(kCaption));
  resize(kWidth, kHeight);
  setAcceptDrops(true); // files dropped from the desktop are loaded

  // Closing the main window ends the program with exit code 0 (the companions do not keep it
  // alive).
  QuitProgram = [this] { loop_.Post([this] { close(); }); };

  BuildMenus();
  BuildPages();
  StatusLine = statusBar();
  status_ = std::make_unique<QtStatusView>(*StatusLine);
  dialogs_ = std::make_unique<FileDialogs>(this);
  DevFinderForm = new TDevFinderForm(this);

  // The views the session drives: each page gives its own.
  TTargetPage& target = *TabSheetTarget;
  TProgrammerPage& prog = *TabSheetProgrammer;
  app::SessionViews views;
  views.status = status_.get();
  views.terminal = &TabSheetComm->TerminalView();
  views.target = target.Views();
  views.programmer = prog.Views();
  views.programmer.show = [this] { PageControl->setCurrentWidget(TabSheetProgrammer); };
  views.showBufferPage = [this](const app::BufferPageText& page) { TabSheetBuffer->Show(page); };
  views.finder = DevFinderForm;
  views.quit = [this] {
    if (QuitProgram) QuitProgram();
  };
  views.busyChanged = [this](bool busy) { ShowBusy(busy); };
  session_ = std::make_unique<app::Session>(loop, boxes, devices, kernels, std::move(views));
  UpdateReadModule();
  session_->controller->Policy = app::FrontEndPolicy::Window();
  session_->page->ReasonInLog = true;
  session_->page->AddressMoved = [this] { TabSheetTarget->HighlightAddress(); };
  target.KeepTreeWidth();

  // What the user does. Each goes through the gate: the engine may be asleep inside a step.
  SetCommandGate([this](std::function<void()> command) {
    if (loop_.Sleeping())
      loop_.Post(std::move(command));
    else
      command();
  });
  target.TargetTreeView->onSelect = [this] { ThroughGate([this] { session_->TreeClicked(); }); };
  connect(target.cbxSpeed, &QComboBox::activated, this,
          [this](int) { ThroughGate([this] { session_->SpeedChanged(); }); });
  connect(target.btFindDev, &QPushButton::clicked, this,
          [this] { ThroughGate([this] { session_->FindDevice(); }); });
  prog.onAction = [this](int tag) { ThroughGate([this, tag] { session_->ButtonPressed(tag); }); };
  prog.onShow = [this] { ThroughGate([this] { session_->ProgrammerPageShown(); }); };
  TabSheetComm->onEnter = [this](const QString& line) {
    ThroughGate([this, bytes = ToBytes(line)] { session_->TerminalEnter(bytes); });
  };
  connect(TabSheetBuffer->btBufferClear, &QPushButton::clicked, this,
          [this] { ThroughGate([this] { BufferClear(); }); });
  connect(TabSheetBuffer->btBufferShow, &QPushButton::clicked, this,
          [this] { ThroughGate([this] { BufferShow(); }); });
  DevFinderForm->onClosed = [this] { ThroughGate([this] { session_->FinderClosed(); }); };

  // The companions, hidden until asked for.
  SearchSettingForm = new TSearchSettingForm(this);
  SearchSettingForm->onChange = [this](const std::string& text) {
    ThroughGate([this, text] {
      if (session_->finder) session_->finder->SetEndAddressText(text);
    });
  };
  ShowBufferForm = std::make_unique<TShowBufferForm>();

  // Before the first load the Buffer page reads as after Clear.
  app::BufferPageText empty;
  app::ShowCleared(empty);
  TabSheetBuffer->Show(empty);

  // The summary names the module the address box shows, whoever moved it (the user, a
  // MultiProgram sequence, the device finder), and the port the user chose.
  connect(target.cbxAddr, &QComboBox::currentIndexChanged, this,
          [this](int) { session_->page->ShowSummary(); });
  connect(target.cbxCOM, &QComboBox::activated, this,
          [this](int) { session_->page->ShowSummary(); });
  RestoreSettings();
}

void TMainForm::RestoreSettings() {
  if (!settings_) return;
  if (const auto geometry = settings_->Read(kGeometrySetting))
    restored_ = restoreGeometry(QByteArray::fromBase64(QByteArray::fromStdString(*geometry)));
  QComboBox* speed = TabSheetTarget->cbxSpeed;
  if (const auto rate = settings_->Read(kSpeedSetting)) {
    const int index = speed->findText(QString::fromStdString(*rate));
    if (index >= 0 && index != speed->currentIndex()) {
      speed->setCurrentIndex(index);
      session_->SpeedChanged();
    }
  }
  if (const auto folder = settings_->Read(kFolderSetting))
    dialogs_->LastFolder = QString::fromStdString(*folder);
  if (const auto report = settings_->Read(kReportSetting); report && !report->empty())
    OpenReport(*report);
  QComboBox* address = TabSheetTarget->cbxAddr;
  if (const auto number = settings_->Read(kAddressSetting)) {
    const int index = address->findText(QString::fromStdString(*number));
    if (index >= 0) address->setCurrentIndex(index);
  }
}

void TMainForm::SaveSettings() {
  if (!settings_) return;
  settings_->Write(kGeometrySetting, saveGeometry().toBase64().toStdString());
  settings_->Write(kSpeedSetting, TabSheetTarget->cbxSpeed->currentText().toStdString());
  settings_->Write(kAddressSetting, TabSheetTarget->cbxAddr->currentText().toStdString());
  if (!dialogs_->LastFolder.isEmpty())
    settings_->Write(kFolderSetting, dialogs_->LastFolder.toStdString());
}

TMainForm::~TMainForm() {
  SetCommandGate({});
  session_.reset(); // stops the timers and the serial worker while the views still exist
}

void TMainForm::BuildMenus() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  mnOpen = file->addAction(QStringLiteral("&Open..."));
  mnOpen->setStatusTip(QStringLiteral("Open an existing file"));
  mnOpen->setShortcut(QKeySequence::Open);
  mnSave = file->addAction(QStringLiteral("&Save"));
  mnSave->setStatusTip(QStringLiteral("Save current file"));
  mnSave->setShortcut(QKeySequence::Save);
  mnClear = file->addAction(QStringLiteral("&Clear"));
  mnClear->setStatusTip(QStringLiteral("Clear program buffer"));
  mnReadModule = file->addAction(QStringLiteral("&Read from Module"));
  mnReadModule->setStatusTip(QStringLiteral("Read the module's flash into the program buffer"));
  // Offered for the selected entry only where its chip can be read back; the menu says why not.
  file->setToolTipsVisible(true);
  connect(file, &QMenu::aboutToShow, this, [this] { UpdateReadModule(); });
  UpdateReadModule();
  mnReport = file->addAction(QStringLiteral("Re&port..."));
  mnReport->setCheckable(true);
  mnReport->setStatusTip(
      QStringLiteral("Append a line for every module's run to a JSON Lines file (off: choose it)"));
  file->addSeparator();
  mnExit = file->addAction(QStringLiteral("E&xit"));
  mnExit->setStatusTip(QStringLiteral("Exit this application"));

  QMenu* setup = menuBar()->addMenu(QStringLiteral("Setup"));
  mnSearch = setup->addAction(QStringLiteral("Search ..."));

  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  mnAbout = help->addAction(QStringLiteral("&About..."));
  mnAbout->setStatusTip(QStringLiteral("Show program information"));

  connect(mnOpen, &QAction::triggered, this, [this] { ThroughGate([this] { FileOpen(); }); });
  connect(mnSave, &QAction::triggered, this, [this] { ThroughGate([this] { SaveClick(); }); });
  connect(mnClear, &QAction::triggered, this, [this] { ThroughGate([this] { BufferClear(); }); });
  connect(mnReadModule, &QAction::triggered, this, [this] {
    ThroughGate([this] {
      PageControl->setCurrentWidget(TabSheetProgrammer); // where the run shows
      session_->ReadFromModule();
    });
  });
  connect(mnReport, &QAction::triggered, this, [this] { ThroughGate([this] { ReportClick(); }); });
  connect(mnExit, &QAction::triggered, this, [this] { ThroughGate([this] { FileExit(); }); });
  connect(mnSearch, &QAction::triggered, this,
          [this] { ThroughGate([this] { SearchSettings(); }); });
  connect(mnAbout, &QAction::triggered, this, [this] { ThroughGate([this] { HelpAbout(); }); });
}

void TMainForm::UpdateReadModule() {
  if (!session_) return;
  const auto& entry = session_->prg->Node();
  const bool reads = programmer::KindOf(entry.CpuKind).ReadsBack;
  std::string readable;
  for (const auto& e : programmer::Catalogue())
    if (programmer::KindOf(e.CpuKind).ReadsBack)
      readable += (readable.empty() ? "" : ", ") + std::string(e.Name);
  mnReadModule->setEnabled(reads);
  mnReadModule->setToolTip(QString::fromStdString(
      reads ? "Read the flash of the selected " + entry.Name + " module"
            : entry.Name + " cannot be read back; reading is offered for " + readable));
}

void TMainForm::BuildPages() {
  PageControl = new QTabWidget(this);
  PageControl->setDocumentMode(false);
  TabSheetComm = new TCommPage;
  TabSheetTarget = new TTargetPage;
  TabSheetProgrammer = new TProgrammerPage;
  TabSheetProgrammer->NormalWindowHeight = kHeight;
  TabSheetBuffer = new TBufferPage;
  PageControl->addTab(TabSheetComm, QStringLiteral("Communication"));
  PageControl->addTab(TabSheetTarget, QStringLiteral("Target"));
  PageControl->addTab(TabSheetProgrammer, QStringLiteral("Programmer"));
  PageControl->addTab(TabSheetBuffer, QStringLiteral("Buffer"));
  PageControl->setCurrentWidget(TabSheetTarget);
  setCentralWidget(PageControl);
}

void TMainForm::Start(const std::vector<std::string>& files) { session_->Start(files); }

void TMainForm::ShowBusy(bool busy) {
  // What would change the image under the run is refused anyway; disabled, it says so at once.
  for (QAction* action : {mnOpen, mnSave, mnClear}) action->setEnabled(!busy);
  TabSheetBuffer->btBufferClear->setEnabled(!busy);
  TabSheetComm->SetInputPaused(busy);
}

void TMainForm::ShowError(const std::string& text) {
  boxes_.Show(text, kCaption, platform::MsgButtons::Ok, platform::MsgIcon::Error);
}

void TMainForm::LoadFiles(const QStringList& files) {
  for (const QString& f : files) {
    try {
      session_->LoadAndShow(FileNameOf(f));
    } catch (const std::exception& e) {
      ShowError(e.what());
    }
  }
}

void TMainForm::FileOpen() {
  if (session_->RefusedWhileBusy()) return;
  if (const auto file = dialogs_->AskOpenFile()) LoadFiles({*file});
}

void TMainForm::SaveClick() {
  try {
    const auto saved =
        session_->Save([this](const app::SaveProposal& proposal) -> std::optional<std::string> {
          const auto file = dialogs_->AskSaveFile(proposal);
          if (!file) return std::nullopt;
          return FileNameOf(*file);
        });
    // Saving shows nothing else: the line says it is done, and where.
    if (saved) status_->SetPanelText(0, "Saved " + QFile::decodeName(saved->c_str()).toStdString());
  } catch (const std::exception& e) {
    // The file could not be created or written; what was prepared stays in the image.
    ShowError(e.what());
  }
}

void TMainForm::BufferClear() { session_->Clear(); }

void TMainForm::BufferShow() {
  const image::FirmwareImage& image = session_->image;
  ShowBufferForm->ShowData(image.Image(), image.IsEmpty() ? 0 : image.MemStart());
}

void TMainForm::HelpAbout() {
  boxes_.Show(AboutText(), "About V&K Programmer", platform::MsgButtons::Ok,
              platform::MsgIcon::Information);
}

std::string TMainForm::AboutText() {
  return std::string("V&K Programmer\rVersion ") + VK_VERSION + "\rBuild: " + VK_BUILD + ", " +
         __DATE__ + "\rQt " + qVersion() + " (built with " + QT_VERSION_STR + ")";
}

void TMainForm::FileExit() { close(); }

void TMainForm::SearchSettings() { SearchSettingForm->ShowSettings(); }

void TMainForm::ReportClick() {
  const bool on = session_->report->On();
  if (on) {
    const std::string path = session_->report->Path();
    OpenReport("");
    status_->SetPanelText(0, "Report off (" + QFile::decodeName(path.c_str()).toStdString() + ")");
  } else if (const auto file = dialogs_->AskReportFile(); file && OpenReport(FileNameOf(*file))) {
    status_->SetPanelText(0, "Report to " + file->toStdString());
  }
  mnReport->setChecked(session_->report->On());
}

bool TMainForm::OpenReport(const std::string& path) {
  try {
    session_->report->Open(path);
  } catch (const std::exception& e) {
    ShowError("Report: " + std::string(e.what()) + "; no report is written");
    mnReport->setChecked(false);
    return false;
  }
  if (settings_) settings_->Write(kReportSetting, path);
  mnReport->setChecked(session_->report->On());
  return true;
}

bool TMainForm::event(QEvent* event) {
  if (event->type() == QEvent::StatusTip) {
    // Hints go to the status line's last panel, never over the whole line.
    status_->SetPanelText(3, static_cast<QStatusTipEvent*>(event)->tip().toStdString());
    return true;
  }
  return QMainWindow::event(event);
}

void TMainForm::dragEnterEvent(QDragEnterEvent* event) {
  if (!LocalFiles(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent* event) {
  const QStringList files = LocalFiles(event->mimeData());
  if (files.isEmpty() || session_->RefusedWhileBusy()) return;
  event->acceptProposedAction();
  // Loaded once the drop is over (a file's message box must not hold up the desktop's drag),
  // and never in the middle of a step of a run that is waiting in a sleep.
  loop_.Post([this, files] { LoadFiles(files); });
}

void TMainForm::showEvent(QShowEvent* event) {
  // Centred on the screen when first shown, once the window's frame is known.
  if (!centred_ && !event->spontaneous()) {
    centred_ = true;
    if (!restored_) CentreOn(this, nullptr); // else where the user left it
  }
  QMainWindow::showEvent(event);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (loop_.Sleeping()) {
    // The engine is in the middle of a step: ask again once the step has ended.
    event->ignore();
    loop_.Post([this] { close(); });
    return;
  }
  if (session_->controller->Busy()) {
    if (!AskQuitWhileBusy(this, QString::fromLatin1(kCaption),
                          [this] { return session_->controller->Busy(); })) {
      event->ignore();
      return;
    }
    // The run may have ended while the question was open.
    if (session_->controller->Busy())
      session_->controller->StopAll(); // the protocol sets the link back before the end
  }
  // The program ends with its main window: the companions go with it.
  DevFinderForm->hide();
  SearchSettingForm->hide();
  ShowBufferForm->hide();
  SaveSettings();
  QMainWindow::closeEvent(event);
}

} // namespace vk::gui
