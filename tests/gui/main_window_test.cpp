// The main window as it starts: caption, size, pages, menus, selectors, hints and the status
// line's panels.

#include "GuiTestSupport.h"

#include <QEnterEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QTabWidget>

using namespace vk;
using guitest::ComboItems;
using guitest::Window;

namespace {

std::vector<int> PanelWidths(gui::TMainForm& form) {
  std::vector<int> widths;
  for (int i = 0; i < gui::QtStatusView::kPanels; ++i)
    widths.push_back(form.Status().Panel(i)->width());
  return widths;
}

std::vector<std::string> MenuTexts(const QMenu* menu) {
  std::vector<std::string> texts;
  for (const QAction* a : menu->actions())
    texts.push_back(a->isSeparator() ? "-" : a->text().toStdString());
  return texts;
}

} // namespace

TEST(MainWindow, StartsWiredWithItsInitialSelections) {
  test::PtyPair com1;
  ASSERT_TRUE(com1.Ok());
  Window w(guitest::WindowOptions::WithPort(1, com1.SlavePath()));
  gui::TMainForm& f = *w.form;
  w.Show();

  EXPECT_EQ(f.windowTitle().toStdString(), "V&K Programmer 2.4");
  EXPECT_EQ(f.size(), QSize(582, 465));
  const QRect screen = f.screen()->availableGeometry();
  EXPECT_LE((f.frameGeometry().center() - screen.center()).manhattanLength(), 2)
      << "window at " << f.frameGeometry().x() << "," << f.frameGeometry().y();

  std::vector<std::string> pages;
  for (int i = 0; i < f.PageControl->count(); ++i)
    pages.push_back(f.PageControl->tabText(i).toStdString());
  EXPECT_EQ(pages, (std::vector<std::string>{"Communication", "Target", "Programmer", "Buffer"}));
  EXPECT_EQ(f.PageControl->currentWidget(), f.TabSheetTarget);

  const gui::TTargetPage& t = *f.TabSheetTarget;
  EXPECT_EQ(ComboItems(t.cbxSpeed),
            (std::vector<std::string>{"115200", "57600", "38400", "19200", "9600"}));
  EXPECT_EQ(t.cbxSpeed->currentText().toStdString(), "115200");
  ASSERT_EQ(t.cbxAddr->count(), 256);
  EXPECT_EQ(t.cbxAddr->itemText(255).toStdString(), "255");
  EXPECT_EQ(t.cbxAddr->currentText().toStdString(), "0");
  // "PCAN" first, then the port that exists, chosen and opened, with its device as its hint.
  ASSERT_EQ(ComboItems(t.cbxCOM), (std::vector<std::string>{"PCAN", "COM1"}));
  EXPECT_EQ(t.cbxCOM->currentIndex(), 1);
  EXPECT_EQ(t.cbxCOM->itemData(1, Qt::ToolTipRole).toString().toStdString(), com1.SlavePath());
  EXPECT_TRUE(w.S().comm->IsOpen());
  // The CAN selectors are filled but wait for "PCAN".
  EXPECT_FALSE(t.cbxCANAddr->isEnabled());
  EXPECT_FALSE(t.cbxCANSpeed->isEnabled());
  EXPECT_EQ(t.cbxCANAddr->count(), 126);
  EXPECT_EQ(t.cbxCANAddr->itemText(0).toStdString(), "CAN_ADDR_1");
  EXPECT_GT(t.cbxCANSpeed->count(), 1);
  EXPECT_EQ(t.cbxCANSpeed->maxVisibleItems(), 10);
  for (const QComboBox* box : {t.cbxCOM, t.cbxSpeed, t.cbxCANAddr, t.cbxCANSpeed})
    EXPECT_FALSE(box->isEditable());
  // The address is typed: 7 is 7 (not 70), 70 is 70; what is no address is not taken.
  t.cbxAddr->lineEdit()->selectAll();
  QTest::keyClicks(t.cbxAddr->lineEdit(), "7");
  EXPECT_EQ(t.cbxAddr->currentIndex(), 7);
  QTest::keyClicks(t.cbxAddr->lineEdit(), "0x");
  EXPECT_EQ(t.cbxAddr->currentIndex(), 70);
  EXPECT_EQ(t.cbxAddr->lineEdit()->text().toStdString(), "70");
  // An entry whose modules sit at one address moves the box there visibly: log and highlight.
  const QColor plain = t.cbxAddr->lineEdit()->palette().color(QPalette::Base);
  w.ClickTarget("QRA11");
  EXPECT_EQ(t.cbxAddr->currentIndex(), 64);
  EXPECT_EQ(
      guitest::LogLines(f.TabSheetProgrammer->LogMemo),
      (std::vector<std::string>{"Address 64 set for QRA11 (its modules' address; it was 70)"}));
  EXPECT_NE(t.cbxAddr->lineEdit()->palette().color(QPalette::Base), plain);

  std::vector<std::string> labels;
  for (const QLabel* l : {t.lbCOM, t.lbSpeed, t.lbAddr, t.lbTarget, t.lbPCAN, t.lbCANdata})
    labels.push_back(l->text().toStdString());
  EXPECT_EQ(labels, (std::vector<std::string>{"Com Port", "Comm Speed", "Address", "Target",
                                              "PCAN Settings", "CAN data"}));
  EXPECT_EQ(t.btFindDev->text().toStdString(), "Find Device");

  // The catalogue as a tree: groups at the top, modules under them.
  const QTreeWidget* tree = t.TargetTreeView;
  ASSERT_GE(tree->topLevelItemCount(), 2);
  EXPECT_EQ(tree->topLevelItem(0)->text(0).toStdString(), "Kestron");
  ASSERT_EQ(tree->topLevelItem(0)->childCount(), 4);
  EXPECT_EQ(tree->topLevelItem(0)->child(3)->text(0).toStdString(), "QRD14");

  // Picking "PCAN" hands the link to CAN: the CAN selectors come alive, the COM port closes.
  t.cbxCOM->setCurrentIndex(0);
  emit t.cbxCOM->activated(0);
  w.Pump();
  EXPECT_TRUE(t.cbxCANAddr->isEnabled());
  EXPECT_TRUE(t.cbxCANSpeed->isEnabled());
  EXPECT_FALSE(w.S().comm->IsOpen());
  t.cbxCOM->setCurrentIndex(1);
  emit t.cbxCOM->activated(1);
  w.Pump();
  EXPECT_FALSE(t.cbxCANAddr->isEnabled());
  EXPECT_TRUE(w.RunUntil([&] { return w.S().comm->IsOpen(); }, 3000));

  // Picking a speed sets the link's bit rate.
  t.cbxSpeed->setCurrentIndex(4);
  emit t.cbxSpeed->activated(4);
  EXPECT_EQ(w.S().comm->GetBaudRate(), 9600u);

  // A CAN value text reaches the "CAN data" label with its counter.
  w.S().controller->CanReceived("17 42");
  EXPECT_EQ(t.lbCANdata->text().toStdString(), "[1] 17 42");
}

