#pragma once
// FirmwareImage: the one firmware image of the program (64 KiB, erased to 0xFF), the raw area a
// file is read into, and what a container brought with it. Readers and writers for Intel HEX,
// S-records and the V&K container live here too, so the formats stay in one place.

#include "image/crc32.h"

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vk::image {

enum class ImageFormat : std::uint8_t { Unknown = 0, IntelHex = 1, SRecord = 2, Container = 3 };

// What a load has to tell the user, as the window shows it in a box (caption and text are the
// program's own) and vkprog as "CAPTION: TEXT". The image itself shows nothing.
enum class MessageKind : std::uint8_t { Note, Warning, Error };
struct ImageMessage {
  std::string text;
  std::string caption;
  MessageKind kind = MessageKind::Note;
};

// What a load did: the format it found (Unknown: nothing was loaded) and the messages for the
// user, in the order the window shows them.
struct LoadResult {
  ImageFormat format = ImageFormat::Unknown;
  std::vector<ImageMessage> messages;
  operator ImageFormat() const { return format; }
};

struct TTargetDesc {
  std::string Name;        // the word as 8 upper-case hexadecimal digits
  std::uint32_t Value = 0; // bits 24..31: module type code
};

class TTargetList {
public:
  static constexpr std::uint32_t kCapacity = 128;

  // Entries past the 128th are dropped.
  void Add(const TTargetDesc& desc) {
    if (count_ < kCapacity) items_[count_++] = desc;
  }
  void Clear() { count_ = 0; }
  std::uint32_t Count() const { return count_; }
  // An index past the end reads the last slot.
  const TTargetDesc& Get(std::uint32_t index) const {
    return items_[index < kCapacity ? index : kCapacity - 1];
  }

private:
  std::uint32_t count_ = 0;
  std::array<TTargetDesc, kCapacity> items_{};
};

// Thrown when a file cannot be written; the message names the file and the reason.
class FileWriteError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Byte layout of the container header (little-endian).
namespace container {
inline constexpr std::uint32_t kHeaderSize = 32;
inline constexpr std::uint32_t kVersionAt = 4, kEditionAt = 8, kBodyFormatAt = 16;
inline constexpr std::uint32_t kTargetOffsetAt = 18, kMessageOffsetAt = 20, kBodyOffsetAt = 22;
inline constexpr std::uint32_t kHeaderCheckAt = 24, kBodyCheckAt = 28;
inline constexpr std::uint32_t kHeaderCheckedBytes = 24;
} // namespace container

// Why a reader refused its text. A refused text changes nothing in the image.
enum class ReadError : std::uint8_t {
  None,
  BadDigit,    // a character inside a record that is not a hexadecimal digit
  BadChecksum, // the record's bytes do not add up
  CutShort,    // the text ends inside a record
  BadRecord,   // a record too short for its kind (an extended address without its two bytes)
  TwoWindows,  // data in two 64 KiB windows, which the 16-bit image would fold onto each other
  ShortLine,   // the record's line ends before the digits its length gives
};

struct ReadResult {
  ReadError error = ReadError::None;
  std::uint32_t at = 0;               // offset in FileData of the refused record
  std::uint32_t first = 0, other = 0; // TwoWindows: full addresses in the two windows
  bool endRecord = false;             // the text ended with its end record, not just stopped
  explicit operator bool() const { return error == ReadError::None; }
};

class FirmwareImage {
public:
  static constexpr std::uint32_t kImageSize = 0x10000;
  static constexpr std::uint32_t kFileDataSize = 0x100000; // largest file accepted
  static constexpr std::uint8_t kErased = 0xFF;

  enum class CheckResult { Pass, FailWithMessage, FailSilent };

  FirmwareImage();

  void Clear();

  // Reads the file and interprets it by content; the result says what to tell the user.
  LoadResult LoadFromFile(const std::string& fileName);
  // The same, for bytes already in memory (fileName only names them in messages).
  LoadResult LoadFromMemory(const std::string& fileName, const std::uint8_t* data,
                            std::size_t size);
  // The messages of the checks and reads called one by one (DetectFormat, CheckIntelHex, ...),
  // taken out; a load returns its own.
  std::vector<ImageMessage> TakeMessages();

  ImageFormat DetectFormat();
  CheckResult CheckIntelHex();
  CheckResult CheckSRecords();
  bool CheckContainer();
  ReadResult ReadContainerBody(const std::string& fileName);

  // text: offset into FileData; available: characters that may be taken from there. Every
  // record is checked (digits, checksum, length); a text with a damaged record, or with data in
  // two 64 KiB windows, is refused whole: image and range stay exactly as they were.
  ReadResult ReadIntelHex(std::uint32_t text, std::uint32_t available);
  ReadResult ReadSRecords(std::uint32_t text, std::uint32_t available);
  // The user's words for a refusal: the file, the line (counted in FileData) and the reason.
  std::string DamageText(const std::string& fileName, const ReadResult& r) const;

  // Writers; throw FileWriteError. The ranged forms write [start, end) instead of the loaded range.
  void SaveIntelHex(const std::string& fileName) const;
  void SaveSRecords(const std::string& fileName) const;
  void SaveIntelHex(const std::string& fileName, std::uint32_t start, std::uint32_t end) const;
  void SaveSRecords(const std::string& fileName, std::uint32_t start, std::uint32_t end) const;
  std::string IntelHexText(std::uint32_t start, std::uint32_t end) const;
  std::string SRecordText(std::uint32_t start, std::uint32_t end) const;

  void GetTarget(std::uint32_t index, TTargetDesc& out) const { out = targets_.Get(index); }

  // Properties.
  std::uint32_t CodeSize() const { return codeSize_; }
  const TTargetList& TargetList() const { return targets_; }
  std::uint16_t BodyFormat() const;
  std::uint32_t MemStart() const { return memStart_; }
  std::uint32_t MemEnd() const { return memEnd_; }
  bool IsEmpty() const { return memStart_ >= memEnd_; }
  // The range of bytes put into Image() by other means than a file (a module's flash read back).
  void SetRange(std::uint32_t start, std::uint32_t end) {
    memStart_ = start;
    memEnd_ = end;
  }
  std::uint32_t SW_Version() const;
  void SetSW_Version(std::uint32_t v);
  std::uint16_t SW_Edition() const;
  void SetSW_Edition(std::uint16_t v);
  const std::string& MsgBuf() const { return msgBuf_; }
  void SetMsgBuf(const std::string& s) { msgBuf_ = s; }
  ImageFormat LastFormat() const { return lastFormat_; }
  // A file in the image that stopped without its end record (it may have been cut short on
  // its way here), or "" when every file ended properly.
  const std::string& FileWithoutEndRecord() const { return unended_; }

  // The full address of the 64 KiB window the last file's data lay in (its extended address
  // records); 0 for data without them. The image's 16-bit addresses are offsets into it.
  std::uint32_t Window() const { return window_; }
  void SetWindow(std::uint32_t window) { window_ = window & 0xFFFF0000u; }

  std::uint8_t* Image() { return image_.data(); }
  const std::uint8_t* Image() const { return image_.data(); }
  const std::uint8_t* FileData() const { return fileData_.data(); }

private:
  void Say(const std::string& text, const std::string& caption, MessageKind kind);
  void ResetRangeIfEmpty();
  void EraseImage();
  ReadResult ParseIntelHex(std::uint32_t text, std::uint32_t available);
  ReadResult ParseSRecords(std::uint32_t text, std::uint32_t available);
  // Image and range as they were before a read, put back when the read is refused.
  void KeepImage();
  void RestoreImage();
  // Stores a data record's byte, noting an address to which an earlier record of the same
  // text gave other data.
  void Store(std::uint32_t at, std::uint8_t b) {
    if (written_[at] && image_[at] != b) NoteOverlap(at);
    written_[at] = 1;
    image_[at] = b;
  }
  void NoteOverlap(std::uint32_t at);
  void StartOverlapCheck();
  // "fw.hex\r\nRecords overlap with different data at 1000-100F. ..." for the last read.
  std::string OverlapText(const std::string& fileName) const;
  void ReadContainerExtras();
  std::uint32_t HeaderWord16(std::uint32_t at) const;
  std::uint32_t HeaderWord32(std::uint32_t at) const;
  std::uint32_t FileWord16(std::uint32_t at) const;
  std::uint32_t FileWord32(std::uint32_t at) const;

  std::vector<ImageMessage> messages_; // of the load under way
  TCRC32 crc_;
  ImageFormat lastFormat_ = ImageFormat::Unknown;
  std::uint32_t codeSize_ = 0;
  std::vector<std::uint8_t> fileData_; // kFileDataSize bytes, allocated once
  TTargetList targets_;
  std::uint32_t memStart_ = 0;
  std::uint32_t memEnd_ = 0;
  std::array<std::uint8_t, container::kHeaderSize> header_{};
  std::string msgBuf_;
  std::string unended_;
  std::array<std::uint8_t, kImageSize> image_;
  std::array<std::uint8_t, kImageSize> kept_;
  std::uint32_t keptStart_ = 0, keptEnd_ = 0;
  std::uint32_t window_ = 0, keptWindow_ = 0;
  // The bytes the read under way has stored, and the ranges (image addresses, inclusive) where
  // a later record of it gave other data than an earlier one.
  std::array<std::uint8_t, kImageSize> written_{};
  std::vector<std::pair<std::uint32_t, std::uint32_t>> overlaps_;
};

// The message texts and captions the image shows; callers and tests compare against them.
namespace msg {
inline constexpr const char* kFormatError = "Format Error";
inline constexpr const char* kNotIntelHex = "The source file may not contain Intel-Hex records";
inline constexpr const char* kNotSRecords = "The source file may not contain S-RECORDS";
inline constexpr const char* kCantOpen = "Can't Open File";
inline constexpr const char* kUnknownFormat = "Unknown Format";
inline constexpr const char* kNotRecognized = "The source file format was not recognized!";
inline constexpr const char* kUnknownFileType = "Unknown File type";
inline constexpr const char* kUnknownBodyFormat = "Unknown Velkor Firmware File Format";
inline constexpr const char* kFileTooLarge = "File Too Large";
inline constexpr const char* kDamagedFile = "Damaged File";
inline constexpr const char* kNoEndRecord = "no end record: the file may be cut short";
inline constexpr const char* kOverlappingRecords = "Overlapping Records";
} // namespace msg

} // namespace vk::image
