// Message boxes as QMessageBoxes, the "ID Mismatch" question and error as the window shows them
// (the error ends the program), the start-up notice of missing kernels, and the Save dialog with
// its proposal and the name-ending rule.

#include "GuiTestSupport.h"
#include "image/Container.h"
#include "support/HexText.h"
#include "support/SpawnedProcess.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>

#include <fstream>

using namespace vk;
using guitest::ButtonNamed;
using guitest::ModalWatcher;
using guitest::Window;
using guitest::WindowOptions;

namespace {

struct SeenBox {
  std::string title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  std::vector<std::string> buttons;
  std::string defaultButton; // the one Enter presses
  QWidget* parent = nullptr;
  int width = 0;
};

// Records the next message box and presses the button with this text.
std::unique_ptr<ModalWatcher> Answer(SeenBox& seen, const QString& button) {
  return std::make_unique<ModalWatcher>([&seen, button](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (box == nullptr) return;
    seen.title = box->windowTitle().toStdString();
    seen.text = box->text().toStdString();
    seen.icon = box->icon();
    seen.parent = box->parentWidget();
    seen.width = box->width();
    for (QAbstractButton* b : box->buttons())
      seen.buttons.push_back(b->text().remove('&').toStdString());
    std::sort(seen.buttons.begin(), seen.buttons.end());
    if (box->defaultButton())
      seen.defaultButton = box->defaultButton()->text().remove('&').toStdString();
    if (QAbstractButton* b = ButtonNamed(box, button)) b->click();
  });
}

} // namespace

TEST(MessageBoxes, ShowTheEngineTextsVerbatim) {
  WindowOptions o;
  o.realBoxes = true;
  Window w(o);
  w.Show();
  platform::IMessageBox& boxes = w.qtBoxes;

  SeenBox seen;
  auto watcher = Answer(seen, "No");
  const auto answer = boxes.Show("first line\rsecond & line\r", "Can't Open File",
                                 platform::MsgButtons::YesNo, platform::MsgIcon::Warning);
  ASSERT_TRUE(watcher->opened);
  EXPECT_EQ(answer, platform::MsgAnswer::No);
  EXPECT_EQ(seen.title, "Can't Open File");
  EXPECT_EQ(seen.text, "first line\nsecond & line");
  EXPECT_EQ(seen.icon, QMessageBox::Warning);
  EXPECT_EQ(seen.buttons, (std::vector<std::string>{"No", "Yes"}));
  EXPECT_EQ(seen.parent, w.form.get()) << "the box belongs to the window";

  SeenBox error;
  watcher = Answer(error, "OK");
  EXPECT_EQ(boxes.Show("<b>not bold</b>", "Format Error", platform::MsgButtons::Ok,
                       platform::MsgIcon::Error),
            platform::MsgAnswer::Ok);
  EXPECT_EQ(error.text, "<b>not bold</b>");
  EXPECT_EQ(error.icon, QMessageBox::Critical);
  EXPECT_EQ(error.buttons, (std::vector<std::string>{"OK"}));

  SeenBox yes;
  watcher = Answer(yes, "Yes");
  EXPECT_EQ(boxes.Show("q", "Boot programming kernels: a title longer than the text",
                       platform::MsgButtons::YesNo, platform::MsgIcon::Question),
            platform::MsgAnswer::Yes);
  EXPECT_EQ(yes.icon, QMessageBox::Question);
  // A short text never makes the box narrower than its title needs.
  QMessageBox probe;
  probe.setWindowTitle(QString::fromStdString(yes.title));
  EXPECT_GE(yes.width, gui::QtMessageBox::TitleWidth(probe));
}

