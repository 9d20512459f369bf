// vkscreenshots: renders the window's pages and its other windows to PNG files, for the
// documentation. Runs offscreen; the programmer unit is a vkdevsim process from the same
// folder, so the pictures show a real detection and programming run.
//
//   vkscreenshots [OUTPUT_DIR]      (default: docs/screenshots)

#include "cpu/Kernels.h"
#include "gui/MainForm.h"
#include "gui/QtMessageBox.h"
#include "image/Container.h"
#include "link/pcan_usb.h"
#include "platform/PosixSerial.h"
#include "platform/QtCanBus.h"
#include "platform/QtEventLoop.h"
#include "platform/SettingsStore.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace {

using vk::gui::TMainForm;

bool Save(QWidget* w, const QDir& dir, const char* name) {
  const QString file = dir.filePath(QString::fromLatin1(name));
  const bool ok = w->grab().save(file);
  std::fprintf(ok ? stdout : stderr, "%s %s\n", ok ? "wrote" : "could not write", qPrintable(file));
  return ok;
}

// Intel HEX records for data at addr, and the end record.
std::string HexText(std::uint32_t addr, const std::vector<std::uint8_t>& data) {
  std::string text;
  char buf[8];
  for (std::size_t off = 0; off < data.size(); off += 16) {
    const std::size_t n = std::min<std::size_t>(16, data.size() - off);
    const std::uint32_t a = addr + static_cast<std::uint32_t>(off);
    unsigned sum = static_cast<unsigned>(n) + (a >> 8 & 0xFF) + (a & 0xFF);
    std::snprintf(buf, sizeof buf, ":%02X", static_cast<unsigned>(n));
    text += buf;
    std::snprintf(buf, sizeof buf, "%04X00", a & 0xFFFF);
    text += buf;
    for (std::size_t i = 0; i < n; ++i) {
      std::snprintf(buf, sizeof buf, "%02X", data[off + i]);
      text += buf;
      sum += data[off + i];
    }
    std::snprintf(buf, sizeof buf, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    text += buf;
  }
  return text + ":00000001FF\r\n";
}

// Something that looks like firmware: code-like bytes and a readable banner.
std::vector<std::uint8_t> SampleFirmware(std::size_t size) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i)
    v[i] = static_cast<std::uint8_t>((i * 37 + (i >> 4)) & 0xFF);
  const std::string banner = "QRD14 firmware 3.2 (c) Velkor ApS.";
  std::copy(banner.begin(), banner.end(), v.begin() + 0x40);
  return v;
}

// Waits while Qt runs, up to ms, until done().
bool RunUntil(vk::platform::QtEventLoop& loop, const std::function<bool()>& done, int ms) {
  return loop.RunUntil(done, ms);
}

