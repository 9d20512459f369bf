// The main controller driven through a whole session in virtual time.

#include "AppBench.h"
#include "devsim/CortexBootLoader.h"
#include "image/Container.h"
#include "support/HexText.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

using vk::app::ControllerMode;
using vk::platform::MsgAnswer;
using vk::test::AppBench;
using vk::test::HexText;
using vk::test::Pattern;

namespace {

std::string ContainerFor(std::uint32_t typeWord, std::uint32_t addr, std::size_t size) {
  vk::image::ContainerContent c;
  c.targets = {typeWord};
  c.message = "test firmware";
  const std::string body = HexText(addr, Pattern(size));
  c.body.assign(body.begin(), body.end());
  const auto bytes = vk::image::BuildContainer(c);
  return {bytes.begin(), bytes.end()};
}

int Count(const std::vector<std::string>& v, const std::string& s) {
  return static_cast<int>(std::count(v.begin(), v.end(), s));
}

} // namespace

TEST(StartUp, SelectionsAndFirstTick) {
  AppBench b;
  EXPECT_EQ(b.speed.ItemText(b.speed.ItemIndex()), "115200");
  EXPECT_EQ(b.speed.Count(), 5);
  EXPECT_EQ(b.address.ItemIndex(), 0);
  EXPECT_EQ(b.address.Count(), 256);
  EXPECT_EQ(b.ports.EntryText(0), "PCAN");
  EXPECT_EQ(b.ports.EntryText(1), "COM1");
  EXPECT_EQ(b.ports.CurrentIndex(), 1);
  EXPECT_FALSE(b.canAddress.Enabled());
  EXPECT_FALSE(b.untyped.Visible());
  EXPECT_EQ(b.tree.nodes.size(), 26u);

  // Files named on the command line load 200 ms after start; the tick starts afterwards.
  const std::string hex = b.dir.Write("a.hex", HexText(0x1000, Pattern(16)));
  const std::string srec = b.dir.Write("b.a20", "S1052000AABB75\r\nS9030000FC\r\n");
  b.session->Start({hex, b.dir.File("missing.hex"), srec});
  b.loop.RunFor(190);
  EXPECT_EQ(b.session->BufferPage().source, "");
  EXPECT_FALSE(b.session->TickRunning());
  b.loop.RunFor(20);
  EXPECT_EQ(b.session->BufferPage().source, "Source= a.hex + b.a20");
  EXPECT_EQ(b.session->BufferPage().range, "Start= 1000, End= 2002");
  ASSERT_EQ(b.boxes.boxes.size(), 1u);
  EXPECT_EQ(b.boxes.boxes[0].caption, "Can't Open File");
  EXPECT_TRUE(b.session->TickRunning());
}

TEST(Detection, NineAttemptsThenNoModule) {
  AppBench b;
  b.session->Start({});
  b.session->ButtonPressed(0);
  ASSERT_TRUE(b.RunUntilIdle());
  EXPECT_EQ(Count(b.Written(), "OP 0\r"), 9);
  EXPECT_EQ(b.status.PanelText(0), "<no module found>");
  EXPECT_EQ(b.session->controller->DetectedType, 0);
}

TEST(Detection, AnEmptySlotThatAnswersOkEndsAfterFiveAsksOfItsType) {
  auto config = AppBench::FastUnit();
  config.absentReply = "OK";
  AppBench b(config);
  b.AttachUnit();
  b.session->Start({});
  b.Load("fw.vkf", ContainerFor(0x88000000, 0x1000, 0x100));
  b.address.SetItemIndex(9);
  b.session->ButtonPressed(2);
  ASSERT_TRUE(b.RunUntilIdle(10000));
  EXPECT_EQ(Count(b.Written(), "ID\r"), 5);
  EXPECT_EQ(b.log.Lines(), (std::vector<std::string>{"QRD14 #9 Failed: no answer to \"ID\" (the "
                                                     "slot may be empty); nothing written"}));
}

