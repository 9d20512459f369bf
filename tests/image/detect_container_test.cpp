#include "image/Container.h"
#include "image/FirmwareImage.h"
#include "support/ImageTestUtil.h"

#include <gtest/gtest.h>

using vk::image::BuildContainer;
using vk::image::ContainerContent;
using vk::image::ImageFormat;
using vk::test::LoadedImage;
using vk::test::TempDir;

namespace {

const std::string kHexBody = ":0400100001020304E2\r\n:00000001FF\r\n";

std::string Bytes(const std::vector<std::uint8_t>& v) { return {v.begin(), v.end()}; }

std::string Container(std::vector<std::uint32_t> targets, std::string message,
                      std::string body = kHexBody, std::uint16_t format = 1) {
  ContainerContent c;
  c.targets = std::move(targets);
  c.message = std::move(message);
  c.body.assign(body.begin(), body.end());
  c.bodyFormat = format;
  c.version = 0x02030405;
  c.edition = 7;
  return Bytes(BuildContainer(c));
}

void Put16(std::string& s, std::size_t at, std::uint16_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
}

} // namespace

TEST(Container, LoadsBodyMessageTargetsAndHeaderWords) {
  LoadedImage t;
  ASSERT_EQ(t.Load(Container({0x88000001, 0x85000000, 0x12345678}, "Hello, module")),
            ImageFormat::Container);
  EXPECT_TRUE(t.boxes.boxes.empty());
  EXPECT_EQ(t.vkf->MsgBuf(), "Hello, module");
  ASSERT_EQ(t.vkf->TargetList().Count(), 3u);
  vk::image::TTargetDesc d;
  t.vkf->GetTarget(0, d);
  EXPECT_EQ(d.Value, 0x88000001u);
  EXPECT_EQ(d.Name, "88000001");
  t.vkf->GetTarget(2, d);
  EXPECT_EQ(d.Name, "12345678");
  EXPECT_EQ(t.vkf->SW_Version(), 0x02030405u);
  EXPECT_EQ(t.vkf->SW_Edition(), 7);
  EXPECT_EQ(t.vkf->BodyFormat(), 1);
  EXPECT_EQ(t.vkf->MemStart(), 0x0010u);
  EXPECT_EQ(t.vkf->MemEnd(), 0x0014u);
  EXPECT_EQ(t.At(0x0013), 4);
  // FileData now holds the body alone.
  EXPECT_EQ(t.vkf->CodeSize(), kHexBody.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(t.vkf->FileData()), kHexBody.size()),
            kHexBody);
}

TEST(Container, CheckValuesAreThoseStoredContainersCarry) {
  const std::string good = Container({0x88000000}, "m");
  {
    LoadedImage t; // the body may change inside as long as its first byte and length stay
    std::string edited = good;
    edited[edited.size() - 1] = ' ';
    EXPECT_EQ(t.Load(edited), ImageFormat::Container);
  }
  {
    LoadedImage t; // a longer body no longer matches
    EXPECT_EQ(t.Load(good + "\r\n"), ImageFormat::Unknown);
    EXPECT_EQ(t.boxes.Captions(),
              (std::vector<std::string>{"Unknown Format", "Unknown File type"}));
    EXPECT_EQ(t.boxes.boxes[1].kind, vk::image::MessageKind::Warning);
  }
  {
    LoadedImage t; // a header check made the ordinary way (over the real bytes) is refused
    std::string ordinary = good;
    vk::image::TCRC32 crc;
    const auto value = crc.StandardCrc(reinterpret_cast<const std::uint8_t*>(ordinary.data()), 24);
    for (int i = 0; i < 4; ++i) ordinary[24 + i] = static_cast<char>(value >> (8 * i));
    EXPECT_EQ(t.Load(ordinary), ImageFormat::Unknown);
  }
  {
    LoadedImage t; // the wrong magic
    std::string bad = good;
    bad[1] = 'X';
    EXPECT_EQ(t.Load(bad), ImageFormat::Unknown);
  }
}

