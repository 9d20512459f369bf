#include "image/Container.h"
#include "image/FirmwareImage.h"
#include "support/ImageTestUtil.h"

#include <gtest/gtest.h>

using vk::image::ImageFormat;
using vk::test::LoadedImage;
using vk::test::TempDir;

namespace {

void ExpectPristine(const vk::image::FirmwareImage& v) {
  EXPECT_EQ(v.MemStart(), 0u);
  EXPECT_EQ(v.MemEnd(), 0u);
  EXPECT_EQ(v.SW_Version(), 0x01010101u);
  EXPECT_EQ(v.SW_Edition(), 1);
  EXPECT_EQ(v.MsgBuf(), "");
  EXPECT_EQ(v.TargetList().Count(), 0u);
  EXPECT_EQ(v.CodeSize(), 0u);
  for (std::uint32_t a = 0; a < 0x10000; ++a)
    if (v.Image()[a] != 0xFF) {
      ADD_FAILURE() << "byte at " << a << " not erased";
      break;
    }
}

std::string Hex16AtZero(std::uint8_t value) {
  // 0x0000..0x0FFF filled with value, in 16-byte records.
  std::string text;
  for (unsigned a = 0; a < 0x1000; a += 16) {
    char buf[64];
    std::uint8_t sum = static_cast<std::uint8_t>(16 + (a >> 8) + (a & 0xFF) + 16 * value);
    std::snprintf(buf, sizeof buf, ":10%04X00", a);
    text += buf;
    for (int i = 0; i < 16; ++i) {
      std::snprintf(buf, sizeof buf, "%02X", value);
      text += buf;
    }
    std::snprintf(buf, sizeof buf, "%02X\r\n", static_cast<std::uint8_t>(-sum));
    text += buf;
  }
  return text + ":00000001FF\r\n";
}

} // namespace

TEST(ImageObject, FreshAndClearedAreErased) {
  LoadedImage t;
  ExpectPristine(*t.vkf);
  vk::image::ContainerContent c;
  c.targets = {0x88000000};
  c.message = "m";
  c.version = 9;
  const std::string body = ":0100000042BD\r\n";
  c.body.assign(body.begin(), body.end());
  const auto bytes = vk::image::BuildContainer(c);
  ASSERT_EQ(t.Load(std::string(bytes.begin(), bytes.end())), ImageFormat::Container);
  t.vkf->Clear();
  ExpectPristine(*t.vkf);
}

TEST(ImageObject, HexAndSRecordFilesMerge) {
  LoadedImage t;
  ASSERT_EQ(t.Load(Hex16AtZero(0x11)), ImageFormat::IntelHex);
  std::string srec = "S00B0000424F4F545F41534D80\r\n";
  for (unsigned a = 0x2000; a < 0x2100; a += 16) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "S113%04X", a);
    srec += buf;
    std::uint8_t sum = static_cast<std::uint8_t>(0x13 + (a >> 8) + (a & 0xFF) + 16 * 0x22);
    for (int i = 0; i < 16; ++i) srec += "22";
    std::snprintf(buf, sizeof buf, "%02X\r\n", static_cast<std::uint8_t>(0xFF - sum));
    srec += buf;
  }
  ASSERT_EQ(t.Load(srec + "S9030000FC\r\n"), ImageFormat::SRecord);
  EXPECT_EQ(t.vkf->MemStart(), 0x0000u);
  EXPECT_EQ(t.vkf->MemEnd(), 0x2100u);
  EXPECT_EQ(t.At(0x0FFF), 0x11);
  EXPECT_EQ(t.At(0x1000), 0xFF);
  EXPECT_EQ(t.At(0x1FFF), 0xFF);
  EXPECT_EQ(t.At(0x20FF), 0x22);

  // The same addresses again: overwritten, range kept, and no file's records overlapped.
  ASSERT_EQ(t.Load(Hex16AtZero(0x33)), ImageFormat::IntelHex);
  EXPECT_EQ(t.At(0x0000), 0x33);
  EXPECT_EQ(t.vkf->MemEnd(), 0x2100u);
  EXPECT_TRUE(t.boxes.boxes.empty());

  // Within one file, a later record with other data for the same bytes loads with a warning
  // naming them; one that repeats the same data is no conflict.
  std::string twice = Hex16AtZero(0x11);
  twice.insert(twice.rfind(":00000001FF"), ":0400080044444444E4\r\n:0400100011111111A8\r\n");
  ASSERT_EQ(t.Load(twice, "twice.hex"), ImageFormat::IntelHex);
  EXPECT_EQ(t.At(0x0008), 0x44);
  ASSERT_EQ(t.boxes.Captions(), (std::vector<std::string>{"Overlapping Records"}));
  EXPECT_EQ(t.boxes.boxes[0].text, "twice.hex\r\nRecords overlap with different data at "
                                   "0008-000B.\r\nThe image holds what the later records give "
                                   "there.");
}