TEST(Detection, TypeFromTheIdReply) {
  {
    AppBench b;
    b.unit.AddModule(7, 136);
    b.AttachUnit();
    b.session->Start({});
    b.address.SetItemIndex(7);
    b.session->ButtonPressed(0);
    ASSERT_TRUE(b.RunUntilIdle());
    EXPECT_EQ(b.Written(), (std::vector<std::string>{"OP 7\r", "ID\r"}));
    EXPECT_EQ(b.session->controller->DetectedType, 136);
    EXPECT_EQ(b.session->prg->Node().Name, "QRD14");
    EXPECT_EQ(b.status.PanelText(1), "QRD14");
    EXPECT_EQ(b.programmerPageShown, 1);
    // The terminal shows the unit's answers and the ID request.
    const auto lines = b.terminal.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "> ID"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ID88"), lines.end());
  }
  {
    AppBench b; // a reply too short to hold a type
    b.session->Start({});
    b.session->ButtonPressed(0);
    ASSERT_TRUE(b.loop.RunUntil([&] { return !b.Written().empty(); }, 1000));
    b.line->Send("OK\r\n");
    ASSERT_TRUE(b.loop.RunUntil([&] { return b.Written().size() == 2; }, 1000));
    b.line->Send("ID\r\n");
    ASSERT_TRUE(b.RunUntilIdle());
    EXPECT_EQ(b.status.PanelText(0), "Communication error");
    EXPECT_EQ(b.session->controller->DetectedType, 0);
  }
}

TEST(Programming, ButtonsOnEntriesThatCannotBeProgrammed) {
  AppBench b;
  b.session->Start({});
  b.session->ButtonPressed(2); // the root is selected
  ASSERT_EQ(b.boxes.boxes.size(), 1u);
  EXPECT_EQ(b.boxes.boxes[0].text, "No target selected");
  EXPECT_EQ(b.boxes.boxes[0].caption, "Program");

  b.Select("AT89C51RD2");
  b.session->ButtonPressed(3); // MultiProgram on an entry that is not a backplane module
  EXPECT_EQ(b.status.PanelText(0), "");
  b.session->ButtonPressed(1); // the loader's chip erase starts
  EXPECT_EQ(b.status.PanelText(0), "Erasing ...");
  b.session->ButtonPressed(1);
  EXPECT_EQ(b.status.PanelText(2), "Programmer busy");

  // After a detection found another type, Program checks the module again; an empty address
  // fails the module with its reason instead of programming or waiting for good.
  b.session->controller->StopAll();
  b.Select("QRA11");
  b.session->controller->DetectedType = 145;
  b.session->ButtonPressed(2);
  ASSERT_TRUE(b.RunUntilIdle(5000));
  EXPECT_EQ(b.log.Lines(), (std::vector<std::string>{
                               "Address 64 set for QRA11 (its modules' address; it was 0)",
                               "QRA11 #64 Failed: no answer to \"OP 64\"; nothing written"}));
  EXPECT_EQ(b.session->prg->LastOutcome().reason, vk::programmer::FailReason::ModuleNotFound);
  EXPECT_EQ(b.status.PanelText(3), "no answer to \"OP 64\"; nothing written");
}

TEST(Programming, DetectCheckAndProgramAContainer) {
  AppBench b;
  b.unit.AddModule(7, 136);
  b.AttachUnit();
  b.session->Start({});
  b.Load("fw.vkf", ContainerFor(0x88000000, 0x1000, 0x400));
  EXPECT_EQ(b.session->prg->Node().Name, "QRD14"); // selected by the container's first target
  EXPECT_EQ(b.session->BufferPage().info,
            (std::vector<std::string>{"VKF Info:", "test firmware", "VKF Targets:", "88000000"}));
  b.address.SetItemIndex(7);
  // The window's report (File > Report...): the module's line, with vkprog's fields.
  const std::string report = b.dir.File("runs.jsonl");
  b.session->report->Open(report);
  b.session->ButtonPressed(2);
  ASSERT_TRUE(b.RunUntilIdle());
  EXPECT_EQ(b.log.Lines(), (std::vector<std::string>{"QRD14 #7 Programmed OK"}));
  EXPECT_TRUE(b.boxes.boxes.empty());
  EXPECT_EQ(b.unit.FindModule(7)->starts, 1);
  std::ifstream in(report);
  std::string text;
  ASSERT_TRUE(std::getline(in, text));
  auto line = nlohmann::json::parse(text);
  for (const char* varies : {"time", "host", "device", "duration_s"}) line.erase(varies);
  EXPECT_EQ(line, nlohmann::json::parse(R"({"command":"program","port":"COM1","address":7,
    "detected_type":136,"entry":"QRD14","files":["fw.vkf"],"crc32":"F58D635D","range_start":"0F80",
    "range_end":"1402","bytes":1154,"result":"programmed","reason":null,"bit_rate":115200,
    "verified":false})"));
  EXPECT_FALSE(std::getline(in, text));
  EXPECT_TRUE(b.session->report->Failure().empty());
}