TEST(Container, TargetListEdges) {
  {
    LoadedImage t; // more than 128 targets: the first 128 are kept
    std::vector<std::uint32_t> many;
    for (std::uint32_t i = 0; i < 130; ++i) many.push_back(0x01000000u * (i % 200) + i);
    ASSERT_EQ(t.Load(Container(many, "x")), ImageFormat::Container);
    EXPECT_EQ(t.vkf->TargetList().Count(), 128u);
    vk::image::TTargetDesc d;
    t.vkf->GetTarget(127, d);
    EXPECT_EQ(d.Value, many[127]);
    t.vkf->GetTarget(500, d); // past the end reads the last slot
    EXPECT_EQ(d.Value, many[127]);
  }
  {
    LoadedImage t; // no targets at all
    ASSERT_EQ(t.Load(Container({}, "none")), ImageFormat::Container);
    EXPECT_EQ(t.vkf->TargetList().Count(), 0u);
    EXPECT_EQ(t.vkf->MsgBuf(), "none");
  }
}

TEST(Container, MalformedOffsetsAreReadOnlyAsFarAsTheyMakeSense) {
  const std::string good = Container({0x88000000, 0x85000000}, "message");
  // Offsets: targets at 32, message at 40, body at 48.
  {
    LoadedImage t; // a list length that is not a multiple of 4: whole words only
    std::string f = good;
    Put16(f, 20, 42); // message offset 42: list holds 10 bytes
    ASSERT_EQ(t.Load(f), ImageFormat::Container);
    EXPECT_EQ(t.vkf->TargetList().Count(), 2u);
  }
  {
    LoadedImage t; // list starting after the message: empty
    std::string f = good;
    Put16(f, 18, 44);
    ASSERT_EQ(t.Load(f), ImageFormat::Container);
    EXPECT_EQ(t.vkf->TargetList().Count(), 0u);
    EXPECT_EQ(t.vkf->MsgBuf(), "message");
  }
  {
    LoadedImage t; // a message without its 0 byte ends where the body begins
    std::string f = good;
    f[47] = '!';
    ASSERT_EQ(t.Load(f), ImageFormat::Container);
    EXPECT_EQ(t.vkf->MsgBuf(), "message!");
    EXPECT_EQ(t.vkf->MemEnd(), 0x0014u);
  }
  {
    LoadedImage t; // target list and message offsets far beyond the end of the file
    std::string f = good;
    Put16(f, 18, 0xFFF0);
    Put16(f, 20, 0xFFFF);
    ASSERT_EQ(t.Load(f), ImageFormat::Container);
    EXPECT_EQ(t.vkf->TargetList().Count(), 0u);
    EXPECT_EQ(t.vkf->MsgBuf(), "");
  }
  {
    LoadedImage t; // a body offset beyond the end of the file is not a container
    std::string f = good;
    Put16(f, 22, static_cast<std::uint16_t>(f.size() + 1));
    EXPECT_EQ(t.Load(f), ImageFormat::Unknown);
  }
  {
    LoadedImage t; // shorter than a header
    EXPECT_EQ(t.Load(good.substr(0, 20)), ImageFormat::Unknown);
  }
}

TEST(Container, UnknownBodyFormatLeavesTheImageErased) {
  LoadedImage t;
  t.Load(":040000001122334452\r\n:00000001FF\r\n");
  ASSERT_EQ(t.At(0), 0x11);
  EXPECT_EQ(t.Load(Container({0x88000000}, "m", kHexBody, 1).replace(16, 1, "\x03"), "fw.vkf"),
            ImageFormat::Container);
  ASSERT_EQ(t.boxes.boxes.size(), 1u);
  EXPECT_EQ(t.boxes.boxes[0].caption, "Unknown Velkor Firmware File Format");
  EXPECT_EQ(t.boxes.boxes[0].text, "fw.vkf");
  EXPECT_EQ(t.At(0), 0xFF);
  EXPECT_TRUE(t.vkf->IsEmpty());
  EXPECT_EQ(t.vkf->BodyFormat(), 3);
}

