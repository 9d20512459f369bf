// The two QX4T loader models, driven in-process in virtual time; and their vkdevsim commands'
// arguments.

#include "devsim/Qx4tBootLoader.h"
#include "devsim/Qx4tCanLoader.h"
#include "support/RunProcess.h"

#include <gtest/gtest.h>

#include <cstdio>

using vk::devsim::Millis;
using vk::devsim::Qx4tBootConfig;
using vk::devsim::Qx4tBootLoader;
using vk::devsim::Qx4tCanConfig;
using vk::devsim::Qx4tCanLoader;
using vk::platform::CanFrame;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string DataRecord(std::uint16_t address, const Bytes& data, int checksumError = 0) {
  char buf[16];
  std::string text = ":";
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF);
  std::snprintf(buf, sizeof buf, "%02X%04X00", static_cast<unsigned>(data.size()), address);
  text += buf;
  for (const auto b : data) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    text += buf;
    sum += b;
  }
  std::snprintf(buf, sizeof buf, "%02X", (0x100 - (sum & 0xFF) + checksumError) & 0xFF);
  return text + buf + "\r";
}

struct SerialHost {
  Qx4tBootLoader& loader;
  Millis now = 0;
  std::uint32_t baud = 57600;

  // Writes text at the current time and returns what has come back 50 ms later.
  std::string Ask(std::string_view text) {
    loader.SetHostBaud(baud, now);
    loader.Receive(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), now);
    now += 50;
    const auto out = loader.TakeOutput(now);
    return std::string(out.begin(), out.end());
  }
};

CanFrame Frame(std::uint32_t id, Bytes data) {
  CanFrame f;
  f.id = id;
  f.length = static_cast<std::uint8_t>(data.size());
  std::copy(data.begin(), data.end(), f.data.begin());
  return f;
}

struct CanHost {
  Qx4tCanLoader& loader;
  Millis now = 0;

  // Sends the frames at the current time; returns the answers' data after the given pause.
  std::vector<Bytes> Send(const std::vector<Bytes>& frames, Millis pause = 50) {
    for (const auto& f : frames) loader.Receive(Frame(loader.CommandId(), f), now);
    now += pause;
    std::vector<Bytes> out;
    for (const auto& f : loader.TakeOutput(now)) {
      EXPECT_EQ(f.id, loader.ReplyId());
      out.emplace_back(f.data.begin(), f.data.begin() + f.length);
    }
    return out;
  }
  // A block address frame and its 16 data frames of `fill`.
  std::vector<Bytes> Block(std::uint16_t addr, std::uint8_t fill) {
    std::vector<Bytes> frames{
        {0x02, static_cast<std::uint8_t>(addr >> 8), static_cast<std::uint8_t>(addr & 0xFF)}};
    for (int i = 0; i < 16; ++i) frames.push_back(Bytes(8, fill));
    return frames;
  }
};

const Bytes kStart{0x7E, 0x7E};
const Bytes kErase{0x01, 'E', 'R', 'A', 'S', 'E'};

} // namespace

TEST(Qx4tBootLoader, EntersErasesProgramsAndStarts) {
  Qx4tBootLoader loader;
  loader.Preload(0x0000, Bytes(16, 0x00));
  loader.Preload(0xE000, Bytes{0x12, 0x34});
  SerialHost host{loader};
  EXPECT_EQ(host.Ask(DataRecord(0x0000, {1, 2})), "") << "the application ignores records";
  EXPECT_EQ(loader.Counters().ignored, 1u);
  EXPECT_EQ(host.Ask(" bm \r\n"), "OK\r\n");
  EXPECT_TRUE(loader.InLoader());
  EXPECT_EQ(loader.Flash()[0x0000], 0xFF) << "the application area is erased";
  EXPECT_EQ(loader.Flash()[0xE000], 0x12) << "the loader itself is not";
  EXPECT_EQ(host.Ask(DataRecord(0x0100, {1, 2, 3})), ".\r\n");
  EXPECT_EQ(host.Ask(DataRecord(0x0100, {0xFF, 0x00, 0x03})), "R\r\n") << "not erased";
  EXPECT_EQ(host.Ask(DataRecord(0x0200, {1}, 1)), "X\r\n") << "bad checksum";
  EXPECT_EQ(host.Ask(":0102\r"), "X\r\n") << "malformed";
  EXPECT_EQ(host.Ask(DataRecord(0xDFFF, {1, 2})), "R\r\n") << "into the loader";
  EXPECT_EQ(host.Ask(":00000001FF\r"), ".\r\n");
  EXPECT_EQ(host.Ask("HELLO\r"), "?\r\n");
  EXPECT_EQ(host.Ask("GN\r"), "");
  EXPECT_FALSE(loader.InLoader());
  EXPECT_EQ(loader.Flash()[0x0102], 3);
  EXPECT_EQ(loader.Counters().programmed, 1u);
  EXPECT_EQ(loader.Counters().refused, 4u);
  EXPECT_EQ(loader.Counters().starts, 1u);

  host.baud = 115200;
  EXPECT_EQ(host.Ask("BM\r"), "") << "another rate is lost";
  EXPECT_EQ(loader.Counters().enters, 1u);
}