TEST(Programming, AChipBehindTheUnitIsSelectedBeforeItsRun) {
  AppBench b; // the Cortex-M3 loader behind the unit: "OP n", a pause, then its synchronisation
  b.session->Start({});
  b.Load("fw.hex", HexText(0x1000, Pattern(0x10)));
  b.Select("Cortex-M3");
  b.address.SetItemIndex(3);
  // The pause is waited for tick by tick: the press returns at once, and a stop meanwhile is
  // heard before the run sends anything.
  const auto pressedAt = b.loop.Now();
  b.session->ButtonPressed(2);
  EXPECT_EQ(b.loop.Now(), pressedAt);
  b.loop.RunFor(50);
  b.session->controller->StopAll();
  b.loop.RunFor(500);
  EXPECT_EQ(b.Written(), (std::vector<std::string>{"OP 3\r"}));

  b.session->ButtonPressed(2);
  ASSERT_TRUE(b.loop.RunUntil([&] { return b.Written().size() >= 3; }, 1000));
  EXPECT_EQ(b.Written()[1], "OP 3\r");
  EXPECT_EQ(b.Written()[2], "\x7F");
}

TEST(Programming, AChipOnThePortItselfGetsNoSelection) {
  // DirectBootLoader (vkprog --direct, or the setting): ST's loader measures its rate on the
  // first byte, so that byte is the synchronisation.
  AppBench b;
  b.session->controller->DirectBootLoader = true;
  b.session->Start({});
  b.Load("fw.hex", HexText(0x1000, Pattern(0x10)));
  b.Select("Cortex-M3");
  b.session->ButtonPressed(2);
  ASSERT_TRUE(b.loop.RunUntil([&] { return !b.Written().empty(); }, 1000));
  EXPECT_EQ(b.Written()[0], "\x7F");
}

// The window offers to remove a chip's read protection (No by default), and starts the program
// when its box is ticked.
TEST(Programming, ReadProtectionIsRemovedOnlyWhenTheOperatorSaysYes) {
  AppBench b;
  vk::devsim::CortexConfig config;
  config.readProtected = true;
  vk::devsim::CortexBootLoader loader(config);
  b.bridge = std::make_unique<vk::test::ModelOnLine>(b.loop, b.line, loader);
  b.session->controller->Policy.offersToRemoveReadProtection = true;
  b.session->controller->DirectBootLoader = true; // the chip on the line itself
  b.session->Start({});
  b.Load("fw.hex", ":020000040800F2\r\n" + HexText(0, Pattern(0x400)));
  b.Select("Cortex-M3 Flash");
  ASSERT_TRUE(b.startAfter.Visible());
  // The first question is left to its default.
  b.session->ButtonPressed(2);
  ASSERT_TRUE(b.RunUntilIdle());
  ASSERT_EQ(b.boxes.boxes.size(), 1u);
  EXPECT_EQ(b.boxes.boxes[0].caption, "Read Protection");
  EXPECT_EQ(b.boxes.boxes[0].defaultButton, MsgAnswer::No);
  EXPECT_EQ(b.log.Lines().back(), "Cortex-M3 Flash #0 Failed");
  EXPECT_TRUE(loader.ReadProtected());

  b.boxes.script = {MsgAnswer::Yes};
  b.startAfter.SetChecked(true);
  b.session->ButtonPressed(2);
  ASSERT_TRUE(b.RunUntilIdle());
  EXPECT_EQ(b.boxes.boxes.size(), 2u);
  EXPECT_EQ(b.log.Lines().back(), "Cortex-M3 Flash #0 Programmed OK");
  EXPECT_FALSE(loader.ReadProtected());
  EXPECT_EQ(loader.Stats().startedAt, 0x08000000u);

  // Reading the module would replace the loaded image: asked first, No by default.
  const std::size_t sent = b.Written().size();
  EXPECT_FALSE(b.session->ReadFromModule());
  EXPECT_EQ(b.boxes.boxes.back().text,
            "Reading the module replaces the image in the program buffer (fw.hex, Start= 0000, "
            "End= 0400).\rRead Cortex-M3 Flash #0 and replace it?");
  EXPECT_EQ(b.boxes.boxes.back().defaultButton, MsgAnswer::No);
  b.loop.RunFor(500);
  EXPECT_EQ(b.Written().size(), sent);
  EXPECT_EQ(b.session->BufferPage().source, "Source= fw.hex");
  b.bridge.reset();
}

