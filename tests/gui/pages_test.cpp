// The Buffer page, "Show Buffer", dropped files and command-line files, the terminal on the
// Communication page, and the device finder's two windows.

#include "GuiTestSupport.h"
#include "app/BufferView.h"
#include "support/HexText.h"

#include <QFontInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>

using namespace vk;
using guitest::LogLines;
using guitest::MemoLines;
using guitest::Window;
using guitest::WindowOptions;

namespace {

std::string HexFile(Window& w, const std::string& name, std::uint32_t at,
                    const std::vector<std::uint8_t>& data) {
  return w.WriteFile(name, test::HexText(at, data));
}

void Drop(gui::TMainForm& form, const QStringList& files) {
  QMimeData data;
  QList<QUrl> urls;
  for (const QString& f : files) urls << QUrl::fromLocalFile(f);
  data.setUrls(urls);
  QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&form, &enter);
  ASSERT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&form, &drop);
  ASSERT_TRUE(drop.isAccepted());
}

} // namespace

TEST(BufferPage, DescribesTheLastLoadAndClears) {
  Window w;
  w.Show();
  gui::TMainForm& f = *w.form;
  gui::TBufferPage& b = *f.TabSheetBuffer;
  // Before any load the page reads as after Clear.
  EXPECT_EQ(b.lbSrcFile->text().toStdString(), "Source=");
  EXPECT_EQ(b.lbRange->text().toStdString(), "Start=, End= ");
  EXPECT_TRUE(MemoLines(b.mnBufferInfo).empty());

  f.LoadFiles({QString::fromStdString(HexFile(w, "first.hex", 0x0000, test::Pattern(0x1F40)))});
  EXPECT_EQ(b.lbSrcFile->text().toStdString(), "Source= first.hex");
  EXPECT_EQ(b.lbRange->text().toStdString(), "Start= 0000, End= 1F40");
  EXPECT_EQ(MemoLines(b.mnBufferInfo), (std::vector<std::string>{"INTEL-HEX File."}));

  // A file that is no firmware loads nothing and changes nothing here; its box names it.
  const std::string junk = w.WriteFile("junk.bin", "no firmware here");
  f.LoadFiles({QString::fromStdString(junk)});
  EXPECT_EQ(b.lbSrcFile->text().toStdString(), "Source= first.hex");
  EXPECT_EQ(b.lbRange->text().toStdString(), "Start= 0000, End= 1F40");
  EXPECT_EQ(MemoLines(b.mnBufferInfo), (std::vector<std::string>{"INTEL-HEX File."}));
  ASSERT_EQ(w.recorded.boxes.size(), 1u);
  EXPECT_EQ(w.recorded.boxes[0].caption, "Unknown Format");
  EXPECT_EQ(w.recorded.boxes[0].text, junk + "\rThe source file format was not recognized!");

  w.ShowPage(&b);
  QTest::mouseClick(b.btBufferClear, Qt::LeftButton);
  EXPECT_EQ(b.lbSrcFile->text().toStdString(), "Source=");
  EXPECT_EQ(b.lbRange->text().toStdString(), "Start=, End= ");
  EXPECT_TRUE(MemoLines(b.mnBufferInfo).empty());
  EXPECT_TRUE(w.S().image.IsEmpty());

  // The menu's Clear does the same.
  f.LoadFiles({QString::fromStdString(HexFile(w, "again.hex", 0x100, test::Pattern(16)))});
  f.mnClear->trigger();
  EXPECT_EQ(b.lbSrcFile->text().toStdString(), "Source=");
  EXPECT_TRUE(w.S().image.IsEmpty());
}