TEST(MessageBoxes, MissingKernelsMakeOneStartUpNotice) {
  test::TempDir dir;
  std::ofstream(dir.File("kernelA.a20")); // empty: no kernel
  const cpu::KernelSet kernels(std::vector<std::string>{dir.Path()});
  const auto notice = gui::KernelWarning(kernels.Warnings(), {dir.Path()});
  EXPECT_EQ(notice.caption, "Boot programming kernels");
  EXPECT_EQ(notice.text,
            "boot kernel " + dir.File("kernelA.a20") +
                ": no S1 data (empty file)\rThe 'kernelA' boot programming kernel will not be "
                "available\rUsed for QRE15, QRE16, QRH and H8/3672\r\r"
                "Can't open file kernelB.a20\rThe 'kernelB' boot programming kernel will not be "
                "available\r"
                "Used for QRE17, QRF18 mkII and H8/3664\r\r"
                "Can't open file kernelC.a20\rThe 'kernelC' boot programming kernel will not be "
                "available\r"
                "Used for H8/3687\r\rLooked in: " +
                dir.Path() +
                "\rTo use kernels kept elsewhere, set VKPROG_KERNEL_DIR to their folder and start "
                "the program again.");
  EXPECT_TRUE(gui::KernelWarning({}, {}).text.empty());
}

namespace {
// A programmer unit with a QRD14 module at address 0, on the window's COM1: Program detects the
// module before it checks the firmware against its type.
struct UnitOnCom1 {
  UnitOnCom1()
      : sim(std::string(VK_BIN_DIR) + "/vkdevsim",
            {"backplane", "--module", "0:136", "--no-pace"}) {
    if (const auto line = sim.ReadLine(5000); line && line->rfind("PORT ", 0) == 0)
      options.ports[1] = line->substr(5);
    options.realBoxes = true;
  }
  void Open(Window& w) {
    gui::TTargetPage& target = *w.form->TabSheetTarget;
    target.cbxCOM->setCurrentIndex(1);
    emit target.cbxCOM->activated(1);
    ASSERT_TRUE(w.RunUntil([&] { return w.S().comm->IsOpen(); }, 3000));
  }
  test::SpawnedProcess sim;
  WindowOptions options;
};
} // namespace

TEST(MessageBoxes, MismatchQuestionAndTheErrorThatEndsTheProgram) {
  const std::string lines =
      "The Firmware in this programmer\ndoes not match the ID from the\nselected module.\n"
      "Module #0: QRD14 (type 136)\nFirmware for: none (the file names no module type)";
  {
    // Untyped programming allowed: the question; No aborts and the window stays.
    UnitOnCom1 unit;
    unit.options.untyped = "True";
    Window w(unit.options);
    w.Show();
    w.form->Start({});
    unit.Open(w);
    w.form->LoadFiles(
        {QString::fromStdString(w.WriteFile("app.hex", test::HexText(0x1000, test::Pattern(64))))});
    w.ClickTarget("QRD14");
    SeenBox seen;
    auto watcher = Answer(seen, "No");
    w.ShowPage(w.form->TabSheetProgrammer);
    QTest::mouseClick(w.form->TabSheetProgrammer->Buttons[2], Qt::LeftButton);
    ASSERT_TRUE(
        w.RunUntil([&] { return w.form->Status().PanelText(0) == "Programming aborted"; }, 3000));
    EXPECT_EQ(seen.title, "ID Mismatch");
    EXPECT_EQ(seen.text, lines + "\nDo You want to proceed anyway ?");
    EXPECT_EQ(seen.icon, QMessageBox::Warning);
    EXPECT_EQ(seen.buttons, (std::vector<std::string>{"No", "Yes"}));
    EXPECT_EQ(seen.defaultButton, "No") << "Enter never programs a module the firmware is not for";
    w.Pump(100);
    EXPECT_TRUE(w.form->isVisible());
    EXPECT_TRUE(w.S().TickRunning()) << "the tick runs again after the question";
  }
  {
    // Not allowed, firmware for another type: the error says the program ends, and it does.
    UnitOnCom1 unit;
    Window w(unit.options);
    w.Show();
    w.form->Start({});
    unit.Open(w);
    image::ContainerContent forQra11;
    forQra11.targets = {0x85000000};
    const std::string body = test::HexText(0x4000, test::Pattern(64));
    forQra11.body.assign(body.begin(), body.end());
    const auto container = image::BuildContainer(forQra11);
    w.form->LoadFiles({QString::fromStdString(
        w.WriteFile("qra11.vkf", std::string(container.begin(), container.end())))});
    w.ClickTarget("QRD14");
    SeenBox seen;
    auto watcher = Answer(seen, "OK");
    w.ShowPage(w.form->TabSheetProgrammer);
    QTest::mouseClick(w.form->TabSheetProgrammer->Buttons[2], Qt::LeftButton);
    // The program's own event loop runs until the program ends itself; a minute is the limit.
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    limit.start(60000);
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(w.form->isVisible());
    EXPECT_EQ(seen.title, "ID Mismatch");
    EXPECT_EQ(seen.text, "The Firmware in this programmer\ndoes not match the ID from the\n"
                         "selected module.\nModule #0: QRD14 (type 136)\n"
                         "Firmware for: QRA11 (type 133)\nThe program will close now.");
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    EXPECT_EQ(seen.buttons, (std::vector<std::string>{"OK"}));
    EXPECT_EQ(w.form->Status().PanelText(0), "Programming aborted");
  }
}