TEST(MainWindow, MenusCarryTheirCommandsAndHints) {
  Window w;
  gui::TMainForm& f = *w.form;
  w.Show();
  std::vector<std::string> menus;
  std::vector<const QMenu*> menuObjects;
  for (const QAction* a : f.menuBar()->actions()) {
    menus.push_back(a->text().toStdString());
    menuObjects.push_back(a->menu());
  }
  ASSERT_EQ(menus, (std::vector<std::string>{"&File", "Setup", "&Help"}));
  EXPECT_EQ(MenuTexts(menuObjects[0]),
            (std::vector<std::string>{"&Open...", "&Save", "&Clear", "&Read from Module",
                                      "Re&port...", "-", "E&xit"}));
  EXPECT_FALSE(f.mnReport->isChecked()) << "no report until one is chosen";
  // The entry selected at start cannot be read back: the item says which can.
  EXPECT_FALSE(f.mnReadModule->isEnabled());
  EXPECT_TRUE(
      f.mnReadModule->toolTip().endsWith("reading is offered for AT89C51RD2, Cortex-M3 Flash"))
      << f.mnReadModule->toolTip().toStdString();
  EXPECT_EQ(MenuTexts(menuObjects[1]), (std::vector<std::string>{"Search ..."}));
  EXPECT_EQ(MenuTexts(menuObjects[2]), (std::vector<std::string>{"&About..."}));

  // A menu item's hint shows in the fourth panel, not over the whole status line.
  const std::pair<QAction*, const char*> hints[] = {{f.mnOpen, "Open an existing file"},
                                                    {f.mnSave, "Save current file"},
                                                    {f.mnClear, "Clear program buffer"},
                                                    {f.mnExit, "Exit this application"},
                                                    {f.mnAbout, "Show program information"}};
  for (const auto& [action, hint] : hints) {
    action->showStatusText(f.menuBar());
    EXPECT_EQ(f.Status().PanelText(3), hint);
  }
  EXPECT_TRUE(f.statusBar()->currentMessage().isEmpty());
  f.mnAbout->trigger();
  ASSERT_EQ(w.recorded.boxes.size(), 1u);
  EXPECT_EQ(w.recorded.boxes[0].caption, "About V&K Programmer");
  EXPECT_EQ(w.recorded.boxes[0].text.rfind("V&K Programmer\rVersion 2.4\rBuild: ", 0), 0u);
  EXPECT_NE(w.recorded.boxes[0].text.find(std::string("\rQt ") + qVersion()), std::string::npos);

  // So does a control's hint when the pointer enters it; leaving clears it.
  const gui::TTargetPage& t = *f.TabSheetTarget;
  const std::pair<QWidget*, const char*> controls[] = {
      {t.cbxCOM, "Select COM port"},
      {t.cbxSpeed, "Set COM/CAN bits/sec. rate"},
      {t.cbxAddr, "Type or choose the module's address (0-255)"},
      {t.TargetTreeView, "Select the target device"},
      {t.btFindDev, "Search for device settings"}};
  for (const auto& [control, hint] : controls) {
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QApplication::sendEvent(control, &enter);
    EXPECT_EQ(f.Status().PanelText(3), hint);
    EXPECT_EQ(control->toolTip().toStdString(), hint);
  }
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(t.btFindDev, &leave);
  EXPECT_EQ(f.Status().PanelText(3), "");

  // Exit closes the window.
  f.mnExit->trigger();
  EXPECT_FALSE(f.isVisible());
}

