#include "image/FirmwareImage.h"

#include "image/HexDigits.h"
#include "platform/Hex.h"
#include "platform/OpenFlags.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace vk::image {

namespace {
constexpr std::uint32_t kDefaultVersion = 0x01010101;
constexpr std::uint16_t kDefaultEdition = 1;
} // namespace

FirmwareImage::FirmwareImage() : fileData_(kFileDataSize, 0) {
  EraseImage();
  SetSW_Version(kDefaultVersion);
  SetSW_Edition(kDefaultEdition);
}

void FirmwareImage::Say(const std::string& text, const std::string& caption, MessageKind kind) {
  messages_.push_back({text, caption, kind});
}

std::vector<ImageMessage> FirmwareImage::TakeMessages() { return std::exchange(messages_, {}); }

void FirmwareImage::EraseImage() { image_.fill(kErased); }

void FirmwareImage::KeepImage() {
  kept_ = image_;
  keptStart_ = memStart_;
  keptEnd_ = memEnd_;
  keptWindow_ = window_;
}

void FirmwareImage::RestoreImage() {
  image_ = kept_;
  memStart_ = keptStart_;
  memEnd_ = keptEnd_;
  window_ = keptWindow_;
}

void FirmwareImage::StartOverlapCheck() {
  written_.fill(0);
  overlaps_.clear();
}

void FirmwareImage::NoteOverlap(std::uint32_t at) {
  if (!overlaps_.empty() && overlaps_.back().second + 1 == at)
    overlaps_.back().second = at;
  else
    overlaps_.push_back({at, at});
}

std::string FirmwareImage::OverlapText(const std::string& fileName) const {
  // Full addresses, as the file gives them.
  const auto address = [this](std::uint32_t at) {
    char text[12];
    std::snprintf(text, sizeof text, window_ ? "%08X" : "%04X",
                  static_cast<unsigned>(window_ | at));
    return std::string(text);
  };
  constexpr std::size_t kShown = 8;
  std::string where;
  for (std::size_t i = 0; i < overlaps_.size() && i < kShown; ++i) {
    const auto [first, last] = overlaps_[i];
    where += (i ? ", " : "") + address(first) + (last != first ? "-" + address(last) : "");
  }
  if (overlaps_.size() > kShown)
    where += " and " + std::to_string(overlaps_.size() - kShown) + " more";
  return fileName + "\r\nRecords overlap with different data at " + where +
         ".\r\nThe image holds what the later records give there.";
}

std::string FirmwareImage::DamageText(const std::string& fileName, const ReadResult& r) const {
  const std::uint32_t at = std::min(r.at, codeSize_);
  const auto line = 1 + std::count(fileData_.begin(), fileData_.begin() + at, std::uint8_t{'\n'});
  std::string why;
  switch (r.error) {
  case ReadError::None:
    break;
  case ReadError::BadDigit:
    why = "the record holds a character that is not a hexadecimal digit";
    break;
  case ReadError::BadChecksum:
    why = "the record's checksum is wrong";
    break;
  case ReadError::CutShort:
    why = "the record is cut short by the end of the file";
    break;
  case ReadError::ShortLine:
    why = "the record is cut short: its line ends before the bytes its length gives";
    break;
  case ReadError::BadRecord:
    why = "the record is too short for its type";
    break;
  case ReadError::TwoWindows: {
    char buf[120];
    std::snprintf(buf, sizeof buf,
                  "the data lies in two 64 KiB windows (at %08X and at %08X), which the "
                  "64 KiB image cannot hold apart",
                  r.first, r.other);
    why = buf;
    break;
  }
  }
  return fileName + "\r\nLine " + std::to_string(line) + ": " + why +
         ".\r\nThe file was not loaded.";
}

void FirmwareImage::Clear() {
  msgBuf_.clear();
  EraseImage();
  codeSize_ = 0;
  SetSW_Version(kDefaultVersion);
  SetSW_Edition(kDefaultEdition);
  memEnd_ = 0;
  memStart_ = 0;
  targets_.Clear();
  unended_.clear();
  window_ = 0;
}

void FirmwareImage::ResetRangeIfEmpty() {
  if (memStart_ == memEnd_) {
    memStart_ = 0xFFFF;
    memEnd_ = 0;
  }
}

