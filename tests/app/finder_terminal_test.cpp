// The device finder, the terminal and the pages' texts, in virtual time.

#include "AppBench.h"
#include "image/Container.h"
#include "support/HexText.h"

#include <gtest/gtest.h>

using vk::app::ControllerMode;
using vk::test::AppBench;
using vk::test::HexText;
using vk::test::Pattern;

TEST(Terminal, ShowsLinesAndSendsWhatWasTyped) {
  EXPECT_EQ(vk::app::TerminalText("~AB", false), " 7E 41 42");
  EXPECT_EQ(vk::app::TerminalText(std::string("\x7E\x12\x34"), false), " 7E 12 34");
  EXPECT_EQ(vk::app::TerminalText("OK", false), "OK");
  EXPECT_EQ(vk::app::TerminalText("OK", true), " 4F 4B");
  EXPECT_EQ(vk::app::TerminalText(std::string(1024, 'A'), true).size(), 3072u);

  AppBench b;
  b.session->Start({});
  b.session->TerminalEnter("ID");
  b.line->Send(std::string("~\x02"
                           "AB\x00\x01",
                           6)); // a frame: "~", header, 2 bytes, 2 closing
  b.line->Send("hello\r\n");
  b.loop.RunFor(100);
  EXPECT_EQ(b.Written(), (std::vector<std::string>{"ID\r"}));
  // The typed line is marked as the user's; what came back shows as it came.
  EXPECT_EQ(b.terminal.Lines(),
            (std::vector<std::string>{"typed> ID", " 7E 02 41 42 00 01", "hello"}));
  EXPECT_EQ(b.session->comm->RxLines.Count(), 0) << "lines seen while idle are consumed";

  // Value messages heard on the CAN link reach the value label with their counter.
  b.session->can->OpenLink();
  for (const std::uint8_t high : {0x3F, 0x00}) {
    vk::link::CanMsg value;
    value.ID = 0x185;
    value.LEN = 4;
    value.DATA[0] = high == 0 ? 42 : 0;
    value.DATA[2] = high == 0 ? 0 : 0xC0;
    value.DATA[3] = high;
    b.can.inbox.push_back(value);
  }
  b.loop.RunFor(200);
  EXPECT_EQ(b.canData, "[2] N+42\r");
}

TEST(DeviceFinder, AddressesSpeedsThenNoDeviceFound) {
  AppBench b;
  b.session->Start({});
  auto& f = *b.session->finder;
  ASSERT_TRUE(f.SetEndAddressText("2"));
  EXPECT_FALSE(f.SetEndAddressText("256"));
  EXPECT_FALSE(f.SetEndAddressText("x"));
  EXPECT_EQ(f.EndAddress, 2);

  // What goes out, when, and at which rate.
  struct Sent {
    vk::platform::Millis at;
    std::string text;
    std::uint32_t rate;
  };
  std::vector<Sent> sent;
  std::size_t seen = 0;
  const int poller = b.loop.AddPoller([&](vk::platform::Millis now) {
    const auto written = b.Written();
    for (; seen < written.size(); ++seen)
      sent.push_back({now, written[seen], b.line->Settings().BaudRate});
  });
  b.address.SetItemIndex(5);
  b.session->FindDevice();
  EXPECT_EQ(b.status.PanelText(0), "Searching for device setting ...");
  EXPECT_TRUE(b.finderView.visible);
  b.loop.RunFor(61);
  EXPECT_EQ(b.finderView.rate, "115200");
  EXPECT_EQ(b.finderView.command, "OP2");
  EXPECT_EQ(b.address.ItemIndex(), 2);
  // One whole pass: 115200, 57600, 38400, 19200, 9600; then the search ends.
  b.loop.RunUntil([&] { return !f.Searching(); }, 10000);
  b.loop.RunFor(1000);
  b.loop.RemovePoller(poller);
  std::vector<std::string> texts;
  for (const auto& s : sent) texts.push_back(s.text + "@" + std::to_string(s.rate));
  std::vector<std::string> expected = {"OP0\r@115200", "OP1\r@115200", "OP2\r@115200"};
  for (const char* rate : {"57600", "38400", "19200", "9600"})
    for (const char* t : {"OP0\r\r@", "OP0\r@", "OP1\r@", "OP2\r@"})
      expected.push_back(t + std::string(rate));
  ASSERT_EQ(texts, expected);
  // The address steps of a rate come 2880000 div (rate - 1200) ms apart.
  EXPECT_EQ(sent[2].at - sent[1].at, 20);
  EXPECT_EQ(sent[6].at - sent[5].at, 51);
  EXPECT_EQ(sent[10].at - sent[9].at, 77);
  EXPECT_EQ(sent[14].at - sent[13].at, 160);
  EXPECT_EQ(sent[18].at - sent[17].at, 342);
  EXPECT_EQ(b.status.PanelText(0), "no device found");
  EXPECT_FALSE(b.finderView.visible);
  EXPECT_EQ(b.line->Settings().BaudRate, 115200u);
  EXPECT_EQ(b.speed.ItemText(b.speed.ItemIndex()), "115200") << "the rate the link has";
  EXPECT_EQ(b.address.ItemIndex(), 5) << "the address as it was before the search";
  EXPECT_EQ(b.session->controller->Mode(), ControllerMode::Idle);

  // A unit answers after "OP2": the search ends with address 2 chosen, and the detection that
  // follows addresses that module.
  b.session->FindDevice();
  b.loop.RunFor(61);
  ASSERT_EQ(b.Written().back(), "OP2\r");
  b.line->Send("OK\r\n");
  b.loop.RunFor(30);
  EXPECT_FALSE(b.finderView.visible);
  EXPECT_FALSE(f.Searching());
  EXPECT_EQ(b.address.ItemIndex(), 2);
  EXPECT_EQ(b.session->controller->Mode(), ControllerMode::Detect);
  b.loop.RunFor(150);
  EXPECT_EQ(b.Written().back(), "OP 2\r");
}

