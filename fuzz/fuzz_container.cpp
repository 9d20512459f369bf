// Containers built from the input with valid check values, so that the fuzzer gets past the check
// and explores the header fields, the offsets, the target list, the message and the body.

#include "ImageChecks.h"
#include "image/Container.h"

#include <fuzzer/FuzzedDataProvider.h>

namespace {

using vk::fuzz::SaidBoxes;
using vk::image::FirmwareImage;
using vk::image::ImageFormat;
namespace layout = vk::image::container;

std::uint32_t Get16(const std::vector<std::uint8_t>& f, std::size_t at) {
  return f[at] | (f[at + 1] << 8);
}
std::uint32_t Get32(const std::vector<std::uint8_t>& f, std::size_t at) {
  return Get16(f, at) | (Get16(f, at + 2) << 16);
}
void Put16(std::vector<std::uint8_t>& f, std::size_t at, std::uint32_t v) {
  f[at] = static_cast<std::uint8_t>(v);
  f[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& f, std::size_t at, std::uint32_t v) {
  Put16(f, at, v & 0xFFFF);
  Put16(f, at + 2, v >> 16);
}

// Shape bits: which parts of a well-made container the input replaces.
enum : std::uint8_t {
  kOwnTargetOffset = 1 << 2,
  kOwnMessageOffset = 1 << 3,
  kOwnBodyOffset = 1 << 4,
  kScribbleHeader = 1 << 5,
};

constexpr char kPreload[] = ":0400100001020304E2\r\n:00000001FF\r\n";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vk::fuzz;
  if (size > FirmwareImage::kFileDataSize / 2) return 0; // a container must stay within 1 MiB
  FuzzedDataProvider in(data, size);
  const auto shape = in.ConsumeIntegral<std::uint8_t>();

  vk::image::ContainerContent content;
  content.version = in.ConsumeIntegral<std::uint32_t>();
  content.edition = in.ConsumeIntegral<std::uint16_t>();
  const std::uint16_t bodyFormat = shape & 3; // 0 and 3 are not body formats
  content.bodyFormat = bodyFormat == 2 ? 2 : 1;
  const auto targetCount = in.ConsumeIntegralInRange<std::size_t>(0, 140);
  for (std::size_t i = 0; i < targetCount && in.remaining_bytes() > 0; ++i)
    content.targets.push_back(in.ConsumeIntegral<std::uint32_t>());
  content.message = in.ConsumeRandomLengthString(300);
  std::erase(content.message, '\0');
  const auto targetOffset = in.ConsumeIntegral<std::uint16_t>();
  const auto messageOffset = in.ConsumeIntegral<std::uint16_t>();
  const auto bodyOffset = in.ConsumeIntegral<std::uint16_t>();
  const auto scribble = in.ConsumeBytes<std::uint8_t>(13);
  content.body = in.ConsumeRemainingBytes<std::uint8_t>();

  std::vector<std::uint8_t> file = vk::image::BuildContainer(content);
  const bool wellMade =
      (shape & (kOwnTargetOffset | kOwnMessageOffset | kOwnBodyOffset | kScribbleHeader)) == 0 &&
      (bodyFormat == 1 || bodyFormat == 2);
  Put16(file, layout::kBodyFormatAt, bodyFormat);
  if (shape & kOwnTargetOffset) Put16(file, layout::kTargetOffsetAt, targetOffset);
  if (shape & kOwnMessageOffset) Put16(file, layout::kMessageOffsetAt, messageOffset);
  if (shape & kOwnBodyOffset)
    Put16(file, layout::kBodyOffsetAt, static_cast<std::uint32_t>(bodyOffset % (file.size() + 1)));
  if (shape & kScribbleHeader) {
    // Bytes the header leaves uninterpreted; they may hold "S" or ":" and so meet detection.
    static constexpr std::size_t kFree[] = {2, 3, 10, 11, 12, 13, 14, 15};
    for (std::size_t i = 0; i < std::size(kFree) && i < scribble.size(); ++i)
      file[kFree[i]] = scribble[i];
  }
  // Check values as stored containers carry them.
  const std::uint32_t body = Get16(file, layout::kBodyOffsetAt);
  vk::image::TCRC32 crc;
  Put32(file, layout::kHeaderCheckAt, crc.Compute(file.data(), layout::kHeaderCheckedBytes));
  Put32(file, layout::kBodyCheckAt,
        crc.Compute(file.data() + body, static_cast<std::uint32_t>(file.size() - body)));

  static auto* rec = new SaidBoxes;
  static auto* v = new FirmwareImage();
  static auto* scratch = new FirmwareImage();
  static const std::string kName = "fuzz.vkf";

  // Something loaded before, which the container must replace.
  v->Clear();
  v->LoadFromMemory("before.hex", reinterpret_cast<const std::uint8_t*>(kPreload),
                    sizeof kPreload - 1);
  VK_REQUIRE(!v->IsEmpty());
  const ImageBytes before = Snapshot(*v);
  const std::uint32_t beforeStart = v->MemStart(), beforeEnd = v->MemEnd();
  rec->Reset();

  const ImageFormat format = rec->Keep(v->LoadFromMemory(kName, file.data(), file.size()));
  // The container check passes, so whatever the first-record checks say, the file is recognised;
  // unless the body starts inside the body check value itself, which then cannot be made to match,
  // or the body is damaged, which refuses the whole file and leaves everything as it was.
  const bool checkValid = body < layout::kBodyCheckAt || body >= layout::kHeaderSize;
  const bool damaged =
      !rec->boxes.empty() && rec->boxes.back().caption == vk::image::msg::kDamagedFile;
  VK_REQUIRE(format != ImageFormat::Unknown || !checkValid || damaged);
  CheckRangeBounds(*v);
  CheckTargetNames(*v);
  if (damaged) {
    VK_REQUIRE(format == ImageFormat::Unknown && (bodyFormat == 1 || bodyFormat == 2));
    VK_REQUIRE(Snapshot(*v) == before && v->MemStart() == beforeStart && v->MemEnd() == beforeEnd);
    VK_REQUIRE(v->MsgBuf().empty() && v->TargetList().Count() == 0);
    VK_REQUIRE(rec->boxes.back().text.rfind(kName + "\r\nLine ", 0) == 0);
  }
  if (format != ImageFormat::Container) return 0;

  const auto fileSize = static_cast<std::uint32_t>(file.size());
  VK_REQUIRE(v->CodeSize() == fileSize - body);
  VK_REQUIRE(std::memcmp(v->FileData(), file.data() + body, fileSize - body) == 0);
  VK_REQUIRE(v->SW_Version() == Get32(file, layout::kVersionAt));
  VK_REQUIRE(v->SW_Edition() == Get16(file, layout::kEditionAt));
  VK_REQUIRE(v->BodyFormat() == bodyFormat);

  // The message: bytes of the file from its offset, ending only at a 0 byte, at the body that
  // follows it, or at the end of the file.
  const std::uint32_t msgAt = Get16(file, layout::kMessageOffsetAt);
  const std::string& message = v->MsgBuf();
  const std::uint32_t msgLimit = msgAt < body ? body : fileSize;
  if (message.empty()) {
    VK_REQUIRE(msgAt >= msgLimit || file[msgAt] == 0);
  } else {
    VK_REQUIRE(msgAt + message.size() <= msgLimit);
    VK_REQUIRE(std::memcmp(message.data(), file.data() + msgAt, message.size()) == 0);
    VK_REQUIRE(message.find('\0') == std::string::npos);
    VK_REQUIRE(msgAt + message.size() == msgLimit || file[msgAt + message.size()] == 0);
  }

  // The target list: whole words of the file, from its offset, before the message.
  const std::uint32_t listAt = Get16(file, layout::kTargetOffsetAt);
  const std::uint32_t listEnd = std::min(msgAt, fileSize);
  for (std::uint32_t i = 0; i < v->TargetList().Count(); ++i) {
    VK_REQUIRE(listAt + 4 * i + 4 <= listEnd);
    VK_REQUIRE(v->TargetList().Get(i).Value == Get32(file, listAt + 4 * i));
  }

  if (wellMade) {
    VK_REQUIRE(message == content.message);
    const std::size_t kept = std::min<std::size_t>(content.targets.size(), 128);
    VK_REQUIRE(v->TargetList().Count() == kept);
    for (std::size_t i = 0; i < kept; ++i)
      VK_REQUIRE(v->TargetList().Get(static_cast<std::uint32_t>(i)).Value == content.targets[i]);
  }

  // The image is the body read alone into an erased image: nothing of the earlier file is left.
  std::size_t bodyFormatBoxes = 0;
  for (const auto& b : rec->boxes)
    bodyFormatBoxes += b.caption == vk::image::msg::kUnknownBodyFormat && b.text == kName;
  if (bodyFormat == 1 || bodyFormat == 2) {
    VK_REQUIRE(bodyFormatBoxes == 0);
    ReadAlone(*scratch, file.data() + body, fileSize - body, bodyFormat);
    VK_REQUIRE(SameImage(*v, *scratch) && SameRange(*v, *scratch));
  } else {
    VK_REQUIRE(bodyFormatBoxes == 1);
    VK_REQUIRE(v->MemStart() == 0xFFFF && v->MemEnd() == 0);
    VK_REQUIRE(IsErased(*v, 0, FirmwareImage::kImageSize));
  }

  CheckBothWriters(*v, *scratch);

  // A second load of the same container gives the same result.
  const auto image = Snapshot(*v);
  const std::uint32_t start = v->MemStart(), end = v->MemEnd();
  const std::string firstMessage = v->MsgBuf();
  const std::uint32_t firstCount = v->TargetList().Count();
  VK_REQUIRE(v->LoadFromMemory(kName, file.data(), file.size()) == ImageFormat::Container);
  VK_REQUIRE(Snapshot(*v) == image && v->MemStart() == start && v->MemEnd() == end);
  VK_REQUIRE(v->MsgBuf() == firstMessage && v->TargetList().Count() == firstCount);
  return 0;
}
