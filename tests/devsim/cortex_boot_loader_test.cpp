// The Cortex-M3 boot-loader model and its vkdevsim command, driven in-process in virtual time.

#include "devsim/CortexBootLoader.h"
#include "support/RunProcess.h"

#include <gtest/gtest.h>

using vk::devsim::CortexBootLoader;
using vk::devsim::CortexConfig;
using vk::devsim::HostLine;
using vk::devsim::Millis;
using vk::devsim::Parity;

namespace {

struct Host {
  CortexBootLoader& loader;
  Millis now = 0;
  std::string Ask(std::string_view bytes) {
    loader.Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), now);
    return Read();
  }
  std::string Read() {
    const auto out = loader.TakeOutput(now);
    return std::string(out.begin(), out.end());
  }
};

std::string Frame(std::uint32_t a) {
  std::string f{static_cast<char>(a >> 24), static_cast<char>(a >> 16), static_cast<char>(a >> 8),
                static_cast<char>(a)};
  f += static_cast<char>(f[0] ^ f[1] ^ f[2] ^ f[3]);
  return f;
}

const std::string kRead("\x11\xEE", 2);
const std::string kLength16("\x0F\xF0", 2);

} // namespace

// AN2606: the loader takes the host's rate from the first byte after a reset. The "O" of a
// unit's "OP 0" spoils it: nothing the host sends is heard after that.
TEST(CortexBootLoaderModel, AFirstByteOtherThan0x7FLeavesTheLoaderDeaf) {
  CortexBootLoader loader;
  Host h{loader};
  EXPECT_EQ(h.Ask("OP 0\r"), "");
  EXPECT_EQ(h.Ask("\x7F"), "");
  EXPECT_EQ(loader.Stats().syncs, 0);
  EXPECT_EQ(loader.Stats().wrongFirst, 'O');
}

TEST(CortexBootLoaderModel, ReadsBlocksWithTheirCheckByte) {
  CortexConfig config;
  config.dataDelayMs = 50;
  CortexBootLoader loader(config);
  loader.PutMemory(0x100, {1, 2, 3});
  Host h{loader};
  EXPECT_EQ(h.Ask("\x7F"), "y");
  EXPECT_EQ(h.Ask(kRead), "y");
  EXPECT_EQ(h.Ask(Frame(0x08000100)), "y");
  EXPECT_EQ(h.Ask(kLength16), "y");
  h.now += 49;
  EXPECT_EQ(h.Read(), "") << "the data follows after a pause";
  h.now += 1;
  std::string expected{1, 2, 3};
  expected.resize(16, '\xFF');
  EXPECT_EQ(h.Read(), expected + '\xFF') << "16 bytes and their XOR (1 ^ 2 ^ 3 ^ 13 x 0xFF)";
  EXPECT_EQ(loader.Stats().blocksRead, std::vector<std::uint32_t>{0x100});
  EXPECT_EQ(h.Ask("\x7F"), "y") << "synchronising again between commands";
}

TEST(CortexBootLoaderModel, RefusesWhatIsWrong) {
  CortexConfig config;
  config.memorySize = 0x1000;
  CortexBootLoader loader(config);
  Host h{loader};
  h.Ask("\x7F");
  EXPECT_EQ(h.Ask(std::string("\x11\xEF", 2)), "\x1F") << "complement";
  EXPECT_EQ(h.Ask(std::string("\x44\xBB", 2)), "\x1F") << "Extended Erase is not offered";
  h.Ask(kRead);
  std::string f = Frame(0x08000100);
  f[4] = static_cast<char>(~f[4]);
  EXPECT_EQ(h.Ask(f), "\x1F") << "the complement of the XOR is no check byte";
  h.Ask(kRead);
  EXPECT_EQ(h.Ask(Frame(0x08001000)), "\x1F") << "past the flash";
  h.Ask(kRead);
  EXPECT_EQ(h.Ask(Frame(0)), "\x1F") << "the loader reads no memory at 0";
  h.Ask(kRead);
  h.Ask(Frame(0x08000F80));
  EXPECT_EQ(h.Ask(std::string("\xFF\x00", 2)), "\x1F") << "256 bytes would run past the end";
  EXPECT_EQ(loader.Stats().nacks, 6);
  EXPECT_EQ(loader.Stats().readCommands, 4);
}

TEST(CortexBootLoaderModel, NeedsEvenParityWhereTheLineCarriesIt) {
  CortexConfig config;
  config.requireEvenParity = true;
  CortexBootLoader loader(config);
  Host h{loader};
  EXPECT_EQ(h.Ask("\x7F"), "") << "no parity bit: a framing error, not a byte";
  HostLine even;
  even.parity = Parity::Even;
  loader.SetHostLine(even, 0);
  EXPECT_EQ(h.Ask("\x7F"), "y");
}

TEST(CortexBootLoaderModel, CommandLine) {
  const std::string vkdevsim = std::string(VK_BIN_DIR) + "/vkdevsim";
  auto r = vk::test::RunProcess(vkdevsim, {"cortex", "--help"});
  EXPECT_EQ(r.exitCode, 0);
  for (const char* word : {"--not-blank-from", "--data-delay-ms", "--fault RULE", "--link"})
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  const std::vector<std::vector<std::string>> bad = {
      {"cortex", "--not-blank-from", "0x20000"},
      {"cortex", "--memory-size", "16"},
      {"cortex", "--baud", "x"},
      {"cortex", "--fault", "command:data=maybe"},
      {"cortex", "--frobnicate"},
  };
  for (const auto& args : bad) {
    r = vk::test::RunProcess(vkdevsim, args);
    EXPECT_EQ(r.exitCode, 2) << args.back();
    EXPECT_TRUE(r.out.empty()) << args.back();
  }
}

// AN3155's write: the address with the XOR of its bytes, then N, the bytes and the XOR of N and
// them. Flash takes only the cleared bits; the erase command Get does not offer is refused.
TEST(CortexBootLoaderModel, WritesClearBitsOnlyAndOffersOneEraseCommand) {
  CortexBootLoader loader;
  loader.PutMemory(0x10, {0x0F, 0xFF, 0xFF, 0xFF});
  Host h{loader};
  EXPECT_EQ(h.Ask("\x7F"), "y");
  EXPECT_EQ(h.Ask(std::string("\x31\xCE", 2)), "y");
  EXPECT_EQ(h.Ask(Frame(0x08000010)), "y");
  EXPECT_EQ(h.Ask(std::string("\x03\xF0\x12\x34\x56\x83", 6)), "") << "programming";
  h.now += 1;
  EXPECT_EQ(h.Read(), "y");
  EXPECT_EQ(loader.Memory()[0x10], 0x00) << "0x0F AND 0xF0";
  EXPECT_EQ(loader.Memory()[0x11], 0x12);
  EXPECT_EQ(h.Ask(std::string("\x44\xBB", 2)), "\x1F") << "Extended Erase is not offered";
  EXPECT_EQ(h.Ask(std::string("\x43\xBC", 2)), "y");
  EXPECT_EQ(h.Ask(std::string("\x00\x00\x00", 3)), "") << "erasing page 0";
  h.now += 20;
  EXPECT_EQ(h.Read(), "y");
  EXPECT_EQ(loader.Memory()[0x10], 0xFF);
  EXPECT_EQ(h.Ask(std::string("\x31\xCE", 2)), "y");
  EXPECT_EQ(h.Ask(Frame(0x08000012)), "\x1F") << "not a word";
}
