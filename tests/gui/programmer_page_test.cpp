// The Programmer page as the window renders it: where its controls sit, what the buttons allow
// for the selected target and the image, the info memo, the untyped-programming check box from
// the settings, and each button's click reaching the main controller.

#include "GuiTestSupport.h"
#include "image/Container.h"
#include "support/HexText.h"

#include <QCheckBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>

using namespace vk;
using guitest::LogLines;
using guitest::MemoLines;
using guitest::Window;
using guitest::WindowOptions;

namespace {

struct ButtonStates {
  bool detect, erase, program, multi;
  bool operator==(const ButtonStates&) const = default;
};
std::ostream& operator<<(std::ostream& os, const ButtonStates& s) {
  return os << "detect " << s.detect << " erase " << s.erase << " program " << s.program
            << " multi " << s.multi;
}

ButtonStates States(const gui::TProgrammerPage& p) {
  return {p.Buttons[0]->isEnabled(), p.Buttons[1]->isEnabled(), p.Buttons[2]->isEnabled(),
          p.Buttons[3]->isEnabled()};
}

std::string HexFile(Window& w, const std::string& name, std::uint32_t at = 0x1000,
                    std::size_t size = 0x100) {
  return w.WriteFile(name, test::HexText(at, test::Pattern(size)));
}

} // namespace

TEST(ProgrammerPage, ControlsSitWhereThePageSizePlacesThem) {
  // At the normal size by the page's height; enlarged, where they were at the normal size (the
  // memos grow); at the smallest size the window allows, all of them on the page.
  Window w;
  w.Show();
  gui::TProgrammerPage& p = *w.form->TabSheetProgrammer;
  p.StartAfterBox->show(); // as for a chip that can start its program
  int normalHeight = 0;
  for (const QSize size : {QSize(582, 465), QSize(900, 700), QSize(1, 1)}) {
    w.form->resize(size);
    w.ShowPage(&p);
    const int H = p.height(), W = p.width();
    if (normalHeight == 0) normalHeight = H;
    const int base = std::clamp(H, 330, normalHeight);
    SCOPED_TRACE("page " + std::to_string(W) + "x" + std::to_string(H));
    EXPECT_EQ(p.UntypedBox->geometry().topLeft(), QPoint(8, base - 322));
    EXPECT_GE(p.UntypedBox->width(), 153);
    const int tops[4] = {301, 271, 241, 211};
    const char* captions[4] = {"Detect", "Erase", "Program", "MultiProgram"};
    const char* hints[4] = {"Detect Kestron module", "Erase module", "Program module",
                            "Program multiple QRD14 modules"};
    for (int i = 0; i < 4; ++i) {
      const QPushButton* b = p.Buttons[static_cast<std::size_t>(i)];
      EXPECT_EQ(b->geometry().topLeft(), QPoint(8, base - tops[i])) << captions[i];
      EXPECT_LE(b->height(), 30) << "rows 30 pixels apart must not overlap";
      EXPECT_EQ(b->text().toStdString(), captions[i]);
      EXPECT_EQ(b->toolTip().toStdString(), hints[i]);
      EXPECT_EQ(b->property("Tag").toInt(), i);
    }
    const QRect multi = p.Buttons[3]->geometry();
    EXPECT_EQ(p.FirstLabel->text().toStdString(), "First");
    EXPECT_EQ(p.LastLabel->text().toStdString(), "Last");
    EXPECT_EQ(p.FirstLabel->geometry().topLeft(), QPoint(multi.x(), multi.bottom() + 1 + 4));
    EXPECT_EQ(p.FirstBox->geometry(),
              QRect(p.FirstLabel->geometry().right() + 1 + 4, multi.bottom() + 1 + 4,
                    multi.right() + 2 - (p.FirstLabel->geometry().right() + 1 + 4),
                    p.FirstBox->height()));
    EXPECT_EQ(p.LastBox->geometry(), QRect(p.FirstBox->x(), p.FirstBox->geometry().bottom() + 1 + 4,
                                           p.FirstBox->width(), p.LastBox->height()));
    EXPECT_EQ(p.FirstBox->toolTip().toStdString(), "First QRD14 module to program");
    EXPECT_EQ(p.LastBox->toolTip().toStdString(), "Last QRD14 module to program");

    const int ph = p.Progress->height();
    EXPECT_EQ(p.Progress->geometry(), QRect(8, H - ph - 8, W - 16, ph));
    const QRect detect = p.Buttons[0]->geometry();
    const int infoLeft = detect.x() + detect.width() + 16;
    EXPECT_EQ(p.InfoMemo->geometry(),
              QRect(infoLeft, detect.y(), (W - infoLeft - 4) / 2, H - detect.y() - ph - 16));
    const int logLeft = p.InfoMemo->geometry().right() + 1 + 2;
    const int logTop = p.LogTitle->geometry().bottom() + 2;
    EXPECT_EQ(p.LogTitle->y(), detect.y());
    EXPECT_EQ(p.LogMemo->geometry(), QRect(logLeft, logTop, W - logLeft - 4, H - logTop - ph - 16));
    EXPECT_FALSE(p.StartAfterBox->geometry().intersects(p.LogTitle->geometry()));
    EXPECT_LE(p.StartAfterBox->geometry().right(), W);
    EXPECT_TRUE(p.InfoMemo->isReadOnly());
    EXPECT_TRUE(p.LogMemo->isReadOnly());
    EXPECT_EQ(p.InfoMemo->frameShape(), QFrame::NoFrame);
    // Every button and box reachable: on the page, above the progress bar.
    for (const QWidget* c :
         {static_cast<const QWidget*>(p.Buttons[0]), static_cast<const QWidget*>(p.Buttons[3]),
          static_cast<const QWidget*>(p.LastBox)})
      EXPECT_TRUE(p.rect().contains(c->geometry()) && c->geometry().bottom() < p.Progress->y())
          << c->metaObject()->className();
  }
}

