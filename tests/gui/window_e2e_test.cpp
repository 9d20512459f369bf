// End to end through the window: a simulated programmer unit in a vkdevsim process behind a
// real pseudo-terminal named COM1, a container opened with File > Open, Program pressed with
// the mouse; the window's controller detects the module and programs it.

#include "GuiTestSupport.h"
#include "image/Container.h"
#include "support/HexText.h"
#include "support/SpawnedProcess.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>

#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>

using namespace vk;
using guitest::LogLines;
using guitest::MemoLines;
using guitest::ModalWatcher;
using guitest::Window;
using guitest::WindowOptions;

TEST(WindowEndToEnd, DetectsAndProgramsASimulatedModule) {
  guitest::App();
  test::SpawnedProcess sim(std::string(VK_BIN_DIR) + "/vkdevsim",
                           {"backplane", "--module", "7:136", "--erase-ms", "100", "--no-pace"});
  ASSERT_TRUE(sim.Started());
  const auto portLine = sim.ReadLine(5000);
  ASSERT_TRUE(portLine && portLine->rfind("PORT ", 0) == 0) << sim.Stderr();
  const std::string path = portLine->substr(5);

  // COM1 is the simulator's terminal, named the way a user names one; no other port shows.
  test::ScopedEnv env("VK_SERIAL_PORTS", "COM1=" + path);
  WindowOptions options;
  options.ports = platform::PortMap::FromSettingsAndEnvironment(nullptr).Entries();
  Window w(options);
  w.Show();
  w.form->Start({});
  gui::TMainForm& f = *w.form;

  gui::TTargetPage& target = *f.TabSheetTarget;
  ASSERT_EQ(guitest::ComboItems(target.cbxCOM), (std::vector<std::string>{"PCAN", "COM1"}));
  target.cbxCOM->setCurrentIndex(1);
  emit target.cbxCOM->activated(1); // the user picks COM1
  ASSERT_TRUE(w.RunUntil([&] { return w.S().comm->IsOpen(); }, 3000));
  EXPECT_EQ(w.S().comm->PortNo(), 1);

  image::ContainerContent c;
  c.targets = {0x88000000u};
  c.message = "QRD14 firmware";
  const std::string body = test::HexText(0x1000, test::Pattern(0x1000));
  c.body.assign(body.begin(), body.end());
  const auto bytes = image::BuildContainer(c);
  const std::string file = w.WriteFile("qrd14.vkf", std::string(bytes.begin(), bytes.end()));
  {
    ModalWatcher open([&](QWidget* modal) {
      auto* d = qobject_cast<QFileDialog*>(modal);
      ASSERT_NE(d, nullptr);
      EXPECT_EQ(d->selectedNameFilter().toStdString(), "V&K Firmware File (*.vkf)");
      guitest::TypeName(*d, QString::fromStdString(file));
      guitest::PressAccept(*d);
    });
    f.mnOpen->trigger();
    ASSERT_TRUE(open.opened);
  }
  // The container chose the module and brought the Programmer page forward.
  gui::TProgrammerPage& page = *f.TabSheetProgrammer;
  ASSERT_EQ(f.PageControl->currentWidget(), &page);
  EXPECT_EQ(f.Status().PanelText(1), "QRD14");
  EXPECT_EQ(f.TabSheetBuffer->lbSrcFile->text().toStdString(), "Source= qrd14.vkf");

  int furthest = 0;
  QObject::connect(page.Progress, &QProgressBar::valueChanged,
                   [&](int v) { furthest = std::max(furthest, v); });
  target.cbxAddr->setCurrentIndex(7);
  ASSERT_TRUE(page.Buttons[2]->isEnabled());
  // The run's line goes to the report chosen with File > Report...
  const std::string report = w.WriteFile("runs.jsonl", "");
  {
    ModalWatcher choose([&](QWidget* modal) {
      auto* d = qobject_cast<QFileDialog*>(modal);
      ASSERT_NE(d, nullptr);
      guitest::TypeName(*d, QString::fromStdString(report));
      guitest::PressAccept(*d);
    });
    f.mnReport->trigger();
    ASSERT_TRUE(choose.opened);
  }
  EXPECT_TRUE(f.mnReport->isChecked());

  // The window never stops turning: a probe ticks every 5 ms through the run, also while the
  // engine waits inside a protocol step (the unit's selection waits 500 ms), and a click made
  // then reaches the engine only when the step has ended.
  platform::Millis lastTurn = w.loop.Now(), longest = 0;
  int turnsAsleep = 0;
  bool clicked = false, ranMidStep = false, busyShown = false, noticeKept = false;
  std::string statusAtNotice;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  probe.setInterval(5);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const platform::Millis now = w.loop.Now();
    longest = std::max(longest, now - lastTurn);
    lastTurn = now;
    // Busy is visible: what would change the image is disabled, the terminal's input paused.
    if (w.S().prg->RunActive() && !f.mnOpen->isEnabled() && !f.mnSave->isEnabled() &&
        !f.mnClear->isEnabled() && !f.TabSheetBuffer->btBufferClear->isEnabled() &&
        !f.TabSheetComm->CommInput->isEnabled() &&
        f.TabSheetComm->PausedLabel->isVisibleTo(f.TabSheetComm))
      busyShown = true;
    // "Programmer busy" stays readable while the run's own texts change beside it.
    if (f.Status().PanelText(2) == "Programmer busy") {
      if (statusAtNotice.empty()) statusAtNotice = f.Status().PanelText(0);
      if (f.Status().PanelText(0) != statusAtNotice) noticeKept = true;
    }
    if (!w.loop.Sleeping()) return;
    ++turnsAsleep;
    if (clicked && f.Status().PanelText(2) == "Programmer busy") ranMidStep = true;
    if (!clicked && w.S().prg->RunActive()) {
      clicked = true;
      QTest::mouseClick(page.Buttons[2], Qt::LeftButton); // a second press while it runs
    }
  });
  probe.start();
  QTest::mouseClick(page.Buttons[2], Qt::LeftButton);

  const std::vector<std::string> done{"QRD14 #7 Programmed OK"};
  ASSERT_TRUE(w.RunUntil([&] { return LogLines(page.LogMemo) == done; }, 30000))
      << "status: " << f.Status().PanelText(0)
      << "\nlog: " << page.LogMemo->toPlainText().toStdString()
      << "\nterminal: " << f.TabSheetComm->CommPlane->toPlainText().toStdString();
  EXPECT_EQ(w.S().controller->DetectedType, 136);
  EXPECT_EQ(f.Status().PanelText(0), "Module Programmed OK");
  EXPECT_GT(furthest, page.Progress->minimum()) << "the bar followed the run";
  probe.stop();
  EXPECT_GT(turnsAsleep, 0);
  EXPECT_LE(longest, 50) << "the window's loop stood still for " << longest << " ms";
  EXPECT_TRUE(clicked);
  EXPECT_FALSE(ranMidStep);
  {
    std::ifstream in(report);
    std::string text;
    ASSERT_TRUE(std::getline(in, text));
    const auto line = nlohmann::json::parse(text);
    EXPECT_EQ(line["result"], "programmed");
    EXPECT_EQ(line["port"], "COM1");
    EXPECT_EQ(line["device"], path);
    EXPECT_EQ(line["address"], 7);
    EXPECT_EQ(line["detected_type"], 136);
    EXPECT_EQ(line["files"], nlohmann::json::array({"qrd14.vkf"}));
    EXPECT_EQ(line["range_start"], "0F80");
    EXPECT_FALSE(std::getline(in, text));
  }
  // The program's own commands show on the terminal, each marked as sent.
  const auto terminal = MemoLines(f.TabSheetComm->CommPlane);
  for (const char* sent : {"> OP 7", "> ID"})
    EXPECT_NE(std::find(terminal.begin(), terminal.end(), sent), terminal.end()) << sent;
  // A record sent in pieces is still one line.
  EXPECT_EQ(std::count(terminal.begin(), terminal.end(), "> :"), 0);
  EXPECT_GT(
      std::count_if(terminal.begin(), terminal.end(),
                    [](const std::string& l) { return l.starts_with("> :") && l.size() > 20; }),
      0);
  EXPECT_TRUE(w.recorded.boxes.empty());
  ASSERT_TRUE(
      w.RunUntil([&] { return w.S().controller->Mode() == app::ControllerMode::Idle; }, 3000));
  w.Pump();
  EXPECT_TRUE(busyShown);
  EXPECT_TRUE(noticeKept);
  EXPECT_EQ(f.Status().PanelText(2), "") << "the notice goes with the run";
  EXPECT_TRUE(f.mnOpen->isEnabled() && f.mnSave->isEnabled() && f.mnClear->isEnabled());
  EXPECT_TRUE(f.TabSheetComm->CommInput->isEnabled());

  // The unit saw one load of the whole image.
  w.Pump(200);
  sim.Signal(SIGTERM);
  ASSERT_TRUE(sim.Wait(5000).has_value());
  EXPECT_NE(sim.Stderr().find("1 load(s)"), std::string::npos) << sim.Stderr();
}