TEST(SaveDialog, ProposesByTargetAndWritesByTheNameEnding) {
  Window w;
  w.Show();
  gui::TMainForm& f = *w.form;
  f.LoadFiles(
      {QString::fromStdString(w.WriteFile("app.hex", test::HexText(0x1000, test::Pattern(64))))});

  // No target: the box, no dialog.
  f.mnSave->trigger();
  ASSERT_EQ(w.recorded.boxes.size(), 1u);
  EXPECT_EQ(w.recorded.boxes[0].text, "You must select a target");
  EXPECT_EQ(w.recorded.boxes[0].caption, "Programming");
  w.recorded.Reset();

  const auto save = [&](const std::function<void(QFileDialog&)>& choose) {
    QStringList filters;
    QString selected, suffix, proposed;
    ModalWatcher watcher([&](QWidget* modal) {
      auto* d = qobject_cast<QFileDialog*>(modal);
      ASSERT_NE(d, nullptr);
      filters = d->nameFilters();
      selected = d->selectedNameFilter();
      suffix = d->defaultSuffix();
      proposed = d->selectedFiles().value(0);
      choose(*d);
    });
    f.mnSave->trigger();
    EXPECT_TRUE(watcher.opened) << "kind " << int(w.S().prg->Node().CpuKind);
    return std::make_tuple(filters, selected, suffix, proposed);
  };

  // A backplane module: "image" as S-records; the name typed decides the format.
  w.ClickTarget("QRD14");
  const QString dir = QString::fromStdString(w.dir.Path());
  auto [filters, selected, suffix, proposed] = save([&](QFileDialog& d) {
    guitest::TypeName(d, dir + "/out.HEX");
    guitest::PressAccept(d);
  });
  // Only the types Save writes.
  EXPECT_EQ(filters, (QStringList{"Hex Intel (*.hex)", "Motorola S-Record (*.a20)"}));
  EXPECT_EQ(selected.toStdString(), "Motorola S-Record (*.a20)");
  EXPECT_EQ(suffix.toStdString(), "a20");
  EXPECT_TRUE(proposed.endsWith("/image.a20")) << proposed.toStdString();
  const std::string hex = guitest::ReadFile(w.dir.File("out.HEX"));
  ASSERT_FALSE(hex.empty());
  EXPECT_EQ(hex[0], ':') << "Intel HEX although the S-record type was selected";
  EXPECT_EQ(f.Status().PanelText(0), "Saved " + w.dir.File("out.HEX"));

  // A bare name gets the proposed ending and is written as S-records.
  save([&](QFileDialog& d) {
    guitest::TypeName(d, dir + "/bare");
    guitest::PressAccept(d);
  });
  const std::string srec = guitest::ReadFile(w.dir.File("bare.a20"));
  ASSERT_FALSE(srec.empty());
  EXPECT_EQ(srec[0], 'S');

  // Open starts in the folder saved to last.
  QString openedIn;
  {
    ModalWatcher watcher([&](QWidget* modal) {
      auto* d = qobject_cast<QFileDialog*>(modal);
      ASSERT_NE(d, nullptr);
      openedIn = d->directory().absolutePath();
      d->reject();
    });
    f.mnOpen->trigger();
  }
  EXPECT_EQ(openedIn.toStdString(), QDir(dir).absolutePath().toStdString());

  // Choosing the Intel HEX type makes a bare name end in ".hex".
  save([&](QFileDialog& d) {
    auto* types = d.findChild<QComboBox*>("fileTypeCombo");
    ASSERT_NE(types, nullptr);
    types->setCurrentIndex(0);
    // The user picks "Hex Intel": the list reports it as it does.
    emit types->activated(0);
    emit types->textActivated(types->itemText(0));
    guitest::TypeName(d, dir + "/typed");
    guitest::PressAccept(d);
  });
  EXPECT_EQ(guitest::ReadFile(w.dir.File("typed.hex")).substr(0, 1), ":");

  // Cancelled: nothing written, no box.
  save([](QFileDialog& d) { d.reject(); });
  EXPECT_TRUE(w.recorded.boxes.empty());

  // A container's ending typed by hand: refused, as no container is written.
  save([&](QFileDialog& d) {
    guitest::TypeName(d, dir + "/typed.vkf");
    guitest::PressAccept(d);
  });
  ASSERT_EQ(w.recorded.boxes.size(), 1u);
  EXPECT_EQ(w.recorded.boxes[0].caption, "Save");
  EXPECT_TRUE(guitest::ReadFile(w.dir.File("typed.vkf")).empty());
  w.recorded.Reset();

  // A file that cannot be written is reported, and nothing else happens.
  save([&](QFileDialog& d) {
    guitest::TypeName(d, "/proc/vk-no-such-folder/out.hex");
    guitest::PressAccept(d);
  });
  ASSERT_EQ(w.recorded.boxes.size(), 1u);
  EXPECT_EQ(w.recorded.boxes[0].caption, "V&K Programmer 2.4");
  EXPECT_NE(w.recorded.boxes[0].text.find("/proc/vk-no-such-folder/out.hex"), std::string::npos)
      << w.recorded.boxes[0].text;
  EXPECT_EQ(w.recorded.boxes[0].icon, platform::MsgIcon::Error);
  EXPECT_TRUE(f.isVisible());
}

TEST(MessageBoxes, TheQuitQuestionFollowsTheRunBehindIt) {
  guitest::App();
  bool busy = true;
  QString asked, afterRun;
  bool noFirst = false, yesAfter = false;
  guitest::ModalWatcher watcher([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(box, nullptr);
    asked = box->text();
    noFirst = box->defaultButton() == box->button(QMessageBox::No);
    busy = false; // the run ends while the question is open
    EXPECT_TRUE(QTest::qWaitFor([&] { return box->text() != asked; }, 2000));
    afterRun = box->text();
    yesAfter = box->defaultButton() == box->button(QMessageBox::Yes);
    box->button(QMessageBox::Yes)->click();
  });
  EXPECT_TRUE(gui::AskQuitWhileBusy(nullptr, "V&K Programmer", [&] { return busy; }));
  EXPECT_EQ(asked.toStdString(), gui::kQuitWhileBusyText);
  EXPECT_TRUE(noFirst);
  EXPECT_EQ(afterRun.toStdString(), gui::kQuitAfterRunText);
  EXPECT_TRUE(yesAfter);
}
