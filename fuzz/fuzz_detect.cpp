// Loading arbitrary bytes: detection by content, then whichever reader it picks, with every
// message box recorded.

#include "ImageChecks.h"

#include <set>

namespace {

using vk::fuzz::ImageBytes;
using vk::fuzz::SaidBoxes;
using vk::image::FirmwareImage;
using vk::image::ImageFormat;
namespace msg = vk::image::msg;

struct Outcome {
  ImageFormat format;
  ImageBytes image;
  std::uint32_t start, end;
  std::string message;
  std::uint32_t targets;
  std::size_t boxes;
};

Outcome Capture(const FirmwareImage& v, ImageFormat format, std::size_t boxes) {
  return {format,     vk::fuzz::Snapshot(v),  v.MemStart(), v.MemEnd(),
          v.MsgBuf(), v.TargetList().Count(), boxes};
}

bool operator==(const Outcome& a, const Outcome& b) {
  return a.format == b.format && a.image == b.image && a.start == b.start && a.end == b.end &&
         a.message == b.message && a.targets == b.targets && a.boxes == b.boxes;
}

void CheckBoxes(const SaidBoxes& rec, ImageFormat format, const std::string& fileName) {
  static const std::set<std::string> kKnown = {msg::kFormatError,     msg::kUnknownFormat,
                                               msg::kUnknownFileType, msg::kUnknownBodyFormat,
                                               msg::kDamagedFile,     msg::kOverlappingRecords};
  std::size_t formatErrors = 0;
  for (std::size_t i = 0; i < rec.boxes.size(); ++i) {
    const auto& b = rec.boxes[i];
    VK_REQUIRE(kKnown.count(b.caption) == 1);
    if (b.caption == msg::kFormatError) {
      // The first-record checks speak before anything else does.
      VK_REQUIRE(i == formatErrors);
      ++formatErrors;
    }
  }
  VK_REQUIRE(formatErrors <= 2);
  std::size_t rest = rec.boxes.size() - formatErrors;
  // A file that loaded with two records for the same bytes: one warning, after the rest.
  for (std::size_t i = formatErrors; i < rec.boxes.size(); ++i)
    VK_REQUIRE(rec.boxes[i].caption != msg::kOverlappingRecords || i + 1 == rec.boxes.size());
  if (rest > 0 && rec.boxes.back().caption == msg::kOverlappingRecords) {
    VK_REQUIRE(format != ImageFormat::Unknown &&
               rec.boxes.back().kind == vk::image::MessageKind::Warning);
    --rest;
  }
  if (format == ImageFormat::Unknown && rest == 1) {
    // Recognised, then refused by the reader: one box naming the file and the line.
    const auto& a = rec.boxes[formatErrors];
    VK_REQUIRE(a.caption == msg::kDamagedFile && a.text.rfind(fileName + "\r\nLine ", 0) == 0);
  } else if (format == ImageFormat::Unknown) {
    VK_REQUIRE(rest == 2);
    const auto& a = rec.boxes[formatErrors];
    const auto& b = rec.boxes[formatErrors + 1];
    VK_REQUIRE(a.caption == msg::kUnknownFormat && a.text == msg::kNotRecognized);
    VK_REQUIRE(b.caption == msg::kUnknownFileType && b.text == fileName &&
               b.kind == vk::image::MessageKind::Warning);
  } else if (format == ImageFormat::Container && rest == 1) {
    const auto& a = rec.boxes[formatErrors];
    VK_REQUIRE(a.caption == msg::kUnknownBodyFormat && a.text == fileName);
  } else {
    VK_REQUIRE(rest == 0);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vk::fuzz;
  if (size > FirmwareImage::kFileDataSize) return 0;
  static auto* rec = new SaidBoxes;
  static auto* v = new FirmwareImage();
  static auto* scratch = new FirmwareImage();
  static const std::string kName = "input.bin";

  v->Clear();
  rec->Reset();
  const ImageBytes erased = Snapshot(*v);
  const ImageFormat format = rec->Keep(v->LoadFromMemory(kName, data, size));
  VK_REQUIRE(format == v->LastFormat());
  CheckRangeBounds(*v);
  CheckOnlyRangeWritten(*v, erased);
  CheckTargetNames(*v);

  if (size == 0) {
    VK_REQUIRE(format == ImageFormat::Unknown && rec->boxes.empty());
    return 0;
  }
  CheckBoxes(*rec, format, kName);

  switch (format) {
  case ImageFormat::Unknown:
    VK_REQUIRE(v->MemStart() == 0 && v->MemEnd() == 0 && Snapshot(*v) == erased);
    VK_REQUIRE(v->MsgBuf().empty() && v->TargetList().Count() == 0);
    break;
  case ImageFormat::IntelHex:
  case ImageFormat::SRecord: {
    VK_REQUIRE(v->CodeSize() == size && std::memcmp(v->FileData(), data, size) == 0);
    VK_REQUIRE(v->MsgBuf().empty() && v->TargetList().Count() == 0);
    ReadAlone(*scratch, data, size, format == ImageFormat::IntelHex ? 1 : 2);
    VK_REQUIRE(SameImage(*v, *scratch) && SameRange(*v, *scratch));
    break;
  }
  case ImageFormat::Container: {
    VK_REQUIRE(size >= vk::image::container::kHeaderSize && data[0] == 'V' && data[1] == 'K');
    // Afterwards the file area holds the body alone, the tail of the file.
    VK_REQUIRE(v->CodeSize() <= size - vk::image::container::kHeaderSize);
    VK_REQUIRE(std::memcmp(v->FileData(), data + size - v->CodeSize(), v->CodeSize()) == 0);
    VK_REQUIRE(v->MsgBuf().find('\0') == std::string::npos);
    VK_REQUIRE(v->MsgBuf().size() <= size);
    const std::uint16_t body = v->BodyFormat();
    ReadAlone(*scratch, data + size - v->CodeSize(), v->CodeSize(), body);
    if (body == 1 || body == 2) {
      VK_REQUIRE(SameImage(*v, *scratch) && SameRange(*v, *scratch));
    } else {
      VK_REQUIRE(IsErased(*v, 0, FirmwareImage::kImageSize) && v->MemStart() == 0xFFFF &&
                 v->MemEnd() == 0);
    }
    break;
  }
  }

  CheckBothWriters(*v, *scratch);

  // Loading the same bytes again over the result is deterministic and adds nothing.
  const Outcome first = Capture(*v, format, rec->boxes.size());
  rec->Reset();
  const ImageFormat again = rec->Keep(v->LoadFromMemory(kName, data, size));
  VK_REQUIRE(first == Capture(*v, again, rec->boxes.size()));
  return 0;
}