// Answers the next modal window with answer(), from inside its own event loop.
void OnNextModal(std::function<void(QWidget*)> answer) {
  auto* timer = new QTimer;
  timer->setInterval(20);
  QObject::connect(timer, &QTimer::timeout, [timer, answer] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    // Let it paint once before it is captured.
    QTimer::singleShot(100, modal, [modal, answer] { answer(modal); });
  });
  timer->start();
}

} // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots"));
  if (!QDir().mkpath(out.path())) {
    std::fprintf(stderr, "vkscreenshots: cannot create %s\n", qPrintable(out.path()));
    return 1;
  }

  // The programmer unit, with modules 3 (QRA11) and 7 (QRD14) on its backplane.
  QProcess sim;
  const QString simPath = QCoreApplication::applicationDirPath() + QStringLiteral("/vkdevsim");
  sim.start(simPath, {"backplane", "--module", "7:136", "--module", "3:133", "--erase-ms", "300",
                      "--no-pace"});
  if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000)) {
    std::fprintf(stderr, "vkscreenshots: cannot start %s\n", qPrintable(simPath));
    return 1;
  }
  const QString portLine = QString::fromLocal8Bit(sim.readLine()).trimmed();
  if (!portLine.startsWith(QStringLiteral("PORT "))) {
    std::fprintf(stderr, "vkscreenshots: unexpected first line from vkdevsim: %s\n",
                 qPrintable(portLine));
    return 1;
  }
  // A second, idle port, so that the list shows more than one.
  int master = -1, slave = -1;
  char spare[256] = {};
  ::openpty(&master, &slave, spare, nullptr, nullptr);

  QTemporaryDir temp;
  vk::platform::SettingsStore settings(temp.filePath(QStringLiteral("settings.ini")).toStdString());
  settings.Write("AllowUntypedProgram", "True");
  vk::platform::PosixSerialPorts ports(
      vk::platform::PortMap({{1, portLine.mid(5).toStdString()}, {4, spare}}, false));
  vk::platform::QtCanBus canBus("virtualcan", "can0");
  vk::link::PcanUsbOverCanBus canDriver(canBus);
  vk::gui::QtMessageBox boxes;
  vk::cpu::KernelSet kernels(std::vector<std::string>{});
  vk::platform::QtEventLoop loop;

  TMainForm form(loop, boxes, kernels, {ports, canDriver, &settings});
  boxes.SetMainWindow(&form);
  form.show();
  form.Start({});
  RunUntil(
      loop, [&] { return form.Session().comm->IsOpen(); }, 3000);

  // Target page: the tree opened at the module family.
  QTreeWidget* tree = form.TabSheetTarget->TargetTreeView;
  tree->topLevelItem(0)->setExpanded(true);
  form.TabSheetTarget->cbxAddr->setCurrentIndex(7);
  loop.RunFor(100);
  Save(&form, out, "target.png");
  // At the smallest size the window takes, the tree still shows its entries' names.
  form.resize(1, 1);
  loop.RunFor(150);
  Save(&form, out, "target-minimum.png");
  form.resize(TMainForm::kWidth, TMainForm::kHeight);
  loop.RunFor(150);

  // A container for the QRD14, loaded and programmed into module 7.
  vk::image::ContainerContent c;
  c.targets = {0x88000000u, 0x88010000u};
  c.message = "QRD14 release 3.2";
  const std::string body = HexText(0x1000, SampleFirmware(0x2000));
  c.body.assign(body.begin(), body.end());
  const auto bytes = vk::image::BuildContainer(c);
  const QString fw = temp.filePath(QStringLiteral("qrd14-3.2.vkf"));
  std::ofstream(fw.toStdString(), std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  form.LoadFiles({fw});
  form.TabSheetTarget->cbxAddr->setCurrentIndex(7);
  form.PageControl->setCurrentWidget(form.TabSheetTarget);
  form.PageControl->setCurrentWidget(form.TabSheetProgrammer);
  loop.RunFor(100);
  form.TabSheetProgrammer->Buttons[2]->click();
  bool midway = false;
  RunUntil(
      loop,
      [&] {
        const auto* bar = form.TabSheetProgrammer->Progress;
        if (!midway && bar->value() > (bar->minimum() + bar->maximum()) / 2) {
          midway = true;
          Save(&form, out, "programmer-running.png");
        }
        return form.Session().controller->Mode() == vk::app::ControllerMode::Idle &&
               !form.TabSheetProgrammer->LogMemo->toPlainText().isEmpty();
      },
      30000);
  loop.RunFor(200);
  Save(&form, out, "programmer.png");
  // The same page enlarged (the memos take the room) and at the smallest size the window takes.
  for (const auto& [size, name] : {std::pair{QSize(900, 640), "programmer-enlarged.png"},
                                   std::pair{QSize(1, 1), "programmer-minimum.png"}}) {
    form.resize(size);
    loop.RunFor(150);
    Save(&form, out, name);
  }
  form.resize(TMainForm::kWidth, TMainForm::kHeight);
  loop.RunFor(150);

  // Buffer page.
  form.PageControl->setCurrentWidget(form.TabSheetBuffer);
  loop.RunFor(100);
  Save(&form, out, "buffer.png");

  // Communication page: the start of the run's traffic, the program's commands marked as sent.
  form.PageControl->setCurrentWidget(form.TabSheetComm);
  form.TabSheetComm->CommPlane->moveCursor(QTextCursor::Start);
  form.TabSheetComm->CommPlane->ensureCursorVisible();
  loop.RunFor(100);
  Save(&form, out, "communication.png");

  // The File menu, open.
  QMenu* file = form.menuBar()->actions().value(0)->menu();
  file->popup(form.mapToGlobal(form.menuBar()->geometry().bottomLeft()));
  file->setActiveAction(form.mnSave);
  form.mnSave->showStatusText(form.menuBar()); // its hint, as when the pointer is on it
  loop.RunFor(150);
  {
    QPixmap shot = form.grab();
    QPixmap menu = file->grab();
    QPainter p(&shot);
    p.drawPixmap(form.menuBar()->geometry().bottomLeft(), menu);
    p.end();
    const QString path = out.filePath(QStringLiteral("file-menu.png"));
    std::printf("%s %s\n", shot.save(path) ? "wrote" : "could not write", qPrintable(path));
  }
  file->hide();

  // Show Buffer.
  form.PageControl->setCurrentWidget(form.TabSheetBuffer);
  form.TabSheetBuffer->btBufferShow->click();
  loop.RunFor(200); // it opens where the firmware begins (0x1000)
  Save(form.ShowBufferForm.get(), out, "show-buffer.png");
  form.ShowBufferForm->hide();

  // Device Finder and its settings.
  form.DevFinderForm->Show();
  form.DevFinderForm->SetRateText("57600");
  form.DevFinderForm->SetCommandText("OP12");
  loop.RunFor(100);
  Save(form.DevFinderForm, out, "device-finder.png");
  form.DevFinderForm->Hide();
  form.SearchSettings();
  loop.RunFor(100);
  Save(form.SearchSettingForm, out, "search-settings.png");
  form.SearchSettingForm->hide();

  // The "ID Mismatch" question: an Intel HEX image, loaded after Clear, names no module type.
  const QString hex = temp.filePath(QStringLiteral("app.hex"));
  std::ofstream(hex.toStdString(), std::ios::binary) << HexText(0x1000, SampleFirmware(0x400));
  form.BufferClear();
  form.LoadFiles({hex});
  form.PageControl->setCurrentWidget(form.TabSheetProgrammer);
  loop.RunFor(100);
  OnNextModal([&](QWidget* modal) {
    Save(modal, out, "id-mismatch.png");
    auto* box = qobject_cast<QMessageBox*>(modal);
    if (box != nullptr) box->button(QMessageBox::No)->click();
  });
  form.TabSheetProgrammer->Buttons[2]->click();
  if (!RunUntil(
          loop, [&] { return form.Status().PanelText(0) == "Programming aborted"; }, 5000))
    std::fprintf(
        stderr, "vkscreenshots: no \"ID Mismatch\" question (status \"%s\", mode %d, type %d)\n",
        form.Status().PanelText(0).c_str(), static_cast<int>(form.Session().controller->Mode()),
        form.Session().controller->DetectedType);

  // The Save dialog with its proposal.
  form.Dialogs().SaveDialog()->setDirectory(temp.path());
  OnNextModal([&](QWidget* modal) {
    Save(modal, out, "save-dialog.png");
    if (auto* d = qobject_cast<QFileDialog*>(modal)) d->reject();
  });
  form.SaveClick();
  loop.RunFor(100);

  form.close();
  sim.terminate();
  sim.waitForFinished(3000);
  ::close(master);
  ::close(slave);
  return 0;
}