TEST(Programming, TheModuleProgrammedIsTheModuleChecked) {
  {
    AppBench b; // loading the container selects QRA11 without moving the address box
    b.unit.AddModule(8, 133);
    b.unit.AddModule(64, 133);
    b.AttachUnit();
    b.session->Start({});
    b.address.SetItemIndex(8);
    b.Load("fw.vkf", ContainerFor(0x85000000, 0x4000, 0x100));
    b.session->ButtonPressed(2);
    ASSERT_TRUE(b.RunUntilIdle());
    EXPECT_EQ(b.log.Lines(), (std::vector<std::string>{"QRA11 #8 Programmed OK"}));
    EXPECT_EQ(b.address.ItemIndex(), 8);
    EXPECT_EQ(b.unit.FindModule(64)->erase1Count, 0);
    EXPECT_EQ(b.unit.FindModule(64)->records, 0u);
  }
  {
    AppBench b; // a garbled type answer: nothing goes to the module whatever was selected
    b.unit.AddModule(7, 133);
    b.unit.Faults().Add("command:ID=garbage");
    b.AttachUnit();
    b.session->Start({});
    b.Load("fw.vkf", ContainerFor(0x88000000, 0x1000, 0x100));
    b.address.SetItemIndex(7);
    b.session->ButtonPressed(2);
    ASSERT_TRUE(b.RunUntilIdle());
    EXPECT_EQ(b.session->prg->LastOutcome().reason, vk::programmer::FailReason::TypeUnknown);
    EXPECT_EQ(b.unit.FindModule(7)->erase1Count, 0);
  }
  {
    AppBench b; // a module served by another protocol: the run ends, saying so
    b.unit.AddModule(5, 104);
    b.AttachUnit();
    b.session->Start({});
    b.Load("fw.vkf", ContainerFor(0x88000000, 0x1000, 0x100));
    b.address.SetItemIndex(5);
    b.session->ButtonPressed(2);
    ASSERT_TRUE(b.RunUntilIdle());
    EXPECT_EQ(b.log.Lines(),
              (std::vector<std::string>{
                  "QRE15 #5 Failed: another protocol; the armed run was not carried out"}));
    EXPECT_EQ(b.unit.FindModule(5)->erase1Count, 0);
  }
}

TEST(Programming, EraseActsOnTheModuleFoundWhenPressedAndAsksFirst) {
  AppBench b;
  b.unit.AddModule(7, 136);
  b.AttachUnit();
  b.session->controller->Policy.inWindow = true;
  b.session->Start({});
  b.Load("fw.vkf", ContainerFor(0x88000000, 0x1000, 0x100));
  b.Select("Kestron");
  b.address.SetItemIndex(7);
  b.session->ButtonPressed(1); // the root selected: the module is detected, then asked about
  ASSERT_TRUE(b.RunUntilIdle());
  ASSERT_EQ(b.boxes.boxes.size(), 1u);
  EXPECT_EQ(b.boxes.boxes[0].text, "Erase module #7 (QRD14)? Its program is lost.");
  EXPECT_EQ(b.boxes.boxes[0].defaultButton, MsgAnswer::No);
  // Nothing stays armed: a later Detect, on another address too, only detects.
  b.session->ButtonPressed(0);
  ASSERT_TRUE(b.RunUntilIdle());
  b.address.SetItemIndex(3);
  b.Select("Kestron");
  b.session->ButtonPressed(1);
  ASSERT_TRUE(b.RunUntilIdle());
  b.address.SetItemIndex(7);
  b.session->ButtonPressed(0);
  ASSERT_TRUE(b.RunUntilIdle());
  EXPECT_EQ(b.unit.FindModule(7)->erase1Count, 0);
  EXPECT_EQ(b.boxes.boxes.size(), 1u);
  EXPECT_EQ(b.log.Lines(),
            (std::vector<std::string>{
                "Module #7 (QRD14): erase cancelled, nothing erased",
                "Kestron #3 Failed: no answer to \"OP 3\"; nothing written (no module at that "
                "address, or check the speed and the port: COM1 at 115200 bit/s)"}));

  b.boxes.script = {MsgAnswer::Yes};
  b.session->ButtonPressed(1);
  ASSERT_TRUE(b.RunUntilIdle());
  EXPECT_EQ(b.log.Lines().back(), "Module #7 Erased OK");
  EXPECT_EQ(b.unit.FindModule(7)->erase1Count, 1);
  EXPECT_EQ(b.unit.FindModule(7)->records, 0u);

  b.session->ButtonPressed(2); // and Program then programs
  ASSERT_TRUE(b.RunUntilIdle());
  EXPECT_EQ(b.log.Lines().back(), "QRD14 #7 Programmed OK");
  EXPECT_GT(b.unit.FindModule(7)->records, 0u);

  b.Select("QRA11"); // Erase on an entry erases only a module of that type, unasked
  b.address.SetItemIndex(7);
  b.session->ButtonPressed(1);
  ASSERT_TRUE(b.RunUntilIdle());
  EXPECT_EQ(b.log.Lines().back(), "QRD14 #7 Failed: the module is a QRD14; nothing erased");
  EXPECT_EQ(b.unit.FindModule(7)->erase1Count, 2) << "once by the erase, once by Program";
  EXPECT_EQ(b.boxes.boxes.size(), 2u);

  // Program follows the module's type, and the log says so when it is not the entry chosen.
  b.Select("QRA11");
  b.address.SetItemIndex(7);
  b.session->ButtonPressed(2);
  ASSERT_TRUE(b.RunUntilIdle());
  const auto log = b.log.Lines();
  EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
            (std::vector<std::string>{
                "Module #7 is a QRD14 (type 136): the run uses the entry QRD14, not QRA11",
                "QRD14 #7 Programmed OK"}));
}

