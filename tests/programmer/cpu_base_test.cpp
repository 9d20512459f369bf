// The protocol base: the default walk; the record loader: the records it puts on the wire.

#include "protocol/RecordLoader.h"
#include "support/HexText.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

using namespace vk::programmer;
using vk::test::HexText;
using vk::test::Pattern;
using vk::test::SimWorld;

namespace {
std::unique_ptr<ProtocolBase> PlainCpu(std::uint8_t, vk::platform::IEventLoop& loop) {
  return std::make_unique<ProtocolBase>(loop);
}
std::unique_ptr<ProtocolBase> PlainRecordLoader(std::uint8_t, vk::platform::IEventLoop& loop) {
  return std::make_unique<RecordLoader>(loop);
}
} // namespace

TEST(CpuBase, RecordsOnTheWire) {
  SimWorld w;
  vk::test::Programmer p(w, PlainRecordLoader);
  auto& cpu = static_cast<RecordLoader&>(p.prg.Cpu());
  std::uint8_t* image = p.image.Image();

  // 128 bytes of 0x00 at 0x2000, exactly as the loaders expect them.
  std::fill(image + 0x2000, image + 0x2080, 0x00);
  cpu.Buffer = image;
  cpu.Comm = w.comm.get();
  cpu.CurAddr = 0x2000;
  cpu.EndAddr = 0x2080;
  EXPECT_TRUE(cpu.SendNextRecord());
  EXPECT_EQ(cpu.CurAddr, 0x2080u);
  EXPECT_FALSE(cpu.SendNextRecord());
  w.loop.RunFor(100);
  ASSERT_EQ(w.Written().size(), 2u);
  EXPECT_EQ(w.Written()[0], ":80200000" + std::string(256, '0') + "60\r");
  EXPECT_EQ(w.Written()[1], ":00000001FF\r");

  // A short image is sent as a whole block, with what the image holds past its end.
  ASSERT_EQ(p.image.LoadFromMemory(
                "a.hex",
                reinterpret_cast<const std::uint8_t*>(HexText(0x1000, {1, 2, 3, 4}).data()),
                HexText(0x1000, {1, 2, 3, 4}).size()),
            vk::image::ImageFormat::IntelHex);
  cpu.CurAddr = 0x1000;
  cpu.EndAddr = 0x1004;
  EXPECT_TRUE(cpu.SendNextRecord());
  w.loop.RunFor(50);
  const std::string rec = w.Written().back();
  EXPECT_EQ(rec.substr(0, 17), ":8010000001020304");
  EXPECT_EQ(rec.substr(17, 248), std::string(248, 'F'));
  EXPECT_EQ(rec.size(), 1 + 8 + 256 + 2 + 1u);

  // Blank blocks are skipped; an image of only 0xFF sends the end record at once.
  std::fill(image + 0x3000, image + 0x3200, 0xFF);
  image[0x3180] = 0x42;
  cpu.CurAddr = 0x3000;
  cpu.EndAddr = 0x3181;
  EXPECT_TRUE(cpu.SendNextRecord());
  EXPECT_EQ(cpu.CurAddr, 0x3200u);
  w.loop.RunFor(50);
  EXPECT_EQ(w.Written().back().substr(0, 9), ":80318000");
  cpu.CurAddr = 0x3000;
  cpu.EndAddr = 0x3180;
  EXPECT_FALSE(cpu.SendNextRecord());
  w.loop.RunFor(100); // the end record goes after its pause

  // The last block is cut at the top of the image instead of reading past it.
  std::fill(image + 0xFF85, image + 0x10000, 0x11);
  cpu.CurAddr = 0xFF85;
  cpu.EndAddr = 0x10000;
  EXPECT_TRUE(cpu.SendNextRecord());
  w.loop.RunFor(50);
  EXPECT_EQ(w.Written().back().substr(0, 9), ":7BFF8500");
  EXPECT_EQ(w.Written().back().size(), 1 + 8 + 2 * 0x7B + 2 + 1u);
  EXPECT_FALSE(cpu.SendNextRecord());
}