TEST(ProgrammerPage, ButtonsAndInfoFollowTheTargetAndTheImage) {
  test::PtyPair com1;
  ASSERT_TRUE(com1.Ok());
  Window w(WindowOptions::WithPort(1, com1.SlavePath()));
  w.Show();
  gui::TMainForm& f = *w.form;
  gui::TProgrammerPage& p = *f.TabSheetProgrammer;

  // At start the root is selected and nothing is loaded.
  w.ShowPage(&p);
  EXPECT_EQ(States(p), (ButtonStates{true, true, false, false}));
  EXPECT_EQ(MemoLines(p.InfoMemo), (std::vector<std::string>{"Kestron #0", "", "COM1, 115200bps"}));

  // A module behind the programmer unit, chosen with the mouse.
  w.ClickTarget("QRD14");
  EXPECT_EQ(f.Status().PanelText(0), "Target selected");
  EXPECT_EQ(f.Status().PanelText(1), "QRD14");
  w.ShowPage(&p);
  EXPECT_EQ(States(p), (ButtonStates{false, true, false, false})) << "no image yet";
  w.ShowPage(f.TabSheetTarget);

  // With an image Program is allowed. The page is refreshed each time it is shown: the
  // address chosen after the load is in the info memo.
  f.LoadFiles({QString::fromStdString(HexFile(w, "app.hex"))});
  EXPECT_EQ(f.PageControl->currentWidget(), f.TabSheetTarget) << "a HEX file stays on the page";
  f.TabSheetTarget->cbxAddr->setCurrentIndex(64);
  w.ShowPage(&p);
  EXPECT_EQ(States(p), (ButtonStates{false, true, true, true}));
  EXPECT_EQ(MemoLines(p.InfoMemo),
            (std::vector<std::string>{"QRD14 #64", "", "COM1, 115200bps", "app.hex",
                                      "Start= 1000, End= 1100", "INTEL-HEX File."}));
  EXPECT_EQ(p.FirstBox->count(), 256);
  EXPECT_EQ(p.FirstBox->currentIndex(), 0);
  EXPECT_EQ(p.LastBox->currentIndex(), 0) << "the address when the page was first shown";
  // The range the operator sets stays through other pages and loads.
  p.FirstBox->setCurrentIndex(7);
  p.LastBox->setCurrentIndex(9);
  w.ShowPage(f.TabSheetTarget);
  f.LoadFiles({QString::fromStdString(HexFile(w, "app.hex"))});
  w.ShowPage(&p);
  EXPECT_EQ(p.FirstBox->currentIndex(), 7);
  EXPECT_EQ(p.LastBox->currentIndex(), 9);

  // A CPU programmed through its own boot loader: neither Detect nor Erase, from the click on
  // (not only once the page is shown again); Detect's hint says why it is off.
  w.ClickTarget("QRE15");
  EXPECT_EQ(States(p), (ButtonStates{false, false, true, false}));
  EXPECT_EQ(p.Buttons[0]->toolTip().toStdString(),
            programmer::ProgrammerPagePresenter::kDetectDisabledHint);
  // Its boot kernel did not load: the run fails before anything is sent. The log's next line
  // gives the reason; the operation panel just says "Failed".
  w.ShowPage(&p);
  QTest::mouseClick(p.Buttons[2], Qt::LeftButton);
  EXPECT_EQ(LogLines(p.LogMemo),
            (std::vector<std::string>{"app.hex (Start= 1000, End= 1100) merged into the image of "
                                      "app.hex; a run writes all of it: Start= 1000, End= 1100",
                                      "QRE15 #64 Failed",
                                      "  boot kernel kernelA.a20 did not load; nothing was sent"}));
  EXPECT_EQ(f.Status().PanelText(0), "Failed");
  EXPECT_EQ(com1.ReadAvailable(200), "");
  // A target that only checks says so in the summary.
  w.ClickTarget("Cortex-M3");
  w.ShowPage(&p);
  EXPECT_TRUE(MemoLines(p.InfoMemo)
                  .back()
                  .starts_with("Cortex-M3 only checks the chip: nothing is written"));
  w.ClickTarget("Kestron");
  EXPECT_EQ(States(p), (ButtonStates{true, true, true, false}));
  EXPECT_EQ(p.Buttons[0]->toolTip().toStdString(), "Detect Kestron module");
  // A boot loader on the port itself has no module number to show.
  w.ClickTarget("AT89C51RD2");
  w.ShowPage(&p);
  EXPECT_EQ(MemoLines(p.InfoMemo).front(), "AT89C51RD2");

  // After Clear nothing can be programmed, whatever is selected.
  w.ClickTarget("QRD14");
  f.TabSheetBuffer->btBufferClear->click();
  w.ShowPage(&p);
  EXPECT_EQ(States(p), (ButtonStates{false, true, false, false}));
  EXPECT_EQ(MemoLines(p.InfoMemo), (std::vector<std::string>{"QRD14 #64", "", "COM1, 115200bps"}));

  // A container for a QRD14 selects it and brings this page to the front by itself.
  w.ClickTarget("Kestron");
  image::ContainerContent c;
  c.targets = {0x88000001u};
  c.message = "Release 7";
  const std::string body = test::HexText(0x1000, test::Pattern(0x40));
  c.body.assign(body.begin(), body.end());
  const auto bytes = image::BuildContainer(c);
  f.LoadFiles(
      {QString::fromStdString(w.WriteFile("fw.vkf", std::string(bytes.begin(), bytes.end())))});
  w.Pump();
  EXPECT_EQ(f.PageControl->currentWidget(), &p);
  EXPECT_EQ(f.Status().PanelText(1), "QRD14");
  EXPECT_EQ(States(p), (ButtonStates{false, true, true, true}));
  EXPECT_EQ(MemoLines(p.InfoMemo),
            (std::vector<std::string>{"QRD14 #64", "", "COM1, 115200bps", "fw.vkf",
                                      "Start= 1000, End= 1040", "VKF Info:", "Release 7",
                                      "VKF Targets:", "88000001"}));
}