TEST(Qx4tBootLoader, FaultsAndTiming) {
  Qx4tBootConfig config;
  config.eraseMs = 300;
  Qx4tBootLoader loader(config);
  ASSERT_TRUE(loader.AddFault("command:BM#1=garbage"));
  ASSERT_TRUE(loader.AddFault("record:2=silent"));
  ASSERT_TRUE(loader.AddFault("after-records:3=hangup"));
  SerialHost host{loader};
  EXPECT_EQ(host.Ask("BM\r"), "") << "the erase takes 300 ms";
  host.now = 300;
  const auto out = loader.TakeOutput(host.now);
  EXPECT_EQ(std::string(out.begin(), out.end()), "\x9C\x3F\xF1\r\n");
  EXPECT_EQ(host.Ask("BM\r"), "");
  host.now += 300;
  const auto again = loader.TakeOutput(host.now);
  EXPECT_EQ(std::string(again.begin(), again.end()), "OK\r\n");
  EXPECT_EQ(host.Ask(DataRecord(0x0000, {1})), ".\r\n");
  EXPECT_EQ(host.Ask(DataRecord(0x0010, {2})), "");
  EXPECT_EQ(loader.Flash()[0x0010], 2) << "silent: carried out";
  EXPECT_FALSE(loader.HungUp());
  EXPECT_EQ(host.Ask(DataRecord(0x0020, {3})), ".\r\n");
  EXPECT_TRUE(loader.HungUp());
}

TEST(Qx4tCanLoader, CommandsBlocksAndRefusals) {
  Qx4tCanConfig config;
  config.node = 5;
  config.eraseMs = 100;
  Qx4tCanLoader loader(config);
  CanHost host{loader};
  EXPECT_EQ(loader.CommandId(), 0x785u);
  EXPECT_EQ(loader.ReplyId(), 0x705u);

  EXPECT_EQ(host.Send({kErase}), (std::vector<Bytes>{{0xE1}})) << "not started";
  EXPECT_EQ(host.Send({{0x02, 0x04, 0x00}, Bytes(8, 0x11)}), (std::vector<Bytes>{{0xE1}, {0xE4}}))
      << "not started; then data without an address";
  EXPECT_EQ(host.Send({kStart}), std::vector<Bytes>{}) << "start has no answer";
  EXPECT_TRUE(loader.Started());

  EXPECT_EQ(host.Send({kErase}), std::vector<Bytes>{}) << "the erase takes 100 ms";
  host.now += 50;
  EXPECT_EQ(host.Send({}), (std::vector<Bytes>{{0x00}}));

  EXPECT_EQ(host.Send(host.Block(0x0400, 0x11)), (std::vector<Bytes>{{0x01}}));
  EXPECT_EQ(loader.Flash()[0x0400], 0x11);
  EXPECT_EQ(loader.Flash()[0x047F], 0x11);
  EXPECT_EQ(loader.Flash()[0x0480], 0xFF);
  EXPECT_EQ(host.Send(host.Block(0x0400, 0x22)), (std::vector<Bytes>{{0xE3}})) << "not erased";
  // The bus must be quiet 50 ms before a block address: the first block came 50 ms after the
  // erase's answer, the second 48 ms after the first block's.
  EXPECT_EQ(loader.HostFaults(), (std::vector<std::string>{"block address at 350 ms only 48 ms "
                                                           "after the last frame (needs 50)"}));
  EXPECT_EQ(host.Send(host.Block(0x0380, 0x00)), (std::vector<Bytes>{{0xE2}})) << "the loader";
  EXPECT_EQ(host.Send(host.Block(0xFFC0, 0x00)), (std::vector<Bytes>{{0xE2}})) << "past 0xFFFF";
  EXPECT_EQ(host.Send({{0x03, 0x01}}), (std::vector<Bytes>{{0xE5}}));

  // A block broken off by a short frame; the frame itself is taken as a command.
  auto broken = host.Block(0x0800, 0x33);
  broken.resize(4);
  broken.push_back(kStart);
  EXPECT_EQ(host.Send(broken), (std::vector<Bytes>{{0xE4}}));
  EXPECT_EQ(loader.Counters().starts, 2u);
  EXPECT_EQ(loader.Flash()[0x0800], 0xFF);

  // A block's data frames may look like commands; only the count of frames ends it.
  auto lookalike = host.Block(0x0900, 0x00);
  lookalike[1] = Bytes{0x01, 'E', 'R', 'A', 'S', 'E', 0x7E, 0x7E};
  EXPECT_EQ(host.Send(lookalike), (std::vector<Bytes>{{0x01}}));
  EXPECT_EQ(loader.Flash()[0x0901], 'E');

  // Frames for other nodes and the link's own messages.
  loader.Receive(Frame(0x786, kErase), host.now);
  loader.Receive(Frame(0x000, {0x02}), host.now);
  EXPECT_EQ(host.Send({}), std::vector<Bytes>{});
  EXPECT_EQ(loader.Counters().otherFrames, 1u);
  EXPECT_EQ(loader.Counters().linkStops, 1u);
  EXPECT_EQ(loader.Counters().programmed, 2u);
}

