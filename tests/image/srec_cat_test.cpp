// Cross-checks of the Intel HEX and S-record readers and writers against srec_cat (Debian's
// srecord), an independent implementation of both formats: files srec_cat writes must load into
// exactly the bytes it was given, and srec_cat must read exactly our image back from what our
// writers produce. Also a real 8051 program as SDCC emits it.

#include "image/FirmwareImage.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using vk::image::FirmwareImage;
using vk::image::ImageFormat;

// The byte held at each address of the 64 KiB space, or -1 where no record put one.
using DataMap = std::vector<int>;

DataMap EmptyMap() { return DataMap(FirmwareImage::kImageSize, -1); }

std::string FindSrecCat() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const fs::path candidate = fs::path(dir.empty() ? "." : dir) / "srec_cat";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(v));
  return buf;
}

std::vector<std::uint8_t> ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SrecCatTest : public ::testing::Test {
protected:
  void SetUp() override {
    srecCat_ = FindSrecCat();
    // scripts/setup.sh installs it (Debian package srecord), as CI does: missing is a failure.
    ASSERT_FALSE(srecCat_.empty()) << "srec_cat is not installed (Debian package srecord)";
    std::string pattern = (fs::temp_directory_path() / "vk_srec_cat_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  fs::path Path(const std::string& name) const { return dir_ / name; }

  // Runs srec_cat with the arguments; fails the test with its messages when it does not succeed
  // or when it warns (a warning means it found something odd in the file it read).
  void SrecCat(const std::string& args) {
    const fs::path errors = Path("srec_cat.err");
    const std::string command = Quote(srecCat_) + " " + args + " 2>" + Quote(errors.string());
    const int status = std::system(command.c_str());
    const auto err = ReadBytes(errors);
    const std::string text(err.begin(), err.end());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << "\n" << text;
    EXPECT_EQ(text, "") << command;
  }

  // srec_cat writes `data` as one file, each run of bytes as its own input block.
  void WriteWithSrecCat(const DataMap& data, const fs::path& out, const std::string& outputArgs) {
    std::string inputs;
    int block = 0;
    for (std::uint32_t a = 0; a < FirmwareImage::kImageSize;) {
      if (data[a] < 0) {
        ++a;
        continue;
      }
      std::uint32_t end = a;
      std::string bytes;
      while (end < FirmwareImage::kImageSize && data[end] >= 0)
        bytes.push_back(static_cast<char>(data[end++]));
      const fs::path bin = Path("block" + std::to_string(block++) + ".bin");
      std::ofstream(bin, std::ios::binary)
          .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      inputs += Quote(bin.string()) + " -binary -offset " + Hex(a) + " ";
      a = end;
    }
    SrecCat(inputs + "-o " + Quote(out.string()) + " " + outputArgs);
  }

  // What srec_cat reads from a file: the file is read twice with the holes filled with 0x00 and
  // with 0xFF; an address holds data where both readings agree.
  // `options` go before the file name (srec_cat applies input options to the files after them).
  DataMap ReadWithSrecCat(const fs::path& file, const std::string& format,
                          const std::string& options = "") {
    DataMap out = EmptyMap();
    const fs::path zeros = Path("fill00.bin"), ones = Path("fillFF.bin");
    const std::string input = options + " " + Quote(file.string()) + " " + format;
    SrecCat(input + " -fill 0x00 0 0x10000 -o " + Quote(zeros.string()) + " -binary");
    SrecCat(input + " -fill 0xFF 0 0x10000 -o " + Quote(ones.string()) + " -binary");
    const auto a = ReadBytes(zeros), b = ReadBytes(ones);
    if (a.size() != FirmwareImage::kImageSize || b.size() != FirmwareImage::kImageSize) {
      ADD_FAILURE() << "srec_cat's reading of " << file << " is not 64 KiB";
      return out;
    }
    for (std::uint32_t i = 0; i < FirmwareImage::kImageSize; ++i)
      if (a[i] == b[i]) out[i] = a[i];
    return out;
  }

  std::string srecCat_;
  fs::path dir_;
};

struct Extent {
  std::uint32_t first = FirmwareImage::kImageSize; // lowest address holding data
  std::uint32_t end = 0;                           // one past the highest
};

Extent ExtentOf(const DataMap& data) {
  Extent e;
  for (std::uint32_t a = 0; a < FirmwareImage::kImageSize; ++a) {
    if (data[a] < 0) continue;
    e.first = std::min(e.first, a);
    e.end = a + 1;
  }
  return e;
}

// Our image must hold every byte of `data` at its address and the erased value everywhere else,
// and the loaded range must be exactly the data's.
void ExpectLoaded(const FirmwareImage& v, const DataMap& data) {
  int wrong = 0;
  for (std::uint32_t a = 0; a < FirmwareImage::kImageSize; ++a) {
    const int want = data[a] < 0 ? FirmwareImage::kErased : data[a];
    if (v.Image()[a] != want && ++wrong <= 5)
      ADD_FAILURE() << "at " << Hex(a) << ": image holds " << Hex(v.Image()[a]) << ", expected "
                    << Hex(static_cast<std::uint32_t>(want));
  }
  EXPECT_EQ(wrong, 0) << "bytes differ";
  const Extent e = ExtentOf(data);
  EXPECT_EQ(v.MemStart(), e.first);
  EXPECT_EQ(v.MemEnd(), e.end);
}

// Runs of random bytes at random places, apart from each other; `whole` starts one at 0x0000
// and lets the last reach 0xFFFF.
DataMap RandomData(std::mt19937& rng, bool whole) {
  DataMap data = EmptyMap();
  std::uint32_t a = whole ? 0 : rng() % 0x3000;
  while (a < FirmwareImage::kImageSize) {
    const std::uint32_t length = 1 + rng() % 1500;
    for (std::uint32_t i = 0; i < length && a < FirmwareImage::kImageSize; ++i, ++a)
      data[a] = static_cast<int>(rng() & 0xFF);
    a += 1 + rng() % (whole ? 600 : 9000);
  }
  if (whole) std::fill(data.end() - 300, data.end(), 0x5A);
  return data;
}

// An address that holds data, for start-address records: the range rule widens the loaded range
// to the address of every record, so one inside the data leaves the range to the data alone.
std::uint32_t AddressInside(std::mt19937& rng, const DataMap& data) {
  const Extent e = ExtentOf(data);
  return e.first + rng() % (e.end - e.first);
}

std::unique_ptr<FirmwareImage> Load(const fs::path& file, ImageFormat expected) {
  auto v = std::make_unique<FirmwareImage>();
  EXPECT_EQ(v->LoadFromFile(file.string()), expected) << file;
  return v;
}

TEST_F(SrecCatTest, HarnessReadsBackWhatSrecCatWrote) {
  // The two-fill reading must see the data exactly, or the other checks prove nothing.
  std::mt19937 rng(1);
  const DataMap data = RandomData(rng, false);
  WriteWithSrecCat(data, Path("h.hex"), "-intel");
  EXPECT_TRUE(ReadWithSrecCat(Path("h.hex"), "-intel") == data);
}

TEST_F(SrecCatTest, ReadsIntelHexWrittenBySrecCat) {
  // srec_cat writes a type 04 record first unless told to use 16-bit addresses, and a start
  // address as a type 05 record, or (16-bit) in the end record's address.
  std::uint32_t seed = 100;
  for (int blockSize : {1, 7, 16, 32, 255}) {
    for (bool shortAddresses : {false, true}) {
      for (bool startAddress : {false, true}) {
        std::mt19937 rng(++seed);
        SCOPED_TRACE("block size " + std::to_string(blockSize) + ", 16-bit addresses " +
                     std::to_string(shortAddresses) + ", start address " +
                     std::to_string(startAddress) + ", seed " + std::to_string(seed));
        const DataMap data = RandomData(rng, seed % 3 == 0);
        std::string args = "-intel -Output_Block_Size=" + std::to_string(blockSize);
        if (shortAddresses) args += " -Address_Length=2";
        if (startAddress) args += " -Execution_Start_Address=" + Hex(AddressInside(rng, data));
        const fs::path file = Path("in.hex");
        WriteWithSrecCat(data, file, args);
        ExpectLoaded(*Load(file, ImageFormat::IntelHex), data);
      }
    }
  }
}

TEST_F(SrecCatTest, ReadsSRecordsWrittenBySrecCat) {
  std::uint32_t seed = 200;
  for (int blockSize : {1, 16, 32, 100, 252}) {
    for (bool header : {false, true}) {
      for (bool startAddress : {false, true}) {
        for (bool dataCount : {false, true}) {
          std::mt19937 rng(++seed);
          SCOPED_TRACE("block size " + std::to_string(blockSize) + ", header " +
                       std::to_string(header) + ", start address " + std::to_string(startAddress) +
                       ", data count " + std::to_string(dataCount) + ", seed " +
                       std::to_string(seed));
          const DataMap data = RandomData(rng, seed % 3 == 0);
          // S1 records only, 16-bit addresses.
          std::string args =
              "-motorola -Address_Length=2 -Output_Block_Size=" + std::to_string(blockSize);
          args += header ? " -enable=header" : " -disable=header";
          args += dataCount ? " -enable=data-count" : " -disable=data-count";
          if (startAddress)
            args += " -Execution_Start_Address=" + Hex(AddressInside(rng, data));
          else
            args += " -disable=exec-start-address";
          const fs::path file = Path("in.s19");
          WriteWithSrecCat(data, file, args);
          const auto text = ReadBytes(file);
          ASSERT_EQ(std::string(text.begin(), text.begin() + 2), header ? "S0" : "S1");
          ExpectLoaded(*Load(file, ImageFormat::SRecord), data);
        }
      }
    }
  }
}

TEST_F(SrecCatTest, ExtendedAddressesInOneWindowLoadAtTheirLowAddresses) {
  // The data moved to a Cortex-M3's flash at 0x08000000, as S3 records and as Intel HEX with
  // type 04 records: it loads at its addresses within the window. Moved to 0x08008000, it runs
  // into the next window and the file is refused.
  std::mt19937 rng(300);
  const DataMap data = RandomData(rng, false);
  const fs::path base = Path("base.hex");
  WriteWithSrecCat(data, base, "-intel");
  const struct {
    const char* name;
    const char* args;
    ImageFormat format;
  } outputs[] = {{"s3.srec", "-motorola -Address_Length=4", ImageFormat::SRecord},
                 {"ext.hex", "-intel", ImageFormat::IntelHex}};
  for (const auto& o : outputs) {
    SCOPED_TRACE(o.name);
    SrecCat(Quote(base.string()) + " -intel -offset 0x08000000 -o " + Quote(Path(o.name).string()) +
            " " + o.args);
    const auto loaded = Load(Path(o.name), o.format);
    ExpectLoaded(*loaded, data);
    // Saved again, in either format, the data keeps its addresses in the window.
    loaded->SaveIntelHex(Path("again.hex").string());
    loaded->SaveSRecords(Path("again.s19").string());
    for (const auto& [file, format] :
         {std::pair{"again.hex", "-intel"}, std::pair{"again.s19", "-motorola"}}) {
      const DataMap read =
          ReadWithSrecCat(Path(file), std::string(format) + " -offset -0x08000000");
      for (std::uint32_t a = 0; a < FirmwareImage::kImageSize; ++a)
        if (data[a] >= 0) ASSERT_EQ(read[a], data[a]) << file << " at " << Hex(a);
    }
    SrecCat(Quote(base.string()) + " -intel -offset 0x08008000 -o " + Quote(Path(o.name).string()) +
            " " + o.args);
    const auto v = Load(Path(o.name), ImageFormat::Unknown);
    EXPECT_TRUE(v->IsEmpty());
  }
}

// A random full image and the ranges to save from it.
struct SaveCase {
  std::uint32_t start, end;
};
constexpr SaveCase kSaveCases[] = {
    {0x0000, 0x10000}, {0x0105, 0x0200}, {0x1234, 0x1235}, {0xFFC1, 0x10000},
    {0x7FFF, 0x8001},  {0x0040, 0x0060}, {0xABCD, 0xF00F}, {0x0000, 0x0001},
};

std::unique_ptr<FirmwareImage> RandomImage(std::uint32_t seed) {
  auto v = std::make_unique<FirmwareImage>();
  std::mt19937 rng(seed);
  for (std::uint32_t a = 0; a < FirmwareImage::kImageSize; ++a)
    v->Image()[a] = static_cast<std::uint8_t>(rng());
  return v;
}

// What srec_cat read from our file must be our image over whole records around [start, end):
// every loaded byte, nothing outside the records, nothing changed.
void ExpectSavedRange(const FirmwareImage& v, const DataMap& read, SaveCase c, std::uint32_t align,
                      std::uint32_t record) {
  const std::uint32_t first = c.start & ~(align - 1);
  const std::uint32_t end = first + (c.end - first + record - 1) / record * record;
  ASSERT_LE(end, FirmwareImage::kImageSize);
  int wrong = 0;
  for (std::uint32_t a = 0; a < FirmwareImage::kImageSize; ++a) {
    const int want = a >= first && a < end ? v.Image()[a] : -1;
    if (read[a] != want && ++wrong <= 5)
      ADD_FAILURE() << "at " << Hex(a) << ": srec_cat read " << read[a] << ", expected " << want;
  }
  EXPECT_EQ(wrong, 0) << "saved [" << Hex(c.start) << ", " << Hex(c.end) << ")";
}

TEST_F(SrecCatTest, SrecCatReadsOurIntelHex) {
  const auto v = RandomImage(7);
  for (const SaveCase c : kSaveCases) {
    SCOPED_TRACE("range " + Hex(c.start) + " to " + Hex(c.end));
    const fs::path file = Path("ours.hex");
    v->SaveIntelHex(file.string(), c.start, c.end);
    ExpectSavedRange(*v, ReadWithSrecCat(file, "-intel"), c, 64, 32);
  }
}

TEST_F(SrecCatTest, SrecCatReadsOurSRecords) {
  const auto v = RandomImage(8);
  for (const SaveCase c : kSaveCases) {
    SCOPED_TRACE("range " + Hex(c.start) + " to " + Hex(c.end));
    const fs::path file = Path("ours.s19");
    v->SaveSRecords(file.string(), c.start, c.end);
    ExpectSavedRange(*v, ReadWithSrecCat(file, "-motorola"), c, 32, 16);
  }
}

TEST_F(SrecCatTest, SrecCatReadsBackAFileWeLoadedAndSaved) {
  // srec_cat's file, through our reader and our writers, back to srec_cat: nothing lost or moved.
  std::mt19937 rng(300);
  const DataMap data = RandomData(rng, false);
  WriteWithSrecCat(data, Path("in.hex"), "-intel -Output_Block_Size=16");
  const auto v = Load(Path("in.hex"), ImageFormat::IntelHex);
  v->SaveIntelHex(Path("out.hex").string());
  v->SaveSRecords(Path("out.s19").string());
  for (const auto& [file, format] :
       {std::pair{"out.hex", "-intel"}, std::pair{"out.s19", "-motorola"}}) {
    SCOPED_TRACE(file);
    const DataMap read = ReadWithSrecCat(Path(file), format);
    for (std::uint32_t a = 0; a < FirmwareImage::kImageSize; ++a) {
      // Addresses between the runs are written as the erased value, never as anything else.
      const int want = data[a] >= 0 ? data[a] : read[a] >= 0 ? FirmwareImage::kErased : -1;
      ASSERT_EQ(read[a], want) << "at " << Hex(a);
    }
  }
}

TEST_F(SrecCatTest, Sdcc8051ProgramLoadsAsSrecCatReadsIt) {
  const fs::path file = fs::path(VK_TEST_DATA_DIR) / "sdcc" / "blink.ihx";
  ASSERT_TRUE(fs::exists(file)) << file;
  // SDCC writes its records out of address order, which srec_cat would warn about.
  const DataMap expected = ReadWithSrecCat(file, "-intel", "-Disable_Sequence_Warnings");
  const Extent e = ExtentOf(expected);
  ASSERT_LT(e.first, e.end) << "srec_cat found no data in " << file;
  const auto v = Load(file, ImageFormat::IntelHex);
  ExpectLoaded(*v, expected);

  // And the program saved by us reads back the same in srec_cat, in both formats.
  v->SaveIntelHex(Path("blink.hex").string());
  v->SaveSRecords(Path("blink.s19").string());
  for (const auto& [name, format] :
       {std::pair{"blink.hex", "-intel"}, std::pair{"blink.s19", "-motorola"}}) {
    SCOPED_TRACE(name);
    const DataMap read = ReadWithSrecCat(Path(name), format);
    for (std::uint32_t a = e.first; a < e.end; ++a) {
      const int want = expected[a] < 0 ? FirmwareImage::kErased : expected[a];
      ASSERT_EQ(read[a], want) << "at " << Hex(a);
    }
  }
}

} // namespace
