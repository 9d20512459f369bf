#include "cpu/Kernels.h"
#include "platform/RecordingMessageBox.h"
#include "support/ImageTestUtil.h"

#include <gtest/gtest.h>

using vk::cpu::KernelSet;
using vk::cpu::TProgKernel;
using vk::platform::MsgIcon;
using vk::platform::RecordingMessageBox;
using vk::test::TempDir;

TEST(Kernels, MissingFilesAreAnnouncedOnceEachInOrder) {
  TempDir dir;
  RecordingMessageBox boxes;
  KernelSet set(&boxes, {dir.Path().string()});
  ASSERT_EQ(boxes.boxes.size(), 3u);
  EXPECT_EQ(boxes.Captions(), (std::vector<std::string>{"kernelA", "kernelB", "kernelC"}));
  EXPECT_EQ(boxes.boxes[0].text,
            "Can't open file\rThe 'kernelA' boot programming kernel will not be available\r"
            "Used for QRE15 and QRE16");
  EXPECT_EQ(boxes.boxes[1].text,
            "Can't open file\rThe 'kernelB' boot programming kernel will not be available\r"
            "Used for QRE17, QRD14 and QRF18 II");
  EXPECT_EQ(boxes.boxes[2].text,
            "Can't open file\rThe 'kernelC' boot programming kernel will not be available\r"
            "Used for QRF18 III and QRG19");
  EXPECT_EQ(boxes.boxes[0].icon, MsgIcon::Warning);
  for (int n = 1; n <= 3; ++n) {
    EXPECT_FALSE(set.Get(n)->Loaded());
    EXPECT_EQ(set.Get(n)->MinAddr, 0);
    EXPECT_EQ(set.Get(n)->KernelImage[0x1234], 0xFF);
  }
  EXPECT_EQ(set.Get(4), nullptr);
}

TEST(Kernels, S1LinesAreParsedChecksumsAreNot) {
  TempDir dir;
  // A header, two S1 records out of order (one with a wrong checksum), a cut line, S9.
  dir.Write("kernelB.a20", "S00600004844521B\r\n"
                           "S1130010101112131415161718191A1B1C1D1E1F00\r\n"
                           "S1130000000102030405060708090A0B0C0D0E0F74\r\n"
                           "S1070020AABBZZDD00\r\n"
                           "S9030000FC\r\n");
  RecordingMessageBox boxes;
  KernelSet set(&boxes, {dir.Path().string()});
  EXPECT_EQ(boxes.Captions(), (std::vector<std::string>{"kernelA", "kernelC"}));
  const TProgKernel& k = *set.Get(2);
  ASSERT_TRUE(k.Loaded());
  EXPECT_EQ(k.MinAddr, 0x0000);
  EXPECT_EQ(k.KernelImage[0x000F], 0x0F);
  EXPECT_EQ(k.KernelImage[0x0010], 0x10);
  EXPECT_EQ(k.KernelImage[0x001F], 0x1F);
  EXPECT_EQ(k.KernelImage[0x0020], 0xAA); // the cut line keeps the bytes before the bad pair
  EXPECT_EQ(k.KernelImage[0x0021], 0xBB);
  EXPECT_EQ(k.KernelImage[0x0022], 0xFF);
  EXPECT_EQ(k.KernelImage[0x0023], 0xFF);
}

TEST(Kernels, MinAddrSingleLineAndTopOfImage) {
  TempDir dir;
  dir.Write("kernelA.a20", "S10BF78001020304050607088A\nS10BF800AABBCCDDEEFF00118A\nS9030000FC\n");
  dir.Write("kernelC.a20", "S1130000000102030405060708090A0B0C0D0E0F74\n");
  RecordingMessageBox boxes;
  KernelSet set(&boxes, {dir.Path().string()});
  EXPECT_TRUE(boxes.boxes.size() == 1 && boxes.boxes[0].caption == "kernelB");
  EXPECT_EQ(set.Get(1)->MinAddr, 0xF780);
  EXPECT_EQ(set.Get(1)->KernelImage[0xF787], 0x08);
  EXPECT_EQ(set.Get(1)->KernelImage[0xF801], 0xBB);
  // A file of one line is read but not parsed.
  EXPECT_TRUE(set.Get(3)->Loaded());
  EXPECT_EQ(set.Get(3)->KernelImage[0x0001], 0xFF);

  // Data that would run past 0xFFFF is dropped at the top, never written elsewhere.
  dir.Write("kernelB.a20", "S00600004844521B\nS10BFFFC0102030405060708FF\n");
  KernelSet top(nullptr, {dir.Path().string()});
  EXPECT_EQ(top.Get(2)->MinAddr, 0xFFFC);
  EXPECT_EQ(top.Get(2)->KernelImage[0xFFFF], 0x04);
  EXPECT_EQ(top.Get(2)->KernelImage[0x0000], 0xFF);

  // The first folder that holds the file wins.
  TempDir second;
  second.Write("kernelB.a20", "S0030000FC\nS1040100EEFF\n");
  KernelSet both(nullptr, {second.Path().string(), dir.Path().string()});
  EXPECT_EQ(both.Get(2)->MinAddr, 0x0100);
  EXPECT_EQ(both.Get(2)->Path(), second.File("kernelB.a20"));
}