TEST(ImageObject, ContainerReplacesAndHexKeepsTheTargetList) {
  LoadedImage t;
  ASSERT_EQ(t.Load(Hex16AtZero(0x11)), ImageFormat::IntelHex);
  vk::image::ContainerContent c;
  c.targets = {0x88000000, 0x85000000};
  c.message = "container";
  const std::string body = ":0200200055AADF\r\n:00000001FF\r\n";
  c.body.assign(body.begin(), body.end());
  const auto bytes = vk::image::BuildContainer(c);
  ASSERT_EQ(t.Load(std::string(bytes.begin(), bytes.end())), ImageFormat::Container);
  EXPECT_EQ(t.At(0x0000), 0xFF);
  EXPECT_EQ(t.vkf->MemStart(), 0x0020u);
  EXPECT_EQ(t.vkf->MemEnd(), 0x0022u);

  ASSERT_EQ(t.Load(":010040007748\r\n:00000001FF\r\n"), ImageFormat::IntelHex);
  EXPECT_EQ(t.vkf->MsgBuf(), "");
  EXPECT_EQ(t.vkf->TargetList().Count(), 2u);
  EXPECT_EQ(t.vkf->MemStart(), 0x0020u);
  EXPECT_EQ(t.vkf->MemEnd(), 0x0041u);
}

TEST(ImageObject, NoDataRecordsLeaveAnEmptyRange) {
  LoadedImage t;
  ASSERT_EQ(t.Load("S00600004844521B\r\nS9030000FC\r\n"), ImageFormat::SRecord);
  EXPECT_EQ(t.vkf->MemStart(), 0xFFFFu);
  EXPECT_EQ(t.vkf->MemEnd(), 0u);
  EXPECT_TRUE(t.vkf->IsEmpty());
}

TEST(ImageFiles, SaveAndLoadThroughRealFiles) {
  TempDir dir;
  LoadedImage a;
  ASSERT_EQ(a.vkf->LoadFromFile(dir.Write("in.hex", Hex16AtZero(0x5A))), ImageFormat::IntelHex);
  a.vkf->SaveSRecords(dir.File("out.a20"));
  a.vkf->SaveIntelHex(dir.File("out.hex"));
  for (const char* name : {"out.a20", "out.hex"}) {
    LoadedImage b;
    EXPECT_NE(b.vkf->LoadFromFile(dir.File(name)), ImageFormat::Unknown) << name;
    EXPECT_EQ(0, std::memcmp(a.vkf->Image(), b.vkf->Image(), 0x10000)) << name;
    EXPECT_EQ(b.vkf->MemEnd(), 0x1000u) << name;
  }
  // Saving replaces an existing file, and leaves no temporary behind.
  a.vkf->SaveIntelHex(dir.File("out.hex"));
  int files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.Path())) ++files;
  EXPECT_EQ(files, 3);
}

TEST(ImageFiles, AFailedSaveNamesTheFileAndKeepsTheOldOne) {
  TempDir dir;
  LoadedImage a;
  a.Load(Hex16AtZero(0x5A));
  try {
    a.vkf->SaveIntelHex(dir.File("no/such/dir/x.hex"));
    FAIL() << "expected an error";
  } catch (const vk::image::FileWriteError& e) {
    EXPECT_NE(std::string(e.what()).find("no/such/dir/x.hex"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos);
  }
}