TEST(BufferPage, MemosAndButtonsFollowTheWindowSize) {
  Window w;
  w.Show();
  gui::TMainForm& f = *w.form;
  for (const QSize size : {QSize(582, 465), QSize(1000, 720), QSize(500, 380)}) {
    f.resize(size);
    w.ShowPage(f.TabSheetBuffer);
    const gui::TBufferPage& b = *f.TabSheetBuffer;
    const QRect clear = b.btBufferClear->geometry();
    const QRect show = b.btBufferShow->geometry();
    EXPECT_EQ(clear.x(), 8);
    EXPECT_EQ(clear.y() + clear.height(), b.height() - 8) << "kept to the bottom-left corner";
    EXPECT_EQ(show.y(), clear.y());
    EXPECT_GT(show.x(), clear.x() + clear.width());
    const QRect memo = b.mnBufferInfo->geometry();
    EXPECT_EQ(memo.height(), clear.y() - memo.y() - 16);
    EXPECT_EQ(memo.width(), b.width() - memo.x() - 16);
    EXPECT_GT(memo.y(), b.lbRange->geometry().bottom());

    w.ShowPage(f.TabSheetComm);
    const gui::TCommPage& c = *f.TabSheetComm;
    const QRect plane = c.CommPlane->geometry();
    const QRect input = c.CommInput->geometry();
    EXPECT_EQ(input.y() + input.height(), c.height() - 8) << "the input line at the bottom";
    EXPECT_GT(input.y(), plane.bottom());
    EXPECT_EQ(plane.width(), c.width() - 4);
  }
}

