// vkprog's file commands, run as a user runs them: a real process on real files.

#include "image/FirmwareImage.h"
#include "support/ImageTestUtil.h"
#include "support/RunProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>

using vk::image::ImageFormat;
using vk::test::LoadedImage;
using vk::test::ProcessResult;
using vk::test::TempDir;

namespace {

ProcessResult Vkprog(const std::vector<std::string>& args) {
  return vk::test::RunProcess(std::string(VK_BIN_DIR) + "/vkprog", args);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// 0x1000..0x10FF: a vector table whose entry 1 points to 0x1080, then a counting pattern.
std::string ProgramAt1000() {
  std::string text;
  for (unsigned a = 0x1000; a < 0x1100; a += 16) {
    char buf[64];
    std::snprintf(buf, sizeof buf, ":10%04X00", a);
    text += buf;
    std::uint8_t sum = static_cast<std::uint8_t>(0x10 + (a >> 8) + (a & 0xFF));
    for (unsigned i = 0; i < 16; ++i) {
      std::uint8_t b = static_cast<std::uint8_t>(a + i);
      if (a + i == 0x1002) b = 0x10;
      if (a + i == 0x1003) b = 0x80;
      sum = static_cast<std::uint8_t>(sum + b);
      std::snprintf(buf, sizeof buf, "%02X", b);
      text += buf;
    }
    std::snprintf(buf, sizeof buf, "%02X\r\n", static_cast<std::uint8_t>(-sum));
    text += buf;
  }
  return text + ":00000001FF\r\n";
}

} // namespace

TEST(VkprogInfo, PrintsTheBufferPageAndBoxes) {
  TempDir dir;
  const auto hex = dir.Write("fw.hex", ProgramAt1000());
  const auto srec = dir.Write("more.a20", "S1052000AABB75\r\nS9030000FC\r\n");
  const auto text = dir.Write("notes.txt", "not firmware\r\n");

  auto r = Vkprog({"info", hex, srec});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Lines(r.out), (std::vector<std::string>{"Source= more.a20", "Motorola S-Record File.",
                                                    "Start= 1000, End= 2002"}));
  EXPECT_EQ(r.err, "");

  r = Vkprog({"info", hex, text});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Lines(r.out), (std::vector<std::string>{"Source= notes.txt", "Unknown File",
                                                    "Start= 1000, End= 1100"}));
  EXPECT_EQ(Lines(r.err),
            (std::vector<std::string>{"Unknown Format: The source file format was not recognized!",
                                      "Unknown File type: " + text}));

  // Line breaks inside a box's text become spaces.
  std::string big(0x100001, ' ');
  r = Vkprog({"info", dir.Write("big.hex", big)});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("File Too Large: " + dir.File("big.hex") + "  The file is larger"),
            std::string::npos)
      << r.err;

  r = Vkprog({"info", dir.Write("empty.hex", "")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("empty.hex: the file is empty"), std::string::npos) << r.err;

  EXPECT_EQ(Vkprog({"info"}).exitCode, 2);
  EXPECT_EQ(Vkprog({"info", "--bogus", hex}).exitCode, 2);
  EXPECT_EQ(Vkprog({"frobnicate"}).exitCode, 2);
}