TEST(ProgrammerPage, UntypedBoxFollowsTheSetting) {
  struct Case {
    std::optional<std::string> value;
    bool shown, ticked;
  };
  const Case cases[] = {{std::nullopt, false, false},
                        {std::string("True"), true, true},
                        {std::string("true"), true, false},
                        {std::string("yes"), true, false}};
  for (const auto& c : cases) {
    WindowOptions o;
    o.untyped = c.value;
    Window w(o);
    w.Show();
    w.ShowPage(w.form->TabSheetProgrammer);
    const QCheckBox* box = w.form->TabSheetProgrammer->UntypedBox;
    const std::string label = c.value.value_or("(missing)");
    EXPECT_EQ(box->text().toStdString(), "Allow untyped programming");
    EXPECT_EQ(box->isVisible(), c.shown) << label;
    EXPECT_EQ(box->isEnabled(), c.shown) << label;
    EXPECT_EQ(box->isChecked(), c.ticked) << label;
    // What the user ticks is what the run goes by.
    if (c.shown) {
      QTest::mouseClick(const_cast<QCheckBox*>(box), Qt::LeftButton, {},
                        QPoint(6, box->height() / 2));
      EXPECT_EQ(w.S().page->UntypedAllowed(), !c.ticked) << label;
    } else {
      EXPECT_FALSE(w.S().page->UntypedAllowed());
    }
  }
}

