// The QX4T CAN protocol with the real CAN link (CanLink over PcanUsbOverCanBus) on a bus in
// memory, against the CAN loader model served as a node on the same bus, on the simulated clock:
// the link's 200 ms start, 50 ms before each block and its 50 ms poll take no real time.

#include "app/UserMessages.h"
#include "cpu/QX4T.h"
#include "cpu/Qx4tCanSupport.h"
#include "link/CanLink.h"
#include "platform/PosixSerial.h"
#include "platform/SimulatedEventLoop.h"
#include "programmer/CpuFactory.h"
#include "support/HexText.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

using vk::cpu::TCPU_QX4T;
using vk::devsim::CanTranscriptEntry;
using vk::devsim::Qx4tCanConfig;
using vk::devsim::Qx4tCanLoader;
using vk::programmer::FailReason;
using vk::test::HexText;
using vk::test::Pattern;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes DataOf(const vk::platform::CanFrame& f) {
  return Bytes(f.data.begin(), f.data.begin() + f.length);
}

// The host with the real link; the loader on the same bus.
struct CanBench {
  explicit CanBench(Qx4tCanConfig config) : loader(config) {}

  void SetUp() {
    loop = std::make_unique<vk::platform::SimulatedEventLoop>();
    node = std::make_unique<vk::test::LoaderNode>(loader, wire, *loop);
    bus = wire.Join();
    driver = std::make_unique<vk::link::PcanUsbOverCanBus>(*bus);
    can = std::make_unique<vk::link::CanLink>(*loop, *driver, vk::app::TellInBoxes(boxes));
    vk::cpu::qx4t_can::Attach(*can, nullptr); // as the application does
    can->FillAddressList(address);
    can->FillSpeedList(speed);
    address.SetCurrentIndex(loader.Config().node - 1);
    comm = std::make_unique<vk::link::SerialLink>(*loop, ports, nullptr,
                                                  vk::app::TellInBoxes(boxes), can.get());
    p = std::make_unique<vk::test::Programmer>(
        *loop, *comm,
        [this](const std::function<bool()>& done, vk::platform::Millis limit) {
          return loop->RunUntil(done, limit);
        },
        vk::programmer::MakeCpuFactory(can.get()));
    p->Select("QX4T - PCAN");
  }
  ~CanBench() {
    p.reset();
    comm.reset();
    can.reset();
    EXPECT_EQ(loader.HostFaults(), std::vector<std::string>{}) << "the host waited too short";
  }

  TCPU_QX4T& Cpu() { return dynamic_cast<TCPU_QX4T&>(p->prg.Cpu()); }

  // Loads the image afresh, runs the protocol to its end and returns the log line; the frames the
  // loader took in during the run are in `frames` afterwards.
  std::string Run(std::uint32_t addr, const Bytes& data) {
    p->image.Clear(); // loading adds to what the image holds
    EXPECT_TRUE(p->LoadText(HexText(addr, data)));
    const std::size_t from =
        node->Inspect([](const Qx4tCanLoader& l) { return l.Transcript().size(); });
    p->Program(0);
    EXPECT_TRUE(p->RunToEnd(20000)) << "status: " << p->status.PanelText(0);
    frames.clear();
    linkFrames.clear();
    node->Inspect([&](const Qx4tCanLoader& l) {
      for (std::size_t i = from; i < l.Transcript().size(); ++i) {
        const CanTranscriptEntry& e = l.Transcript()[i];
        if (e.kind != CanTranscriptEntry::Kind::FromHost) continue;
        (e.frame.id == 0 ? linkFrames : frames).push_back(e.frame);
      }
      return 0;
    });
    return p->log.Lines().empty() ? "" : p->log.Lines().back();
  }
  // The block addresses of the last run, in the order sent.
  std::vector<std::uint32_t> BlockAddresses() const {
    std::vector<std::uint32_t> out;
    for (const auto& f : frames)
      if (f.length == 3 && f.data[0] == 0x02) out.push_back(f.data[1] << 8 | f.data[2]);
    return out;
  }

  Qx4tCanLoader loader;
  vk::test::SimulatedCanBus wire;
  vk::platform::PosixSerialPorts ports{vk::platform::PortMap({}, false)};
  vk::platform::RecordingMessageBox boxes;
  vk::link::ListSelector address, speed;
  std::unique_ptr<vk::platform::SimulatedEventLoop> loop;
  std::unique_ptr<vk::test::LoaderNode> node;
  std::unique_ptr<vk::test::SimulatedCanBus::Node> bus;
  std::unique_ptr<vk::link::PcanUsbOverCanBus> driver;
  std::unique_ptr<vk::link::CanLink> can;
  std::unique_ptr<vk::link::SerialLink> comm;
  std::unique_ptr<vk::test::Programmer> p;
  std::vector<vk::platform::CanFrame> frames;     // to the loader's identifier
  std::vector<vk::platform::CanFrame> linkFrames; // the link's start and stop messages
};

Qx4tCanConfig Node(int node) {
  Qx4tCanConfig c;
  c.node = node;
  return c;
}