TEST(Programming, NothingChangesUnderARunningRun) {
  AppBench b;
  b.unit.AddModule(7, 136);
  b.AttachUnit();
  b.session->Start({});
  b.Load("fw.vkf", ContainerFor(0x88000000, 0x1000, 0x100));
  b.address.SetItemIndex(7);
  b.session->ButtonPressed(2);
  ASSERT_TRUE(b.loop.RunUntil(
      [&] { return b.session->prg->Cpu().State == vk::programmer::CpuState::Erase; }, 5000));
  b.session->Clear();
  EXPECT_EQ(b.status.PanelText(2), vk::app::Session::kBusyText);
  EXPECT_FALSE(b.session->image.IsEmpty());
  b.session->ButtonPressed(2);
  EXPECT_EQ(b.status.PanelText(2), "Programmer busy");
  b.Select("QRA11");
  EXPECT_EQ(b.session->prg->Node().Name, "QRD14");
  b.session->TerminalEnter("typed");
  ASSERT_TRUE(b.RunUntilIdle());
  EXPECT_EQ(b.log.Lines(), (std::vector<std::string>{"QRD14 #7 Programmed OK"}));
  EXPECT_EQ(b.unit.FindModule(7)->loads, 1);
  EXPECT_EQ(Count(b.Written(), "typed\r"), 0);
}