TEST(DeviceFinder, ClosedByTheUserAndStartedTwice) {
  AppBench b;
  b.session->Start({});
  b.session->FindDevice();
  b.loop.RunFor(45);
  b.session->FindDevice(); // a second press is ignored: the search goes on where it was
  EXPECT_EQ(b.status.PanelText(0), vk::app::Session::kSearchRunningText);
  b.loop.RunFor(41);
  EXPECT_EQ(b.Written(), (std::vector<std::string>{"OP0\r", "OP1\r", "OP2\r", "OP3\r"}));
  b.session->comm->SetBaudRate(57600); // as the search does at its next rate
  b.speed.SetItemIndex(1);
  b.session->FinderClosed();
  EXPECT_FALSE(b.finderView.visible);
  EXPECT_EQ(b.address.ItemIndex(), 0) << "closed without a unit: the address as it was";
  b.loop.RunFor(2000);
  EXPECT_EQ(b.Written().size(), 4u) << "a closed search sends nothing more, no detection";
  EXPECT_EQ(b.line->Settings().BaudRate, 115200u);
  EXPECT_EQ(b.speed.ItemText(b.speed.ItemIndex()), "115200");

  // The pauses after a rate change are the timer's: a close in them is heard at once.
  b.session->FindDevice();
  ASSERT_TRUE(b.loop.RunUntil([&] { return b.line->Settings().BaudRate == 57600u; }, 2000));
  const std::size_t sent = b.Written().size();
  b.session->FinderClosed();
  b.loop.RunFor(1000);
  EXPECT_EQ(b.Written().size(), sent) << "no \"OP0\" after the close";
  EXPECT_EQ(b.line->Settings().BaudRate, 115200u);
}

TEST(DeviceFinder, SaysWhatItFoundAndStaysOnItsPage) {
  AppBench b;
  b.unit.AddModule(2, 136);
  b.AttachUnit();
  b.session->Start({});
  b.session->FindDevice();
  ASSERT_TRUE(b.loop.RunUntil(
      [&] { return !b.session->finder->Searching() && !b.session->controller->Busy(); }, 10000));
  const std::string found = "Found: COM1 at 115200 bit/s, address 2, QRD14 (type 136)";
  EXPECT_EQ(b.status.PanelText(0), found);
  EXPECT_EQ(b.log.Lines(), (std::vector<std::string>{found}));
  EXPECT_EQ(b.programmerPageShown, 0) << "a second click must not land on Program";
  EXPECT_EQ(b.session->prg->Node().Name, "QRD14");
}

