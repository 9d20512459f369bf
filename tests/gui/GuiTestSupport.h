#pragma once
// The window under test: TMainForm on Qt's offscreen platform with its real event loop, real
// pseudo-terminals as COM ports, settings in a temporary file, and message boxes either
// recorded or shown as real QMessageBoxes.

#include "cpu/Kernels.h"
#include "devsim/BackplaneUnit.h"
#include "gui/MainForm.h"
#include "gui/QtMessageBox.h"
#include "link/pcan_usb.h"
#include "platform/LinkTestSupport.h"
#include "platform/PosixSerial.h"
#include "platform/QtCanBus.h"
#include "platform/QtEventLoop.h"
#include "platform/RecordingMessageBox.h"
#include "platform/SettingsStore.h"
#include "platform/SimulatedEventLoop.h"
#include "platform/SimulatedSerial.h"
#include "support/PrivateCanBus.h"
#include "support/SimWorld.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vk::guitest {

inline QApplication& App() {
  // Always offscreen: the tests must not depend on (or pop up on) a desktop.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "gui_tests";
  static char* argv[] = {name, nullptr};
  // Never destroyed: tearing Qt down among the process's static destructors would crash.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

struct WindowOptions {
  std::map<int, std::string> ports;   // COM number -> device
  std::optional<std::string> untyped; // "AllowUntypedProgram", unset when empty
  bool realBoxes = false;             // QMessageBox instead of the recorder

  static WindowOptions WithPort(int number, const std::string& device) {
    WindowOptions o;
    o.ports[number] = device;
    return o;
  }
};

// One window and everything it stands on.
class Window {
public:
  explicit Window(WindowOptions options = {})
      : settings_(dir.File("settings.ini")), ports_(platform::PortMap(options.ports, false)),
        canBus_("virtualcan", test::BusOfThisProcess()), canDriver_(canBus_) {
    if (options.untyped) settings_.Write("AllowUntypedProgram", *options.untyped);
    platform::IMessageBox& boxes =
        options.realBoxes ? static_cast<platform::IMessageBox&>(qtBoxes) : recorded;
    form = std::make_unique<gui::TMainForm>(loop, boxes, kernels,
                                            app::SessionDevices{ports_, canDriver_, &settings_});
    qtBoxes.SetMainWindow(form.get());
  }
  ~Window() { form.reset(); }

  void Show() {
    form->show();
    form->activateWindow();
    (void)QTest::qWaitForWindowExposed(form.get());
    Pump();
  }
  void Pump(int ms = 20) { loop.RunFor(ms); }
  bool RunUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    return loop.RunUntil(done, timeoutMs);
  }
  app::Session& S() { return form->Session(); }

  // Clicks the tree node with this name, as the user does on the Target page.
  void ClickTarget(const QString& name) {
    form->PageControl->setCurrentWidget(form->TabSheetTarget);
    Pump();
    QTreeWidget* tree = form->TabSheetTarget->TargetTreeView;
    const auto found = tree->findItems(name, Qt::MatchExactly | Qt::MatchRecursive);
    ASSERT_EQ(found.size(), 1) << name.toStdString();
    QTreeWidgetItem* item = found.first();
    for (QTreeWidgetItem* p = item->parent(); p != nullptr; p = p->parent()) p->setExpanded(true);
    tree->scrollToItem(item);
    Pump();
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
    Pump();
  }
  void ShowPage(QWidget* page) {
    form->PageControl->setCurrentWidget(page);
    Pump();
  }
  // Writes a file into the test's folder and returns its path.
  std::string WriteFile(const std::string& name, const std::string& bytes) {
    const std::string path = dir.File(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  QApplication& app = App(); // before any Qt object
  test::TempDir dir;
  platform::QtEventLoop loop;
  platform::RecordingMessageBox recorded;
  gui::QtMessageBox qtBoxes;
  cpu::KernelSet kernels{std::vector<std::string>{}};
  std::unique_ptr<gui::TMainForm> form;

private:
  platform::SettingsStore settings_;
  platform::PosixSerialPorts ports_;
  platform::QtCanBus canBus_;
  link::PcanUsbOverCanBus canDriver_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The lines of a memo as shown.
inline std::vector<std::string> MemoLines(const QPlainTextEdit* memo) {
  std::vector<std::string> lines;
  if (memo->document()->isEmpty()) return lines;
  for (QTextBlock b = memo->document()->begin(); b.isValid(); b = b.next())
    lines.push_back(b.text().toStdString());
  return lines;
}

// The log's lines without the time each starts with ("14:03:27 "), which must be there.
inline std::vector<std::string> LogLines(const QPlainTextEdit* log) {
  std::vector<std::string> lines = MemoLines(log);
  for (auto& line : lines) {
    const bool stamped = line.size() > 9 && line[2] == ':' && line[5] == ':' && line[8] == ' ';
    EXPECT_TRUE(stamped) << line;
    if (stamped) line.erase(0, 9);
  }
  return lines;
}

inline std::vector<std::string> ComboItems(const QComboBox* box) {
  std::vector<std::string> items;
  for (int i = 0; i < box->count(); ++i) items.push_back(box->itemText(i).toStdString());
  return items;
}

// Runs `answer` on the next modal window that opens (a message box, a file dialog), from inside
// its own event loop; `opened` tells whether one did.
class ModalWatcher {
public:
  explicit ModalWatcher(std::function<void(QWidget*)> answer) : answer_(std::move(answer)) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr || !modal->isVisible()) return;
      timer_.stop();
      opened = true;
      answer_(modal);
    });
    timer_.start();
  }
  bool opened = false;