TEST(ShowBuffer, ListsTheCopyTakenWhenShowIsPressed) {
  Window w;
  w.Show();
  gui::TMainForm& f = *w.form;
  gui::TShowBufferForm& s = *f.ShowBufferForm;
  EXPECT_FALSE(s.isVisible());
  EXPECT_EQ(s.windowTitle().toStdString(), "Show Buffer");
  EXPECT_EQ(s.size(), QSize(572, 767));
  const QFontMetrics metrics(s.Memo->font());
  EXPECT_EQ(metrics.horizontalAdvance("...."), metrics.horizontalAdvance("WWWW"))
      << "columns line up";
  EXPECT_EQ(QFontInfo(s.Memo->font()).pixelSize(), 11);
  EXPECT_TRUE(s.Memo->isReadOnly());

  std::vector<std::uint8_t> abcd = {0x41, 0x42, 0x43, 0x44, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  f.LoadFiles({QString::fromStdString(HexFile(w, "abcd.hex", 0x0040, abcd))});
  w.ShowPage(f.TabSheetBuffer);
  QTest::mouseClick(f.TabSheetBuffer->btBufferShow, Qt::LeftButton);
  w.Pump();
  ASSERT_TRUE(s.isVisible());
  const auto lines = MemoLines(s.Memo);
  ASSERT_EQ(lines.size(), 4096u);
  EXPECT_EQ(lines[0], "0000: FFFFFFFF FFFFFFFF  FFFFFFFF FFFFFFFF  ................");
  EXPECT_EQ(lines[4], "0040: 41424344 00000000  00000000 00000000  ABCD............");
  EXPECT_EQ(lines[4095].substr(0, 6), "FFF0: ");
  EXPECT_EQ(s.Memo->textCursor().blockNumber(), 4) << "opened at the first loaded address";

  // Show again while open: a fresh copy, but the listing stays until the window is shown anew.
  f.LoadFiles({QString::fromStdString(HexFile(w, "more.hex", 0x0040, {0x5A}))});
  QTest::mouseClick(f.TabSheetBuffer->btBufferShow, Qt::LeftButton);
  w.Pump();
  EXPECT_EQ(s.ViewData[0x40], 0x5A);
  EXPECT_EQ(MemoLines(s.Memo)[4], lines[4]);
  QTest::keyClick(s.Memo, Qt::Key_Escape);
  EXPECT_FALSE(s.isVisible()) << "Esc closes it";
  QTest::mouseClick(f.TabSheetBuffer->btBufferShow, Qt::LeftButton);
  w.Pump();
  EXPECT_EQ(MemoLines(s.Memo)[4].substr(0, 14), "0040: 5A424344");
  EXPECT_EQ(MemoLines(s.Memo)[4], app::ListingLine(0x40, s.ViewData.data() + 0x40));

  // Closing the main window takes the listing with it.
  f.close();
  EXPECT_FALSE(s.isVisible());
}

TEST(LoadingFiles, DroppedAndCommandLineFilesLoadInOrder) {
  {
    Window w;
    w.Show();
    const std::string a = HexFile(w, "low.hex", 0x0100, test::Pattern(0x10));
    const std::string b = HexFile(w, "high.hex", 0x2000, test::Pattern(0x10));
    Drop(*w.form, {QString::fromStdString(a), QString::fromStdString(b)});
    ASSERT_TRUE(w.RunUntil([&] { return !w.S().image.IsEmpty(); }, 2000));
    // Both files are in the image: the page, the summary and the log say so.
    EXPECT_EQ(w.form->TabSheetBuffer->lbSrcFile->text().toStdString(),
              "Source= low.hex + high.hex");
    EXPECT_EQ(w.form->TabSheetBuffer->lbRange->text().toStdString(), "Start= 0100, End= 2010");
    EXPECT_EQ(MemoLines(w.form->TabSheetBuffer->mnBufferInfo),
              (std::vector<std::string>{"INTEL-HEX File.",
                                        "+ high.hex: INTEL-HEX File. Start= 2000, End= 2010"}));
    w.ShowPage(w.form->TabSheetProgrammer);
    const auto summary = MemoLines(w.form->TabSheetProgrammer->InfoMemo);
    EXPECT_EQ(std::vector<std::string>(summary.begin() + 3, summary.begin() + 5),
              (std::vector<std::string>{"low.hex + high.hex", "Start= 0100, End= 2010"}));
    EXPECT_EQ(LogLines(w.form->TabSheetProgrammer->LogMemo),
              (std::vector<std::string>{"high.hex (Start= 2000, End= 2010) merged into the image "
                                        "of low.hex; a run writes all of it: Start= 0100, End= "
                                        "2010"}));
    EXPECT_EQ(w.S().image.Image()[0x100], test::Pattern(1)[0]);

    // What is not a file is refused.
    QMimeData text;
    text.setText("just words");
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w.form.get(), &enter);
    EXPECT_FALSE(enter.isAccepted());
  }
  {
    Window w;
    w.Show();
    const std::string a = HexFile(w, "one.hex", 0x0000, test::Pattern(0x20));
    const std::string missing = w.dir.File("missing.hex");
    const std::string b = HexFile(w, "two.hex", 0x4000, test::Pattern(0x20));
    w.form->Start({a, missing, b});
    EXPECT_FALSE(w.S().TickRunning()) << "the files come first";
    ASSERT_TRUE(w.RunUntil([&] { return w.S().TickRunning(); }, 3000));
    EXPECT_EQ(w.form->TabSheetBuffer->lbSrcFile->text().toStdString(), "Source= one.hex + two.hex");
    EXPECT_EQ(w.form->TabSheetBuffer->lbRange->text().toStdString(), "Start= 0000, End= 4020");
    ASSERT_EQ(w.recorded.boxes.size(), 1u);
    EXPECT_EQ(w.recorded.boxes[0].caption, "Can't Open File");
    EXPECT_EQ(w.recorded.boxes[0].text, missing + "\r\nNo such file or directory");
  }
}

TEST(PortErrors, NameThePortAndItsDevice) {
  guitest::SimWindow w([](platform::SimulatedSerialPorts& ports) {
    ports.AddUnopenable(3, platform::PortState::Busy);
  });
  w.form->Start({});
  QComboBox* com = w.form->TabSheetTarget->cbxCOM;
  const int index = com->findText("COM3");
  ASSERT_GE(index, 0);
  com->setCurrentIndex(index);
  emit com->activated(index); // the user picks COM3
  w.loop.RunFor(100);
  ASSERT_EQ(w.recorded.boxes.size(), 1u);
  EXPECT_EQ(w.recorded.boxes[0].caption, "COM3");
  EXPECT_EQ(w.recorded.boxes[0].text, "COM3 (sim:COM3) is in use by another program.");
}