TEST(Programming, UntypedImages) {
  const std::string hex = HexText(0x1000, Pattern(0x100));
  for (auto answer : {MsgAnswer::Yes, MsgAnswer::No}) {
    AppBench b(AppBench::FastUnit(), "True");
    b.unit.AddModule(7, 136);
    b.AttachUnit();
    b.session->Start({});
    EXPECT_TRUE(b.untyped.Visible() && b.untyped.Checked());
    b.Load("fw.hex", hex);
    b.Select("QRD14");
    b.address.SetItemIndex(7);
    b.boxes.script = {answer};
    b.session->ButtonPressed(2);
    ASSERT_TRUE(b.RunUntilIdle());
    ASSERT_EQ(b.boxes.boxes.size(), 1u) << "the question is asked once";
    EXPECT_EQ(b.boxes.boxes[0].caption, "ID Mismatch");
    EXPECT_EQ(b.boxes.boxes[0].text,
              "The Firmware in this programmer\rdoes not match the ID from the\r"
              "selected module.\rModule #7: QRD14 (type 136)\r"
              "Firmware for: none (the file names no module type)\r"
              "Do You want to proceed anyway ?\r");
    if (answer == MsgAnswer::Yes) {
      EXPECT_EQ(b.log.Lines(), (std::vector<std::string>{"QRD14 #7 Programmed OK"}));
    } else {
      EXPECT_EQ(b.status.PanelText(0), "Programming aborted");
      EXPECT_TRUE(b.log.Lines().empty());
      EXPECT_EQ(b.session->prg->LastOutcome().reason, vk::programmer::FailReason::TypeMismatch);
    }
    EXPECT_TRUE(b.session->TickRunning());
  }
  {
    AppBench b(AppBench::FastUnit(), "true"); // shown but not ticked: not allowed
    b.unit.AddModule(7, 136);
    b.AttachUnit();
    b.session->Start({});
    EXPECT_TRUE(b.untyped.Visible());
    EXPECT_FALSE(b.untyped.Checked());
    b.Load("fw.hex", hex);
    b.Select("QRD14");
    b.address.SetItemIndex(7);
    b.session->ButtonPressed(2);
    ASSERT_TRUE(b.RunUntilIdle());
    ASSERT_EQ(b.boxes.boxes.size(), 1u);
    EXPECT_EQ(b.boxes.boxes[0].text,
              "The Firmware in this programmer\rdoes not match the ID from the\rselected module.\r"
              "Module #7: QRD14 (type 136)\rFirmware for: none (the file names no module type)\r");
    EXPECT_EQ(b.boxes.boxes[0].icon, vk::platform::MsgIcon::Error);
    EXPECT_TRUE(b.quitAsked);
    EXPECT_EQ(b.status.PanelText(0), "Programming aborted");
    EXPECT_FALSE(b.session->TickRunning()) << "the timer stays stopped";
  }
}

TEST(Programming, MultiProgramSequences) {
  {
    AppBench b; // first 5, last 3: only 3
    for (int a : {3, 4, 5}) b.unit.AddModule(static_cast<std::uint8_t>(a), 136);
    b.AttachUnit();
    b.session->Start({});
    b.Load("fw.vkf", ContainerFor(0x88000000, 0x1000, 0x100));
    b.session->ProgrammerPageShown();
    b.firstBox.SetItemIndex(5);
    b.lastBox.SetItemIndex(3);
    b.address.SetItemIndex(9);
    b.session->ButtonPressed(3);
    ASSERT_TRUE(b.RunUntilIdle());
    EXPECT_EQ(b.log.Lines(), (std::vector<std::string>{"QRD14 #3 Programmed OK"}));
    EXPECT_EQ(b.address.ItemIndex(), 9) << "the Address box as the user set it";
  }
  {
    vk::devsim::BackplaneConfig c = AppBench::FastUnit();
    c.baseBaud = 57600;
    AppBench b(c); // 2 to 4 in order, then the speed shown on the Target page is restored
    for (int a : {2, 3, 4}) b.unit.AddModule(static_cast<std::uint8_t>(a), 136);
    b.AttachUnit();
    b.speed.SetItemIndex(1);
    b.session->SpeedChanged();
    b.session->Start({});
    b.Load("fw.vkf", ContainerFor(0x88000000, 0x1000, 0x100));
    b.session->ProgrammerPageShown();
    b.firstBox.SetItemIndex(2);
    b.lastBox.SetItemIndex(4);
    b.session->ButtonPressed(3);
    ASSERT_TRUE(b.RunUntilIdle());
    EXPECT_EQ(b.log.Lines(),
              (std::vector<std::string>{"QRD14 #2 Programmed OK", "QRD14 #3 Programmed OK",
                                        "QRD14 #4 Programmed OK"}));
    b.loop.RunFor(50);
    EXPECT_EQ(b.line->Settings().BaudRate, 57600u);
  }
  {
    AppBench b; // an empty slot fails with its reason; the sequence goes on
    for (int a : {2, 4}) b.unit.AddModule(static_cast<std::uint8_t>(a), 136);
    b.AttachUnit();
    b.session->Start({});
    b.Load("fw.vkf", ContainerFor(0x88000000, 0x1000, 0x100));
    b.session->ProgrammerPageShown();
    b.firstBox.SetItemIndex(2);
    b.lastBox.SetItemIndex(4);
    b.session->ButtonPressed(3);
    ASSERT_TRUE(b.RunUntilIdle());
    EXPECT_EQ(b.log.Lines(),
              (std::vector<std::string>{"QRD14 #2 Programmed OK",
                                        "QRD14 #3 Failed: no answer to \"OP 3\"; nothing written",
                                        "QRD14 #4 Programmed OK"}));
  }
}
