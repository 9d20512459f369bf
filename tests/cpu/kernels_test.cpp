#include "cpu/Kernels.h"
#include "support/HexText.h"
#include "support/ImageTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>

using vk::cpu::BootKernel;
using vk::cpu::KernelSet;
using vk::test::KernelSRecords;
using vk::test::Pattern;
using vk::test::TempDir;

TEST(Kernels, MissingFilesAreAnnouncedOnceEachInOrder) {
  TempDir dir;
  KernelSet set({dir.Path().string()});
  const auto warnings = set.Warnings();
  ASSERT_EQ(warnings.size(), 3u);
  std::vector<std::string> captions;
  for (const auto& w : warnings) captions.push_back(w.caption);
  EXPECT_EQ(captions, (std::vector<std::string>{"kernelA", "kernelB", "kernelC"}));
  EXPECT_EQ(warnings[0].text,
            "Can't open file\rThe 'kernelA' boot programming kernel will not be available\r"
            "Used for QRE15, QRE16, QRH and H8/3672");
  EXPECT_EQ(warnings[1].text,
            "Can't open file\rThe 'kernelB' boot programming kernel will not be available\r"
            "Used for QRE17, QRF18 mkII and H8/3664");
  EXPECT_EQ(warnings[2].text,
            "Can't open file\rThe 'kernelC' boot programming kernel will not be available\r"
            "Used for H8/3687");
  for (int n = 1; n <= 3; ++n) {
    EXPECT_FALSE(set.Get(n)->Loaded());
    EXPECT_EQ(set.Get(n)->MinAddr, 0);
    EXPECT_EQ(set.Get(n)->KernelImage[0x1234], 0xFF);
  }
  EXPECT_EQ(set.Get(4), nullptr);
}

TEST(Kernels, AKernelIsS1DataCoveringTheKernelAreaExactly) {
  TempDir dir;
  // Records out of order, header and count records, CR LF and a blank line: a kernel.
  const auto bytes = Pattern(BootKernel::kSize);
  std::string text = KernelSRecords(0xF780, bytes);
  const auto second = text.find('\n') + 1;
  text = "S00600004844521B\r\n" + text.substr(second) + text.substr(0, second) + "S5030040BC\r\n\n";
  dir.Write("kernelA.a20", text);
  dir.Write("kernelB.a20", ""); // no kernel: announced with its reason
  KernelSet set({dir.Path().string()});
  const auto warnings = set.Warnings();
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[1].caption, "kernelC");
  EXPECT_EQ(warnings[0].caption, "kernelB");
  EXPECT_EQ(warnings[0].text,
            "boot kernel " + dir.File("kernelB.a20") +
                ": no S1 data (empty file)\rThe 'kernelB' boot programming "
                "kernel will not be available\rUsed for QRE17, QRF18 mkII and H8/3664");
  const BootKernel& k = *set.Get(1);
  ASSERT_TRUE(k.Loaded()) << k.Problem();
  EXPECT_EQ(k.MinAddr, 0xF780);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), k.KernelImage.begin() + 0xF780));
  EXPECT_FALSE(set.Get(2)->Loaded());
  EXPECT_FALSE(k.Warning());

  // The first folder that holds the file wins, even with a file that is no kernel.
  TempDir other;
  other.Write("kernelA.a20", "S1040100EEFF\n");
  KernelSet both({other.Path().string(), dir.Path().string()});
  EXPECT_EQ(both.Get(1)->Path(), other.File("kernelA.a20"));
  EXPECT_EQ(both.Get(1)->Problem(), "line 1 has a wrong checksum");
}