TEST(VkprogPack, MakesContainersTheLoaderAccepts) {
  TempDir dir;
  const auto hex = dir.Write("fw.hex", ProgramAt1000());
  const auto out = dir.File("fw.vkf");
  auto r = Vkprog({"pack", "--body", hex, "--targets", "88000001,0x85000000", "--message",
                   "Release 3", "--version", "0x02000001", "--edition", "12", out});
  ASSERT_EQ(r.exitCode, 0) << r.err;

  r = Vkprog({"info", out});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Lines(r.out), (std::vector<std::string>{"Source= fw.vkf", "VKF Info:", "Release 3",
                                                    "VKF Targets:", "88000001", "85000000",
                                                    "Start= 1000, End= 1100"}));
  LoadedImage t;
  ASSERT_EQ(t.vkf->LoadFromFile(out), ImageFormat::Container);
  EXPECT_EQ(t.vkf->SW_Version(), 0x02000001u);
  EXPECT_EQ(t.vkf->SW_Edition(), 12);
  EXPECT_EQ(t.vkf->BodyFormat(), 1);

  // An S-record body is recognised as such.
  const auto a20 = dir.File("fw.a20");
  ASSERT_EQ(Vkprog({"convert", hex, a20}).exitCode, 0);
  ASSERT_EQ(Vkprog({"pack", "--body", a20, "--targets", "", out}).exitCode, 0);
  LoadedImage s;
  ASSERT_EQ(s.vkf->LoadFromFile(out), ImageFormat::Container);
  EXPECT_EQ(s.vkf->BodyFormat(), 2);
  EXPECT_EQ(s.vkf->TargetList().Count(), 0u);

  // Bad input: named, with the reason.
  r = Vkprog({"pack", "--body", dir.Write("x.txt", "text"), "--targets", "1", dir.File("y.vkf")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("x.txt: the body is neither"), std::string::npos) << r.err;
  r = Vkprog({"pack", "--body", hex, "--targets", "88000000,zz", dir.File("y.vkf")});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("\"zz\" is not a number"), std::string::npos) << r.err;
  EXPECT_EQ(Vkprog({"pack", "--body", hex, "--targets", "100000000", dir.File("y.vkf")}).exitCode,
            2);
  EXPECT_EQ(Vkprog({"pack", "--targets", "1", dir.File("y.vkf")}).exitCode, 2);
  r = Vkprog({"pack", "--body", dir.File("missing.hex"), "--targets", "1", dir.File("y.vkf")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("missing.hex"), std::string::npos);
}