TEST(ProgrammerPage, EachButtonReachesTheController) {
  WindowOptions untypedAllowed;
  untypedAllowed.untyped = "True"; // the HEX file below names no module type
  Window w(untypedAllowed);
  w.Show();
  gui::TMainForm& f = *w.form;
  gui::TProgrammerPage& p = *f.TabSheetProgrammer;
  app::MainController& c = *w.S().controller;
  f.LoadFiles({QString::fromStdString(HexFile(w, "app.hex"))});

  // Detect (the root is selected).
  w.ShowPage(&p);
  QTest::mouseClick(p.Buttons[0], Qt::LeftButton);
  EXPECT_EQ(c.Mode(), app::ControllerMode::Detect);
  EXPECT_EQ(f.Status().PanelText(0), "Detecting ...");
  c.ResetController();

  // Erase detects the module at once (it asks before erasing); a second Erase finds the
  // programmer busy.
  QTest::mouseClick(p.Buttons[1], Qt::LeftButton);
  EXPECT_EQ(c.Mode(), app::ControllerMode::Detect);
  EXPECT_EQ(f.Status().PanelText(0), "Detecting ...");
  QTest::mouseClick(p.Buttons[1], Qt::LeftButton);
  EXPECT_EQ(f.Status().PanelText(2), "Programmer busy");
  w.S().prg->StopRun();
  c.ResetController();

  // Program with a group selected asks for a target.
  w.ClickTarget("QRE");
  w.ShowPage(&p);
  ASSERT_TRUE(p.Buttons[2]->isEnabled());
  QTest::mouseClick(p.Buttons[2], Qt::LeftButton);
  ASSERT_EQ(w.recorded.boxes.size(), 1u);
  EXPECT_EQ(w.recorded.boxes[0].text, "No target selected");
  EXPECT_EQ(w.recorded.boxes[0].caption, "Program");

  // MultiProgram from 5 down to 3 starts at 3, shown in the address box.
  w.ClickTarget("QRD14");
  w.ShowPage(&p);
  p.FirstBox->setCurrentIndex(5);
  p.LastBox->setCurrentIndex(3);
  QTest::mouseClick(p.Buttons[3], Qt::LeftButton);
  EXPECT_EQ(c.Mode(), app::ControllerMode::Detect);
  EXPECT_EQ(c.CurModule, 3);
  EXPECT_EQ(c.LastModule, 3);
  EXPECT_EQ(f.TabSheetTarget->cbxAddr->currentText().toStdString(), "3");
  w.S().prg->StopRun();
  c.ResetController();

  // Program on the module reads the address box.
  f.TabSheetTarget->cbxAddr->setCurrentIndex(9);
  QTest::mouseClick(p.Buttons[2], Qt::LeftButton);
  EXPECT_EQ(c.CurModule, 9);
  EXPECT_EQ(c.Mode(), app::ControllerMode::Detect);
  EXPECT_EQ(f.Status().PanelText(0), "Detecting ...");
  w.S().prg->StopRun();
  c.ResetController();

  // Untyped programming not allowed: the run could only end in the mismatch error that closes
  // the program, so Program says so at once and nothing starts.
  p.UntypedBox->setChecked(false);
  QTest::mouseClick(p.Buttons[2], Qt::LeftButton);
  ASSERT_EQ(w.recorded.boxes.size(), 2u);
  EXPECT_EQ(w.recorded.boxes[1].caption, "Program");
  EXPECT_EQ(c.Mode(), app::ControllerMode::Idle);
  EXPECT_FALSE(w.S().prg->RunActive());
  EXPECT_EQ(f.Status().PanelText(0), "Programming aborted");
}