private:
  std::function<void(QWidget*)> answer_;
  QTimer timer_;
};

// Puts a name into a file dialog's name box. (Set rather than typed: typing a path opens the
// dialog's completer, whose popup would take the keys.)
inline void TypeName(QFileDialog& d, const QString& name) {
  auto* edit = d.findChild<QLineEdit*>("fileNameEdit");
  ASSERT_NE(edit, nullptr);
  edit->setText(name);
}

// Presses a file dialog's own Open or Save button.
inline void PressAccept(QFileDialog& d) {
  auto* buttons = d.findChild<QDialogButtonBox*>();
  ASSERT_NE(buttons, nullptr);
  QPushButton* accept = buttons->button(
      d.acceptMode() == QFileDialog::AcceptSave ? QDialogButtonBox::Save : QDialogButtonBox::Open);
  ASSERT_NE(accept, nullptr);
  ASSERT_TRUE(accept->isEnabled());
  accept->click();
}

// The button of a message box with this text.
inline QAbstractButton* ButtonNamed(QWidget* box, const QString& text) {
  for (QAbstractButton* b : box->findChildren<QAbstractButton*>())
    if (b->text().remove(QLatin1Char('&')) == text) return b;
  return nullptr;
}

// The window over the simulated world: virtual time, COM1 a simulated line with the programmer
// unit model at its far end, settings in memory. Widgets are real; nothing waits on a clock.
class SimWindow {
public:
  // addPorts: more simulated ports, added before the window lists them.
  explicit SimWindow(const std::function<void(platform::SimulatedSerialPorts&)>& addPorts = {})
      : line(serialPorts.Add(1)), settings(dir.File("settings.ini")),
        canBus("virtualcan", test::BusOfThisProcess()), canDriver(canBus) {
    if (addPorts) addPorts(serialPorts);
    form = std::make_unique<gui::TMainForm>(loop, recorded, kernels,
                                            app::SessionDevices{serialPorts, canDriver, &settings});
  }
  ~SimWindow() {
    bridge.reset();
    form.reset();
  }
  void AttachUnit() { bridge = std::make_unique<test::ModelOnLine>(loop, line, unit); }
  app::Session& S() { return form->Session(); }
  bool RunUntil(const std::function<bool()>& done, platform::Millis limit = 60000) {
    return loop.RunUntil(done, limit);
  }
  void Load(const std::string& name, const std::string& bytes) {
    const std::string path = dir.File(name);
    std::ofstream(path, std::ios::binary) << bytes;
    form->LoadFiles({QString::fromStdString(path)});
  }
  std::string Summary() const {
    const auto lines = MemoLines(form->TabSheetProgrammer->InfoMemo);
    return lines.size() > 2 ? lines[0] + ", " + lines[2] : std::string();
  }
  std::string Highlighted() const {
    const QTreeWidgetItem* item = form->TabSheetTarget->TargetTreeView->currentItem();
    return item && item->isSelected() ? item->text(0).toStdString() : std::string();
  }

  QApplication& app = App();
  test::TempDir dir;
  platform::SimulatedEventLoop loop;
  platform::SimulatedSerialPorts serialPorts;
  std::shared_ptr<platform::SimulatedSerialLine> line;
  platform::RecordingMessageBox recorded;
  platform::SettingsStore settings;
  platform::QtCanBus canBus;
  link::PcanUsbOverCanBus canDriver;
  cpu::KernelSet kernels{std::vector<std::string>{}};
  devsim::BackplaneUnit unit{devsim::BackplaneConfig{}};
  std::unique_ptr<test::ModelOnLine> bridge;
  std::unique_ptr<gui::TMainForm> form;
};

} // namespace vk::guitest