TEST(Terminal, SendsTheTypedLineAndShowsTheHistory) {
  test::PtyPair com1;
  ASSERT_TRUE(com1.Ok());
  Window w(WindowOptions::WithPort(1, com1.SlavePath()));
  w.Show();
  w.form->Start({});
  gui::TCommPage& page = *w.form->TabSheetComm;
  w.ShowPage(&page);
  EXPECT_TRUE(page.CommInput->hasFocus()) << "showing the page puts the focus in the input line";
  EXPECT_FALSE(page.CommInput->placeholderText().isEmpty()) << "it says commands go there";
  ASSERT_TRUE(w.RunUntil([&] { return w.S().comm->IsOpen(); }, 3000));

  QTest::keyClick(page.CommInput, Qt::Key_Return);
  w.Pump(50);
  EXPECT_EQ(com1.ReadAvailable(500), "\r") << "an empty line sends a bare carriage return";
  QTest::keyClicks(page.CommInput, "ID");
  QTest::keyClick(page.CommInput, Qt::Key_Return);
  w.Pump(50);
  EXPECT_EQ(com1.ReadAvailable(500), "ID\r");
  EXPECT_TRUE(page.CommInput->text().isEmpty());
  EXPECT_EQ(MemoLines(page.CommPlane), (std::vector<std::string>{"typed> ", "typed> ID"}));

  // A click into the history and keys there change nothing and send nothing.
  QTest::mouseClick(page.CommPlane->viewport(), Qt::LeftButton);
  QTest::keyClicks(page.CommPlane, "OP 3");
  QTest::keyClick(page.CommPlane, Qt::Key_Return);
  w.Pump(50);
  EXPECT_EQ(com1.ReadAvailable(200), "");
  EXPECT_EQ(MemoLines(page.CommPlane), (std::vector<std::string>{"typed> ", "typed> ID"}));
  // Up brings back the line typed before.
  QTest::keyClick(page.CommInput, Qt::Key_Up);
  EXPECT_EQ(page.CommInput->text().toStdString(), "ID");
  page.CommInput->clear();

  // Received lines: text as it is, a "~" frame in hexadecimal, bytes above 127 one character
  // each; a reply that comes while a command is half typed leaves the typed line alone.
  page.CommPlane->clear();
  com1.Write("HELLO 42\r");
  com1.Write(std::string("\x7E\x00\x41\x42", 4));
  QTest::keyClicks(page.CommInput, "I");
  com1.Write("\xB5V\r");
  ASSERT_TRUE(w.RunUntil([&] { return MemoLines(page.CommPlane).size() == 3; }, 3000))
      << page.CommPlane->toPlainText().toStdString();
  EXPECT_EQ(MemoLines(page.CommPlane)[1], " 7E 00 41 42");
  EXPECT_EQ(page.CommPlane->document()->lastBlock().text(), QString::fromLatin1("\xB5V"));
  QTest::keyClicks(page.CommInput, "D");
  QTest::keyClick(page.CommInput, Qt::Key_Return);
  w.Pump(50);
  EXPECT_EQ(com1.ReadAvailable(500), "ID\r");
}

TEST(DeviceFinder, ClosedEarlyTheSelectorsAndSummaryShowTheLinkAsItIs) {
  guitest::SimWindow w; // nothing answers on COM1: the search moves on to slower rates
  gui::TMainForm& f = *w.form;
  f.show();
  f.Start({});
  f.TabSheetTarget->btFindDev->click();
  ASSERT_TRUE(w.RunUntil([&] { return f.TabSheetTarget->cbxSpeed->currentIndex() == 2; }));
  f.DevFinderForm->close();
  w.loop.RunFor(50);
  EXPECT_EQ(w.S().comm->GetBaudRate(), 115200u);
  EXPECT_EQ(f.TabSheetTarget->cbxSpeed->currentText().toStdString(), "115200");
  EXPECT_EQ(w.Summary(), "Kestron #" + f.TabSheetTarget->cbxAddr->currentText().toStdString() +
                             ", COM1, 115200bps");
}