TEST(ProgrammerPage, SummaryTreeAndStatusFollowDetectionAndMultiProgram) {
  guitest::SimWindow w;
  for (const std::uint8_t a : {7, 8}) w.unit.AddModule(a, 136);
  w.AttachUnit();
  gui::TMainForm& f = *w.form;
  gui::TProgrammerPage& p = *f.TabSheetProgrammer;
  f.show();
  f.Start({});
  const auto idle = [&] {
    return w.S().controller->Mode() == app::ControllerMode::Idle && !w.S().prg->RunActive();
  };

  // A HEX file leaves the root selected; Detect at 7 finds a QRD14 there.
  w.Load("app.hex", test::HexText(0x1000, test::Pattern(0x100)));
  f.TabSheetTarget->cbxAddr->setCurrentIndex(7);
  f.PageControl->setCurrentWidget(&p);
  p.Buttons[0]->click();
  ASSERT_TRUE(w.RunUntil([&] { return idle() && w.S().controller->DetectedType == 136; }));
  EXPECT_EQ(w.Summary(), "QRD14 #7, COM1, 115200bps");
  EXPECT_EQ(w.Highlighted(), "QRD14");
  EXPECT_EQ(f.Status().PanelText(1), "QRD14");

  // MultiProgram 7..8: the summary names the module being programmed; afterwards the address
  // box and the summary are back on the module the user chose.
  image::ContainerContent c;
  c.targets = {0x88000000u};
  const std::string body = test::HexText(0x1000, test::Pattern(0x100));
  c.body.assign(body.begin(), body.end());
  const auto bytes = image::BuildContainer(c);
  w.Load("fw.vkf", std::string(bytes.begin(), bytes.end()));
  p.FirstBox->setCurrentIndex(7);
  p.LastBox->setCurrentIndex(8);
  f.TabSheetTarget->cbxAddr->setCurrentIndex(3);
  f.PageControl->setCurrentWidget(f.TabSheetTarget);
  f.PageControl->setCurrentWidget(&p);
  p.Buttons[3]->click();
  ASSERT_TRUE(w.RunUntil([&] {
    return f.TabSheetTarget->cbxAddr->currentIndex() == 8 &&
           f.Status().PanelText(0) == "Programming Module";
  }));
  EXPECT_EQ(w.Summary(), "QRD14 #8, COM1, 115200bps");
  ASSERT_TRUE(w.RunUntil(idle));
  EXPECT_EQ(LogLines(p.LogMemo),
            (std::vector<std::string>{"QRD14 #7 Programmed OK", "QRD14 #8 Programmed OK",
                                      "MultiProgram: 2 of 2 programmed"}));
  EXPECT_EQ(f.TabSheetTarget->cbxAddr->currentIndex(), 3);
  EXPECT_EQ(w.Summary(), "QRD14 #3, COM1, 115200bps");
  EXPECT_EQ(w.Highlighted(), "QRD14");
  EXPECT_EQ(p.FirstBox->currentIndex(), 7);
  EXPECT_EQ(p.LastBox->currentIndex(), 8);

  // No module at 9: the reason says what else to check.
  f.TabSheetTarget->cbxAddr->setCurrentIndex(9);
  p.Buttons[2]->click();
  ASSERT_TRUE(w.RunUntil(idle));
  EXPECT_EQ(LogLines(p.LogMemo).back(),
            "QRD14 #9 Failed: no answer to \"OP 9\"; nothing written (no module at that address, "
            "or check the speed and the port: COM1 at 115200 bit/s)");

  // The adapter is pulled mid-run: the box blames the port, the log says what it may have
  // done to the module, and a run fails at once naming the port.
  f.TabSheetTarget->cbxAddr->setCurrentIndex(7);
  p.Buttons[2]->click();
  ASSERT_TRUE(w.RunUntil([&] { return f.Status().PanelText(0) == "Programming Module"; }));
  w.line->HangUp(EIO);
  ASSERT_TRUE(w.RunUntil([&] { return !w.recorded.boxes.empty() && idle(); }));
  EXPECT_EQ(w.recorded.boxes[0].caption, "Connection lost");
  EXPECT_EQ(LogLines(p.LogMemo).back(), "QRD14 #7 may now be erased and half written: program "
                                        "it again once the port is back");
  f.TabSheetTarget->cbxAddr->setCurrentIndex(9);
  const std::string gone = "COM1 (sim:COM1) has gone: reconnect it, then choose the port again";
  p.Buttons[2]->click();
  ASSERT_TRUE(w.RunUntil(idle));
  EXPECT_EQ(LogLines(p.LogMemo).back(), "QRD14 #9 Failed: " + gone);
  EXPECT_EQ(f.Status().PanelText(3), gone);
}