TEST(MainWindow, StatusPanelsFollowTheWidthOfTheLine) {
  Window w;
  gui::TMainForm& f = *w.form;
  w.Show();
  ASSERT_EQ(f.statusBar()->width(), 582);
  EXPECT_EQ(PanelWidths(f), (std::vector<int>{216, 108, 108, 144})); // w = 582 div 16 = 36

  f.resize(800, 465);
  w.Pump();
  ASSERT_EQ(f.statusBar()->width(), 800);
  EXPECT_EQ(PanelWidths(f), (std::vector<int>{300, 150, 150, 200}));

  f.resize(810, 500);
  w.Pump();
  EXPECT_EQ(PanelWidths(f), (std::vector<int>{300, 150, 150, 200}));

  f.resize(576, 400);
  w.Pump();
  EXPECT_EQ(PanelWidths(f), (std::vector<int>{216, 108, 108, 144}));
  // Side by side from the left edge, in the order 0 to 3.
  EXPECT_EQ(f.Status().Panel(0)->x(), 0);
  EXPECT_EQ(f.Status().Panel(3)->x(), 432);

  // A text longer than its panel is cut short on screen but kept whole, and readable in full
  // from the panel's tooltip.
  const std::string longText = "Searching for device setting ... and a good deal more";
  f.Status().SetPanelText(0, longText);
  EXPECT_EQ(f.Status().PanelText(0), longText);
  EXPECT_EQ(f.Status().Panel(0)->toolTip().toStdString(), longText);
  f.Status().SetPanelText(0, "Idle");
  EXPECT_TRUE(f.Status().Panel(0)->toolTip().isEmpty());

  // The panels never hold the window at its width: it can be made as narrow as its pages allow.
  f.resize(400, 300);
  w.Pump();
  EXPECT_LT(f.width(), 576);
  EXPECT_EQ(f.width(), std::max(400, f.minimumSizeHint().width()));
  const int w16 = f.statusBar()->width() / 16;
  EXPECT_EQ(PanelWidths(f), (std::vector<int>{6 * w16, 3 * w16, 3 * w16, 4 * w16}));
}

TEST(MainWindow, RemembersSizePlaceSpeedAndAddress) {
  guitest::SimWindow w;
  w.form->show();
  w.form->setGeometry(40, 50, 700, 520);
  gui::TTargetPage* t = w.form->TabSheetTarget;
  t->cbxSpeed->setCurrentIndex(2);
  emit t->cbxSpeed->activated(2);
  t->cbxAddr->setCurrentIndex(9);
  w.form->close();

  // The next run, on the same settings.
  w.form = std::make_unique<gui::TMainForm>(
      w.loop, w.recorded, w.kernels, app::SessionDevices{w.serialPorts, w.canDriver, &w.settings});
  w.form->show();
  EXPECT_EQ(w.form->geometry(), QRect(40, 50, 700, 520));
  EXPECT_EQ(w.form->TabSheetTarget->cbxSpeed->currentText().toStdString(), "38400");
  EXPECT_EQ(w.S().comm->GetBaudRate(), 38400u) << "the link takes the remembered speed";
  EXPECT_EQ(w.form->TabSheetTarget->cbxAddr->currentIndex(), 9);
}