TEST(Pages, ACanInterfaceThatCannotOpenIsNamedWithWhatToDo) {
  AppBench b;
  b.can.initResult = vk::link::CAN_ERR_NOVXD;
  b.session->controller->Policy.inWindow = true;
  b.session->Start({});
  b.ports.SetCurrentIndex(0); // "PCAN"
  b.session->comm->PortListChange(b.ports);
  b.loop.RunFor(500);
  ASSERT_EQ(b.boxes.boxes.size(), 1u);
  EXPECT_EQ(b.boxes.boxes[0].caption, "PCAN: no CAN interface");
  EXPECT_TRUE(b.boxes.boxes[0].text.starts_with(
      "The CAN interface " + vk::platform::ReadCanBusChoice(&b.settings).interface))
      << b.boxes.boxes[0].text;
}

TEST(Pages, ProgrammerPageAndBufferPage) {
  AppBench b;
  b.session->Start({});
  b.Select("QRA11");
  b.session->ProgrammerPageShown();
  EXPECT_FALSE(b.buttons[0].Enabled());
  EXPECT_TRUE(b.buttons[1].Enabled());
  EXPECT_FALSE(b.buttons[2].Enabled()) << "no image";
  EXPECT_EQ(b.info.Lines(), (std::vector<std::string>{"QRA11 #64", "", "COM1, 115200bps"}));

  b.Load("fw.hex", HexText(0x1000, Pattern(16)));
  b.Select("QRD14");
  b.session->ProgrammerPageShown();
  EXPECT_TRUE(b.buttons[2].Enabled());
  EXPECT_TRUE(b.buttons[3].Enabled());
  EXPECT_EQ(b.info.Lines().back(), "INTEL-HEX File.");
  EXPECT_EQ(b.lastBox.ItemIndex(), 64);
  EXPECT_EQ(b.firstBox.ItemIndex(), 0);

  b.Select("Kestron");
  b.session->ProgrammerPageShown();
  EXPECT_TRUE(b.buttons[0].Enabled() && b.buttons[1].Enabled());

  b.session->Clear();
  EXPECT_EQ(b.session->BufferPage().source, "Source=");
  EXPECT_EQ(b.session->BufferPage().range, "Start=, End= ");
  EXPECT_FALSE(b.buttons[2].Enabled());
}

TEST(Pages, SaveWritesThePreparedImage) {
  AppBench b;
  b.session->Start({});
  b.Load("fw.hex", HexText(0x1000, Pattern(0x100)));
  // No target: a box, nothing asked.
  bool asked = false;
  auto none = b.session->Save([&](const vk::app::SaveProposal&) {
    asked = true;
    return std::optional<std::string>();
  });
  EXPECT_FALSE(none);
  EXPECT_FALSE(asked);
  EXPECT_EQ(b.boxes.boxes.back().text, "You must select a target");

  b.Select("QRD14");
  const std::string out = b.dir.File("saved.HEX");
  vk::app::SaveProposal proposal;
  for (int i = 0; i < 2; ++i) // saving twice gives the same file
    ASSERT_TRUE(b.session->Save([&](const vk::app::SaveProposal& p) {
      proposal = p;
      return std::optional<std::string>(out);
    }));
  EXPECT_EQ(proposal.fileName, "image");
  EXPECT_EQ(proposal.extension, "*.a20");
  const std::string text = vk::test::TempDir::Read(out);
  // Intel HEX by the name's ending, from the jump table below the image.
  EXPECT_EQ(text.substr(0, 9), ":200F8000");
  vk::test::LoadedImage back;
  ASSERT_EQ(back.vkf->LoadFromFile(out), vk::image::ImageFormat::IntelHex);
  std::uint16_t sum = 0;
  for (std::uint32_t a = 0x1000; a < 0x8000; a += 2)
    sum = static_cast<std::uint16_t>(sum + (back.At(a) << 8 | back.At(a + 1)));
  EXPECT_EQ(sum, 0) << "the checksum word was saved with the image";
  EXPECT_EQ(back.vkf->MemEnd(), 0x1120u);

  // What a run would refuse is not saved for the target: the run's reason, no file asked for.
  b.Load("low.hex", HexText(0x0000, Pattern(0x10)));
  EXPECT_FALSE(b.session->Save([](const vk::app::SaveProposal&) { return std::nullopt; }));
  EXPECT_EQ(b.boxes.boxes.back().text,
            "the image's data at 0000-000F lies outside the region 1000-7FFF; nothing written");
}