// The checksum word that makes the big-endian words of from..to add up to zero, written at at.
void AppendWord(Bytes& image, std::uint32_t at, std::uint32_t from, std::uint32_t to) {
  image[at] = image[at + 1] = 0;
  std::uint16_t sum = 0;
  for (std::uint32_t a = from; a + 1 <= to; a += 2)
    sum = static_cast<std::uint16_t>(sum + (image[a] << 8 | image[a + 1]));
  const auto word = static_cast<std::uint16_t>(0x10000 - sum);
  image[at] = static_cast<std::uint8_t>(word >> 8);
  image[at + 1] = static_cast<std::uint8_t>(word);
}

} // namespace

TEST(Qx4tCan, FullRunErasesAndProgramsTheBlocksWithTwoChecksumWords) {
  CanBench b(Node(5));
  ASSERT_NO_FATAL_FAILURE(b.SetUp());
  // Six blocks from 0x0400; the third (0x0500) is blank and is skipped.
  Bytes data = Pattern(0x300);
  std::fill(data.begin() + 0x100, data.begin() + 0x180, 0xFF);
  EXPECT_EQ(b.Run(0x0400, data), "QX4T - PCAN node 5 Programmed OK");
  EXPECT_EQ(b.p->StatusTexts().back(), "Module Programmed OK");
  EXPECT_TRUE(b.boxes.boxes.empty());

  // Start, erase, start again, then every block as its address and 16 data frames, all to
  // 0x780 + node 5.
  ASSERT_EQ(b.frames.size(), 3 + 6 * 17u);
  for (const auto& f : b.frames) EXPECT_EQ(f.id, 0x785u);
  EXPECT_EQ(DataOf(b.frames[0]), (Bytes{0x7E, 0x7E}));
  EXPECT_EQ(DataOf(b.frames[1]), (Bytes{0x01, 'E', 'R', 'A', 'S', 'E'}));
  EXPECT_EQ(DataOf(b.frames[2]), (Bytes{0x7E, 0x7E}));
  EXPECT_EQ(b.BlockAddresses(),
            (std::vector<std::uint32_t>{0x0400, 0x0480, 0x0580, 0x0600, 0x0680, 0x0700}));
  for (std::size_t blk = 0; blk < 6; ++blk)
    for (std::size_t i = 1; i <= 16; ++i)
      EXPECT_EQ(b.frames[3 + blk * 17 + i].length, 8) << "block " << blk << " frame " << i;
  EXPECT_TRUE(b.linkFrames.empty()) << "the link was closed: no stop message on the first run";

  // The image with its two words: the first over the region 0x0400-0xBFFF, the second over the
  // same region with the first in place; the erased rest of the image counts as 0xFF.
  Bytes image(0x10000, 0xFF);
  std::copy(data.begin(), data.end(), image.begin() + 0x400);
  AppendWord(image, 0x0700, 0x0400, 0xBFFF);
  AppendWord(image, 0x0702, 0x0400, 0xBFFF);
  b.node->Inspect([&](const Qx4tCanLoader& l) {
    EXPECT_EQ(l.Counters().erases, 1u);
    EXPECT_EQ(l.Counters().programmed, 6u);
    EXPECT_EQ(l.Counters().refused, 0u);
    for (std::uint32_t a = 0x0400; a < 0x10000; ++a)
      if (l.Flash()[a] != image[a]) {
        ADD_FAILURE() << "flash differs at " << a;
        break;
      }
    std::uint16_t sum = 0;
    for (std::uint32_t a = 0x0400; a < 0xC000; a += 2)
      sum = static_cast<std::uint16_t>(sum + (l.Flash()[a] << 8 | l.Flash()[a + 1]));
    EXPECT_EQ(sum, 0) << "the region with both words adds up to zero";
    return 0;
  });
  EXPECT_EQ(b.Cpu().EndAddr, 0x0704u);
}

TEST(Qx4tCan, BlankBlockSkippedAndASmallImageIsOneBlock) {
  CanBench b(Node(1));
  ASSERT_NO_FATAL_FAILURE(b.SetUp());
  {
    SCOPED_TRACE("0x0400-0x047F all erased: only the block with the two words goes out");
    EXPECT_EQ(b.Run(0x0400, Bytes(0x80, 0xFF)), "QX4T - PCAN node 1 Programmed OK");
    EXPECT_EQ(b.BlockAddresses(), (std::vector<std::uint32_t>{0x0480}));
    ASSERT_EQ(b.frames.size(), 3 + 17u);
    EXPECT_EQ(DataOf(b.frames[3]), (Bytes{0x02, 0x04, 0x80}));
    Bytes image(0x10000, 0xFF);
    AppendWord(image, 0x0480, 0x0400, 0xBFFF);
    AppendWord(image, 0x0482, 0x0400, 0xBFFF);
    EXPECT_EQ(DataOf(b.frames[4]), (Bytes{image[0x480], image[0x481], image[0x482], image[0x483],
                                          0xFF, 0xFF, 0xFF, 0xFF}));
  }
  {
    SCOPED_TRACE("0x0400-0x0410: one block; the link is closed and opened again first");
    const Bytes data = Pattern(0x11);
    EXPECT_EQ(b.Run(0x0400, data), "QX4T - PCAN node 1 Programmed OK");
    EXPECT_EQ(b.BlockAddresses(), (std::vector<std::uint32_t>{0x0400}));
    ASSERT_EQ(b.frames.size(), 3 + 17u);
    EXPECT_EQ(DataOf(b.frames[3]), (Bytes{0x02, 0x04, 0x00}));
    EXPECT_EQ(DataOf(b.frames[4]), Bytes(data.begin(), data.begin() + 8));
    ASSERT_EQ(b.linkFrames.size(), 1u);
    EXPECT_EQ(DataOf(b.linkFrames[0]), (Bytes{0x02})) << "the stop message of CloseLink";
    b.node->Inspect([&](const Qx4tCanLoader& l) {
      EXPECT_EQ(l.Counters().erases, 2u);
      EXPECT_TRUE(std::equal(data.begin(), data.end(), l.Flash().begin() + 0x400));
      return 0;
    });
  }
}