TEST(Container, SRecordBodyAndColonInHeader) {
  LoadedImage t;
  std::string f = Container({0x91000000}, "s", "S1050020AABB75\r\nS9030000FC\r\n", 2);
  // A ':' among the header's first bytes makes the Intel HEX check run and complain first.
  f[2] = ':';
  f[3] = '\0';
  ASSERT_EQ(t.Load(f), ImageFormat::Container);
  EXPECT_EQ(t.boxes.Captions(), (std::vector<std::string>{"Format Error"}));
  EXPECT_EQ(t.At(0x0021), 0xBB);
  EXPECT_EQ(t.vkf->BodyFormat(), 2);
}

TEST(Detection, UnrecognisedEmptyUnreadableAndOversizedFiles) {
  TempDir dir;
  {
    LoadedImage t; // an empty file: Unknown, silently
    EXPECT_EQ(t.LoadFile(dir.Write("empty.hex", "")), ImageFormat::Unknown);
    EXPECT_TRUE(t.boxes.boxes.empty());
  }
  {
    LoadedImage t; // plain text: not recognised, then its name under "Unknown File type"
    const auto name = dir.Write("notes.txt", "hello world, no records here\n");
    EXPECT_EQ(t.LoadFile(name), ImageFormat::Unknown);
    ASSERT_EQ(t.boxes.boxes.size(), 2u);
    EXPECT_EQ(t.boxes.boxes[0].text, "The source file format was not recognized!");
    EXPECT_EQ(t.boxes.boxes[0].caption, "Unknown Format");
    EXPECT_EQ(t.boxes.boxes[1].text, name);
    EXPECT_EQ(t.boxes.boxes[1].caption, "Unknown File type");
  }
  {
    LoadedImage t; // a file that cannot be opened
    EXPECT_EQ(t.LoadFile(dir.File("missing.hex")), ImageFormat::Unknown);
    ASSERT_EQ(t.boxes.boxes.size(), 1u);
    EXPECT_EQ(t.boxes.boxes[0].caption, "Can't Open File");
    EXPECT_EQ(t.boxes.boxes[0].text, dir.File("missing.hex") + "\r\nNo such file or directory");
    EXPECT_EQ(t.boxes.boxes[0].kind, vk::image::MessageKind::Error);
  }
  {
    LoadedImage t; // larger than 1 MiB: refused, and what was loaded stays
    t.Load(":0100000042BD\r\n:00000001FF\r\n");
    std::string big(0x100001, '\n');
    big.replace(0, 15, ":0100000011EE\r\n");
    EXPECT_EQ(t.LoadFile(dir.Write("big.hex", big)), ImageFormat::Unknown);
    ASSERT_EQ(t.boxes.boxes.size(), 1u);
    EXPECT_EQ(t.boxes.boxes[0].caption, "File Too Large");
    EXPECT_EQ(t.At(0), 0x42);
    // Exactly 1 MiB still loads.
    big.resize(0x100000);
    EXPECT_EQ(t.LoadFile(dir.Write("max.hex", big)), ImageFormat::IntelHex);
    EXPECT_EQ(t.At(0), 0x11);
  }
}

TEST(Detection, AFailedLoadLeavesTheImageAsItWas) {
  LoadedImage t;
  ASSERT_EQ(t.Load(Container({0x88000000}, "kept")), ImageFormat::Container);
  const std::uint32_t start = t.vkf->MemStart(), end = t.vkf->MemEnd();
  EXPECT_EQ(t.Load("nothing to see"), ImageFormat::Unknown);
  EXPECT_EQ(t.vkf->MsgBuf(), "kept");
  EXPECT_EQ(t.vkf->TargetList().Count(), 1u);
  EXPECT_EQ(t.vkf->MemStart(), start);
  EXPECT_EQ(t.vkf->MemEnd(), end);
  EXPECT_EQ(t.At(0x0010), 1);
}