TEST(DeviceFinder, WindowsShowHideAndTakeTheEndAddress) {
  Window w;
  w.Show();
  gui::TMainForm& f = *w.form;
  gui::TDevFinderForm& finder = *f.DevFinderForm;
  EXPECT_FALSE(finder.isVisible());
  EXPECT_EQ(finder.windowTitle().toStdString(), "Device Finder");
  EXPECT_EQ(finder.size(), QSize(164, 88));
  EXPECT_TRUE(finder.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(finder.lbTrying->text().toStdString(), "Trying");
  // The rate and the command never run into each other.
  finder.SetRateText("115200");
  finder.SetCommandText("OP255");
  EXPECT_LE(finder.lbTrying->geometry().right(), finder.lbRate->x());
  EXPECT_LT(finder.lbRate->x() + finder.lbRate->fontMetrics().horizontalAdvance("115200"),
            finder.lbCommand->x());
  EXPECT_LE(finder.lbCommand->x() + finder.lbCommand->fontMetrics().horizontalAdvance("OP255"),
            164);

  w.ShowPage(f.TabSheetTarget);
  QTest::mouseClick(f.TabSheetTarget->btFindDev, Qt::LeftButton);
  w.Pump();
  EXPECT_TRUE(finder.isVisible());
  EXPECT_TRUE(w.S().finder->Searching());
  EXPECT_EQ(f.Status().PanelText(0), "Searching for device setting ...");
  // The user closes it, by Cancel or by Esc: the search ends.
  for (int byEsc = 0; byEsc < 2; ++byEsc) {
    if (byEsc) {
      QTest::mouseClick(f.TabSheetTarget->btFindDev, Qt::LeftButton);
      w.Pump();
      ASSERT_TRUE(w.S().finder->Searching());
      ASSERT_NE(QApplication::focusWidget(), nullptr);
      EXPECT_EQ(QApplication::focusWidget()->window(), &finder) << "Esc goes to the finder";
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    } else {
      QTest::mouseClick(finder.btCancel, Qt::LeftButton);
    }
    w.Pump();
    EXPECT_FALSE(finder.isVisible());
    EXPECT_FALSE(w.S().finder->Searching());
    EXPECT_EQ(f.Status().PanelText(0), "Device search stopped");
  }

  gui::TSearchSettingForm& settings = *f.SearchSettingForm;
  EXPECT_FALSE(settings.isVisible());
  f.mnSearch->trigger();
  w.Pump();
  ASSERT_TRUE(settings.isVisible());
  EXPECT_EQ(settings.windowTitle().toStdString(), "Device Search Settings");
  EXPECT_GE(settings.width(), 141);
  EXPECT_EQ(settings.height(), 103);
  EXPECT_FALSE(settings.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_TRUE(settings.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(settings.lbEndAddr->text().toStdString(), "Search End Address");
  EXPECT_EQ(settings.edEndAddr->text().toStdString(), "16");
  EXPECT_EQ(settings.btClose->text().toStdString(), "Close");
  EXPECT_LE(settings.lbEndAddr->geometry().right(), settings.width());

  settings.edEndAddr->selectAll();
  QTest::keyClicks(settings.edEndAddr, "200");
  EXPECT_EQ(w.S().finder->EndAddress, 200);
  // Typed keys that would make no address 0..255 are not taken.
  QTest::keyClicks(settings.edEndAddr, "0x");
  EXPECT_EQ(settings.edEndAddr->text().toStdString(), "200");
  settings.edEndAddr->setText("300");
  EXPECT_EQ(w.S().finder->EndAddress, 200) << "out of range: the last valid value stays";
  settings.edEndAddr->setText("1x");
  EXPECT_EQ(w.S().finder->EndAddress, 200);
  settings.edEndAddr->setText("0");
  EXPECT_EQ(w.S().finder->EndAddress, 0);
  QTest::mouseClick(settings.btClose, Qt::LeftButton);
  EXPECT_FALSE(settings.isVisible());
}