TEST(Qx4tCanLoader, Faults) {
  Qx4tCanLoader loader;
  ASSERT_TRUE(loader.AddFault("command:ERASE#1=R"));
  ASSERT_TRUE(loader.AddFault("record:1=garbage"));
  ASSERT_TRUE(loader.AddFault("record:2=silent"));
  ASSERT_TRUE(loader.AddFault("after-records:3=hangup"));
  CanHost host{loader};
  host.Send({kStart});
  EXPECT_EQ(host.Send({kErase}), (std::vector<Bytes>{{0xEF}}));
  EXPECT_EQ(loader.Counters().erases, 0u);
  EXPECT_EQ(host.Send({kErase}), (std::vector<Bytes>{{0x00}}));
  EXPECT_EQ(host.Send(host.Block(0x0400, 1)), (std::vector<Bytes>{{0x9C, 0x3F, 0xF1}}));
  EXPECT_EQ(host.Send(host.Block(0x0480, 2)), std::vector<Bytes>{});
  EXPECT_EQ(loader.Flash()[0x0480], 2) << "silent: carried out";
  EXPECT_EQ(host.Send(host.Block(0x0500, 3)), (std::vector<Bytes>{{0x01}}))
      << "the answer goes out before the node leaves";
  EXPECT_TRUE(loader.HungUp());
  EXPECT_EQ(host.Send({kErase}), std::vector<Bytes>{});

  Qx4tCanLoader absent;
  ASSERT_TRUE(absent.AddFault("silent"));
  CanHost quiet{absent};
  EXPECT_EQ(quiet.Send({kStart, kErase}), std::vector<Bytes>{});
  EXPECT_FALSE(absent.Started());
}

TEST(Qx4tCommands, BadArgumentsAreRefused) {
  const std::string sim = std::string(VK_BIN_DIR) + "/vkdevsim";
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"qx4t-can", "--node", "0"},
                                             {"qx4t-can", "--node", "127"},
                                             {"qx4t-can", "--reply-base", "0x701"},
                                             {"qx4t-can", "--fault", "record:0=X"},
                                             {"qx4t-can", "--bogus"},
                                             {"qx4t-boot", "--record-ack", "comma"},
                                             {"qx4t-boot", "--app-end", "0x10000"},
                                             {"qx4t-boot", "--fault", "nonsense"}}) {
    const auto r = vk::test::RunProcess(sim, args);
    EXPECT_EQ(r.exitCode, 2) << args[1] << " " << args.back() << "\n" << r.err;
    EXPECT_NE(r.err.find("vkdevsim " + args[0] + ": "), std::string::npos) << r.err;
  }
  const auto help = vk::test::RunProcess(sim, {"qx4t-can", "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("--node N"), std::string::npos);
  const auto gone = vk::test::RunProcess(sim, {"qx4t-can", "--backend", "nosuchbackend"});
  EXPECT_EQ(gone.exitCode, 1) << "a bus that cannot be opened";
  EXPECT_NE(gone.err.find("nosuchbackend"), std::string::npos) << gone.err;
}