TEST(Qx4tCan, ImageOutsideTheRegionIsRefusedBeforeTheErase) {
  CanBench b(Node(1));
  ASSERT_NO_FATAL_FAILURE(b.SetUp());
  ASSERT_EQ(b.Run(0x0400, Pattern(0x80)), "QX4T - PCAN node 1 Programmed OK");
  // Above the region's end, and a block that starts below it though its data lies inside.
  for (const auto& [addr, at] :
       {std::pair{0xBFF0u, "data at C000-C00F"}, std::pair{0x03F0u, "data at 03F0-03FF"}}) {
    Bytes data = Pattern(0x20);
    data[0] = 0xFF;
    EXPECT_EQ(b.Run(addr, data), "QX4T - PCAN node 1 Failed") << at;
    EXPECT_TRUE(b.frames.empty()) << "nothing sent, so nothing erased";
    EXPECT_EQ(b.p->prg.LastOutcome().reason, vk::programmer::FailReason::ImageOutsideRegion);
    EXPECT_NE(b.p->prg.LastOutcome().detail.find(at), std::string::npos);
    b.node->Inspect([](const Qx4tCanLoader& l) {
      EXPECT_EQ(l.Counters().erases, 1u);
      EXPECT_EQ(l.Flash()[0x400], Pattern(1)[0]) << "the application is still there";
      return 0;
    });
  }
}

TEST(Qx4tCan, RefusalsEndTheRunAtOnceAndSilenceAtTheLimit) {
  CanBench b(Node(9));
  for (const char* rule :
       {"command:ERASE#1=X", "record:2=E", "record:4=silent", "after-records:4=silent"})
    ASSERT_TRUE(b.loader.AddFault(rule));
  ASSERT_NO_FATAL_FAILURE(b.SetUp());
  b.Cpu().BlockAnswerLimitMs = 400;
  b.Cpu().EraseAnswerLimitMs = 400;
  b.Cpu().EraseQuietNoticeMs = 200;
  const Bytes data = Pattern(0x180); // three blocks

  EXPECT_EQ(b.Run(0x0400, data), "QX4T - PCAN node 9 Failed") << "Erase answered EF";
  EXPECT_EQ(b.p->prg.LastOutcome().reason, FailReason::EraseFailed);
  EXPECT_TRUE(b.BlockAddresses().empty());
  EXPECT_EQ(b.frames.size(), 2u) << "start and Erase; no start frame for programming";

  EXPECT_EQ(b.Run(0x0400, data), "QX4T - PCAN node 9 Failed") << "the second block answered EF";
  EXPECT_EQ(b.p->prg.LastOutcome().reason, FailReason::RecordRefused);
  EXPECT_EQ(b.BlockAddresses(), (std::vector<std::uint32_t>{0x0400, 0x0480}))
      << "no block is sent again";

  // Unanswered waits end at their own limits, each named in the outcome.
  EXPECT_EQ(b.Run(0x0400, data), "QX4T - PCAN node 9 Failed") << "the fourth block unanswered";
  EXPECT_EQ(b.p->prg.LastOutcome().reason, FailReason::RecordUnanswered);
  EXPECT_EQ(b.BlockAddresses(), (std::vector<std::uint32_t>{0x0400, 0x0480}));

  EXPECT_EQ(b.Run(0x0400, data), "QX4T - PCAN node 9 Failed") << "Erase unanswered";
  EXPECT_EQ(b.p->prg.LastOutcome().reason, FailReason::EraseFailed);
  EXPECT_EQ(b.p->prg.LastOutcome().detail, "erase unanswered: node 9 said nothing in 0.4 s");
  // The silence was said before the limit, naming the node to look for.
  const auto log = b.p->log.Lines();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2].rfind("QX4T - PCAN node 9 no answer to Erase after 0.2 s: is a "
                                      "QX4T at CAN address 9 on this bus",
                                      0),
            0u)
      << log[log.size() - 2];
  EXPECT_TRUE(b.BlockAddresses().empty());
  EXPECT_EQ(b.p->StatusTexts().back(), "Module Programming Failed");
}