// Header copy accessors (little-endian words).
std::uint32_t FirmwareImage::HeaderWord16(std::uint32_t at) const {
  return header_[at] | (header_[at + 1] << 8);
}
std::uint32_t FirmwareImage::HeaderWord32(std::uint32_t at) const {
  return HeaderWord16(at) | (HeaderWord16(at + 2) << 16);
}
std::uint16_t FirmwareImage::BodyFormat() const {
  return static_cast<std::uint16_t>(HeaderWord16(container::kBodyFormatAt));
}
std::uint32_t FirmwareImage::SW_Version() const { return HeaderWord32(container::kVersionAt); }
std::uint16_t FirmwareImage::SW_Edition() const {
  return static_cast<std::uint16_t>(HeaderWord16(container::kEditionAt));
}
void FirmwareImage::SetSW_Version(std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    header_[container::kVersionAt + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void FirmwareImage::SetSW_Edition(std::uint16_t v) {
  header_[container::kEditionAt] = static_cast<std::uint8_t>(v);
  header_[container::kEditionAt + 1] = static_cast<std::uint8_t>(v >> 8);
}

std::uint32_t FirmwareImage::FileWord16(std::uint32_t at) const {
  return fileData_[at] | (fileData_[at + 1] << 8);
}
std::uint32_t FirmwareImage::FileWord32(std::uint32_t at) const {
  return FileWord16(at) | (FileWord16(at + 2) << 16);
}

LoadResult FirmwareImage::LoadFromFile(const std::string& fileName) {
  lastFormat_ = ImageFormat::Unknown;
  messages_.clear();
  int fd = ::open(fileName.c_str(), O_RDONLY | platform::kOpenPrivate);
  if (fd < 0) {
    Say(fileName + "\r\n" + std::strerror(errno), msg::kCantOpen, MessageKind::Error);
    return {ImageFormat::Unknown, TakeMessages()};
  }
  // Read one byte more than fits, so a larger file is noticed whatever kind of file it is.
  std::vector<std::uint8_t> bytes(kFileDataSize + 1);
  std::size_t got = 0;
  while (got < bytes.size()) {
    ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (got > kFileDataSize) {
    Say(fileName + "\r\nThe file is larger than 1 MiB (1048576 bytes) and was not loaded.",
        msg::kFileTooLarge, MessageKind::Error);
    return {ImageFormat::Unknown, TakeMessages()};
  }
  return LoadFromMemory(fileName, bytes.data(), got);
}

LoadResult FirmwareImage::LoadFromMemory(const std::string& fileName, const std::uint8_t* data,
                                         std::size_t size) {
  lastFormat_ = ImageFormat::Unknown;
  messages_.clear();
  if (size == 0) return {};
  if (size > kFileDataSize) {
    Say(fileName + "\r\nThe file is larger than 1 MiB (1048576 bytes) and was not loaded.",
        msg::kFileTooLarge, MessageKind::Error);
    return {ImageFormat::Unknown, TakeMessages()};
  }
  std::memcpy(fileData_.data(), data, size);
  codeSize_ = static_cast<std::uint32_t>(size);
  const auto header = header_; // the container check takes a copy of the new header
  lastFormat_ = DetectFormat();

  ReadResult read;
  switch (lastFormat_) {
  case ImageFormat::IntelHex:
    read = ReadIntelHex(0, codeSize_);
    if (read) msgBuf_.clear();
    break;
  case ImageFormat::SRecord:
    read = ReadSRecords(0, codeSize_);
    if (read) msgBuf_.clear();
    break;
  case ImageFormat::Container: {
    read = ReadContainerBody(fileName);
    if (!read) {
      header_ = header;
      break;
    }
    ReadContainerExtras();
    // Keep only the body text in FileData.
    const std::uint32_t bodyOffset = FileWord16(container::kBodyOffsetAt);
    const std::uint32_t bodyLen = codeSize_ - bodyOffset;
    std::memmove(fileData_.data(), fileData_.data() + bodyOffset, bodyLen);
    codeSize_ = bodyLen;
    unended_.clear(); // a container replaces the image
    break;
  }
  case ImageFormat::Unknown:
    Say(fileName, msg::kUnknownFileType, MessageKind::Warning);
    break;
  }
  if (read && lastFormat_ != ImageFormat::Unknown && !read.endRecord) unended_ = fileName;
  // Two records for the same bytes with different data: one of them is not what was meant.
  if (read && lastFormat_ != ImageFormat::Unknown && !overlaps_.empty())
    Say(OverlapText(fileName), msg::kOverlappingRecords, MessageKind::Warning);
  if (!read) {
    // A damaged file is never half loaded: everything stays as it was.
    Say(DamageText(fileName, read), msg::kDamagedFile, MessageKind::Error);
    lastFormat_ = ImageFormat::Unknown;
  }
  return {lastFormat_, TakeMessages()};
}

ImageFormat FirmwareImage::DetectFormat() {
  // Only the first 15 bytes decide which checks run; a 0 byte ends them early.
  const std::uint32_t n = std::min<std::uint32_t>(15, codeSize_);
  const auto* first = fileData_.data();
  const auto* stop = std::find(first, first + n, std::uint8_t{0});
  const bool hasS = std::find(first, stop, std::uint8_t{'S'}) != stop;
  const bool hasColon = std::find(first, stop, std::uint8_t{':'}) != stop;

  if (hasS && CheckSRecords() == CheckResult::Pass) return ImageFormat::SRecord;
  if (hasColon && CheckIntelHex() == CheckResult::Pass) return ImageFormat::IntelHex;
  if (CheckContainer()) return ImageFormat::Container;
  Say(msg::kNotRecognized, msg::kUnknownFormat, MessageKind::Note);
  return ImageFormat::Unknown;
}

bool FirmwareImage::CheckContainer() {
  // The header copy takes the file's first 32 bytes whether or not the check passes.
  const std::uint32_t copied = std::min(codeSize_, container::kHeaderSize);
  header_.fill(0);
  std::memcpy(header_.data(), fileData_.data(), copied);
  if (codeSize_ < container::kHeaderSize) return false;

  if (header_[0] != 'V' || header_[1] != 'K') return false;
  if (crc_.Compute(header_.data(), container::kHeaderCheckedBytes) !=
      HeaderWord32(container::kHeaderCheckAt))
    return false;

  const std::uint32_t bodyOffset = HeaderWord16(container::kBodyOffsetAt);
  if (bodyOffset > codeSize_) return false;
  return crc_.Compute(fileData_.data() + bodyOffset, codeSize_ - bodyOffset) ==
         HeaderWord32(container::kBodyCheckAt);
}

// Message and target list of a container that passed the check. Offsets that point past the
// file, run backwards or cut a word in half are read as far as they make sense: the list takes
// whole words up to the message (or the file's end), the message ends at its 0 byte, at the
// body, or at the file's end, whichever comes first.
void FirmwareImage::ReadContainerExtras() {
  const std::uint32_t targetOffset = FileWord16(container::kTargetOffsetAt);
  const std::uint32_t messageOffset = FileWord16(container::kMessageOffsetAt);
  const std::uint32_t bodyOffset = FileWord16(container::kBodyOffsetAt);

  std::uint32_t msgLimit = codeSize_;
  if (messageOffset < bodyOffset) msgLimit = std::min(msgLimit, bodyOffset);
  msgBuf_.clear();
  for (std::uint32_t i = messageOffset; i < msgLimit && fileData_[i] != 0; ++i)
    msgBuf_.push_back(static_cast<char>(fileData_[i]));

  targets_.Clear();
  const std::uint32_t listEnd = std::min(messageOffset, codeSize_);
  for (std::uint32_t at = targetOffset; at + 4 <= listEnd; at += 4) {
    TTargetDesc d;
    d.Value = FileWord32(at);
    d.Name = platform::HexDigits(d.Value, 8);
    targets_.Add(d);
  }
}

ReadResult FirmwareImage::ReadContainerBody(const std::string& fileName) {
  KeepImage();
  EraseImage();
  memStart_ = 0xFFFF;
  memEnd_ = 0;
  const std::uint32_t bodyOffset = FileWord16(container::kBodyOffsetAt);
  const std::uint32_t bodyLen = codeSize_ > bodyOffset ? codeSize_ - bodyOffset : 0;
  ReadResult r;
  switch (BodyFormat()) {
  case 1:
    r = ParseIntelHex(bodyOffset, bodyLen);
    break;
  case 2:
    r = ParseSRecords(bodyOffset, bodyLen);
    break;
  default:
    Say(fileName, msg::kUnknownBodyFormat, MessageKind::Note);
    break;
  }
  if (!r) RestoreImage();
  return r;
}

} // namespace vk::image