TEST(VkprogConvert, NameDecidesTheFormatAndTargetPreparesTheImage) {
  TempDir dir;
  const auto hex = dir.Write("fw.hex", ProgramAt1000());
  for (const char* name : {"out.HEX", "out.hex", "outhex"}) {
    ASSERT_EQ(Vkprog({"convert", hex, dir.File(name)}).exitCode, 0);
    EXPECT_EQ(TempDir::Read(dir.File(name)).substr(0, 3), ":20") << name;
  }
  for (const char* name : {"out.a20", "out", "out.hx"}) {
    ASSERT_EQ(Vkprog({"convert", hex, dir.File(name)}).exitCode, 0);
    EXPECT_EQ(TempDir::Read(dir.File(name)).substr(0, 4), "S00B") << name;
  }
  // Raw binary: the range's bytes alone; "-": the S-records on standard output.
  ASSERT_EQ(Vkprog({"convert", hex, dir.File("out.BIN")}).exitCode, 0);
  const std::string bytes = TempDir::Read(dir.File("out.BIN"));
  EXPECT_EQ(Vkprog({"info", "--", dir.File("out.BIN")}).exitCode, 1) << "a raw file is no firmware";
  const auto out = Vkprog({"convert", hex, "-"});
  EXPECT_EQ(out.out, TempDir::Read(dir.File("out.a20")));
  ASSERT_EQ(bytes.size(), 0x100u);
  EXPECT_EQ(bytes.substr(0, 5), std::string("\x00\x01\x10\x80\x04", 5));

  // QRD14: jump table below 0x1000 and the checksum word after the image, both in the file.
  const auto prepared = dir.File("qrd14.hex");
  auto r = Vkprog({"convert", "--target", "QRD14", hex, prepared});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  LoadedImage t;
  ASSERT_EQ(t.vkf->LoadFromFile(prepared), ImageFormat::IntelHex);
  EXPECT_EQ(t.vkf->MemStart(), 0x0F80u);
  EXPECT_EQ(t.At(0x0F84), 0x5A);
  EXPECT_EQ(t.At(0x0F86), 0x10);
  EXPECT_EQ(t.At(0x0F87), 0x80);
  std::uint16_t sum = 0;
  for (std::uint32_t a = 0x1000; a < 0x8000; a += 2)
    sum = static_cast<std::uint16_t>(sum + (t.At(a) << 8 | t.At(a + 1)));
  EXPECT_EQ(sum, 0);
  EXPECT_NE(t.At(0x1100) & t.At(0x1101), 0xFF);

  // Cortex-M3's region is outside the image: written without a checksum, with a warning.
  r = Vkprog({"convert", "--target", "Cortex-M3", hex, dir.File("cm3.a20")});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.err.find("no checksum word appended"), std::string::npos);

  EXPECT_EQ(Vkprog({"convert", "--target", "NoSuch", hex, dir.File("x.hex")}).exitCode, 2);
  EXPECT_EQ(Vkprog({"convert", "--target", "Kestron", hex, dir.File("x.hex")}).exitCode, 2);
  EXPECT_EQ(Vkprog({"convert", hex}).exitCode, 2);

  // An unrecognised input writes nothing.
  r = Vkprog({"convert", hex, dir.Write("bad.txt", "nothing"), dir.File("never.hex")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(std::filesystem::exists(dir.File("never.hex")));

  // A place that cannot be written: the file and the reason.
  r = Vkprog({"convert", hex, dir.File("no/dir/x.hex")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("no/dir/x.hex: No such file or directory"), std::string::npos) << r.err;
}

TEST(VkprogDump, ListsTheWholeImage) {
  TempDir dir;
  const auto hex =
      dir.Write("abcd.hex", ":1000400041424344000000000000000000000000A6\r\n:00000001FF\r\n");
  auto r = Vkprog({"dump", hex});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 4096u);
  EXPECT_EQ(lines[0], "0000: FFFFFFFF FFFFFFFF  FFFFFFFF FFFFFFFF  ................");
  EXPECT_EQ(lines[4], "0040: 41424344 00000000  00000000 00000000  ABCD............");
  EXPECT_EQ(lines[4095].substr(0, 6), "FFF0: ");
}

TEST(VkprogTargets, TreeAndHelp) {
  auto r = Vkprog({"targets"});
  ASSERT_EQ(r.exitCode, 0);
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 26u);
  EXPECT_EQ(lines[0].substr(0, 7), "Kestron");
  EXPECT_EQ(lines[4].substr(0, 7), "  QRD14");
  EXPECT_NE(lines[4].find("136"), std::string::npos);
  EXPECT_EQ(lines[18].substr(0, 3), "QRH");
  // The columns line up, also past the longest name ("  Cortex-M3 Flash").
  for (const auto& line : lines) {
    EXPECT_EQ(line.find(" type "), lines[0].find(" type ")) << line;
    EXPECT_EQ(line.find(" region "), lines[0].find(" region ")) << line;
  }

  // Every command's usage lines name each option its help describes; the descriptions start
  // in one column.
  const std::regex name(R"(--?[a-z][a-z-]*)");
  int commands = 0;
  for (const auto& overview : Lines(Vkprog({"--help"}).out)) {
    if (overview.rfind("  ", 0) != 0 || overview[2] == ' ') continue;
    const std::string cmd = overview.substr(2, overview.find(' ', 2) - 2);
    const std::string help = Vkprog({cmd, "--help"}).out;
    const std::string usage = help.substr(0, help.find("\n\n")) + "\n";
    ++commands;
    std::set<std::size_t> columns;
    for (const auto& line : Lines(help)) {
      if (line.rfind("  -", 0) != 0) continue;
      const auto gap = line.find("  ", 2);
      const std::string head = line.substr(0, gap);
      std::string names;
      for (std::sregex_iterator it(head.begin(), head.end(), name), end; it != end; ++it)
        names += "|" + it->str();
      EXPECT_TRUE(std::regex_search(usage, std::regex("[[ |](" + names.substr(1) + ")[\\] |\n]")))
          << cmd << ": " << line;
      if (gap != std::string::npos) columns.insert(line.find_first_not_of(' ', gap));
    }
    EXPECT_LE(columns.size(), 1u) << help;
  }
  EXPECT_EQ(commands, 13);
}
