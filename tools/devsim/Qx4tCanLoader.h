#pragma once
// The CAN loader of the QX4T controller: a node at an address 1..126 on a CAN bus. It takes the
// standard data frames with identifier 0x780 + node and answers every command with one frame,
// identifier replyBase + node (0x700 + node by default), whose first data byte is the result.
//
//   7E 7E           start: the loader is ready for Erase and blocks; a block in progress is
//                   dropped. No answer.
//   01 "ERASE"      erases 0x0400-0xFFFF (the loader keeps 0x0000-0x03FF for itself); after the
//                   erase time the answer 00
//   02 HI LO        a 128-byte block for address HI LO follows as 16 frames of 8 data bytes;
//                   after the 16th it is programmed and, after the block time, answered 01
//
// Answers that refuse:
//   E1  Erase or a block address before any start frame
//   E2  a block outside 0x0400-0xFFFF
//   E3  verify failed: the block goes over flash that is not erased
//   E4  a block broken off (a frame of another length than 8 before its 16th data frame), or a
//       data frame without a block address
//   E5  an unknown command
//   EF  refused by a scripted fault (X, E or R)
//
// Frames with other identifiers are not the loader's and are only counted; those with
// identifier 0 (the CAN link's start 01 and stop 02 messages) are noted in the transcript.
// Before each block address the loader needs the bus quiet (quietBeforeBlockMs, 50 ms, since the
// last frame it heard or sent): a host that sends it sooner is at fault, and the loader records
// that (HostFaults) for the test or the summary to show.
// Like the serial models it has no threads and no clock: the caller says what time it is.
// ServeOnBus runs it on a CAN bus of the platform (Qt's virtual bus in tests and vkdevsim).

#include "devsim/FaultScript.h"
#include "devsim/SerialDeviceModel.h"
#include "platform/CanBus.h"

#include <array>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vk::devsim {

struct Qx4tCanConfig {
  int node = 1;                    // 1..126
  std::uint32_t replyBase = 0x700; // answers go out as replyBase + node
  Millis eraseMs = 20;             // Erase until its answer
  Millis blockMs = 2;              // programming one block until its answer
  std::uint32_t appStart = 0x0400; // below: the loader itself, never written
  Millis quietBeforeBlockMs = 50;  // the bus quiet before a block address
};

struct CanTranscriptEntry {
  enum class Kind : std::uint8_t { FromHost, ToHost, Note };
  Millis at = 0;
  Kind kind = Kind::Note;
  platform::CanFrame frame; // FromHost, ToHost
  std::string note;         // Note
};

// One line without its line end, e.g. "     1.234 host> 785 [02 04 00]"; the loader's answers
// are marked "node>", notes "----".
std::string FormatCanTranscriptEntry(const CanTranscriptEntry& entry);

class Qx4tCanLoader {
public:
  static constexpr std::uint32_t kFlashSize = 0x10000;
  static constexpr std::uint32_t kBlockBytes = 128;
  static constexpr std::uint32_t kFrameBytes = 8;
  static constexpr std::uint32_t kCommandFunction = 0x780;

  static constexpr std::uint8_t kErased = 0x00;
  static constexpr std::uint8_t kBlockWritten = 0x01;
  static constexpr std::uint8_t kNotStarted = 0xE1;
  static constexpr std::uint8_t kOutside = 0xE2;
  static constexpr std::uint8_t kNotErased = 0xE3;
  static constexpr std::uint8_t kBrokenBlock = 0xE4;
  static constexpr std::uint8_t kUnknown = 0xE5;
  static constexpr std::uint8_t kRefusedByFault = 0xEF;

  struct LoaderCounters {
    std::uint64_t starts = 0;   // start frames
    std::uint64_t commands = 0; // start, Erase, block addresses and unknown commands
    std::uint64_t erases = 0;
    std::uint64_t blocks = 0; // blocks received whole or broken off
    std::uint64_t programmed = 0;
    std::uint64_t bytesProgrammed = 0;
    std::uint64_t refused = 0; // commands and blocks answered with a failure code
    std::uint64_t linkStarts = 0;
    std::uint64_t linkStops = 0;
    std::uint64_t otherFrames = 0; // for other identifiers
  };

  explicit Qx4tCanLoader(Qx4tCanConfig config = {});

  // Adds a scripted fault (see FaultScript.h). Commands are named START, ERASE and BLOCK (the
  // address frame); "record" rules count whole or broken blocks over the loader's life.
  bool AddFault(std::string_view rule, std::string* error = nullptr) {
    return faults_.Add(rule, error);
  }
  const FaultScript& Faults() const { return faults_; }

  // A frame on the bus, seen at `now`.
  void Receive(const platform::CanFrame& frame, Millis now);
  // The answers due by `now`.
  std::vector<platform::CanFrame> TakeOutput(Millis now);
  // When the next answer is due; none when idle.
  std::optional<Millis> NextDue() const;
  // The node has left the bus (scripted hang-up).
  bool HungUp() const { return hungUp_; }

  std::uint32_t CommandId() const { return kCommandFunction + static_cast<std::uint32_t>(node_); }
  std::uint32_t ReplyId() const { return config_.replyBase + static_cast<std::uint32_t>(node_); }

  void Preload(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
  const std::array<std::uint8_t, kFlashSize>& Flash() const { return flash_; }
  const Qx4tCanConfig& Config() const { return config_; }
  const LoaderCounters& Counters() const { return loader_; }
  // What the host did wrong in time (a block address on a bus not yet quiet), one line each.
  const std::vector<std::string>& HostFaults() const { return hostFaults_; }
  bool Started() const { return started_; }
  std::uint32_t LowestWritten() const { return lowestWritten_; }
  std::uint32_t HighestWritten() const { return highestWritten_; }

  const std::vector<CanTranscriptEntry>& Transcript() const { return transcript_; }
  // Called with every transcript entry as it is made (vkdevsim's --log).
  std::function<void(const CanTranscriptEntry&)> OnTranscript;
  std::string Summary() const;

private:
  struct Pending {
    Millis due;
    platform::CanFrame frame;
  };

  void Command(const platform::CanFrame& frame, Millis now);
  void BlockData(const platform::CanFrame& frame, Millis now);
  void ProgramBlock(Millis now);
  void BreakBlock(Millis now, const std::string& why);
  // Queues the answer unless a fault withholds or garbles it; returns when it is due.
  Millis Answer(std::uint8_t result, Millis due);
  bool Refuses(const Fault& fault, Millis now, Millis* answeredAt);
  void AfterBlockAnswered(std::uint64_t n, Millis answeredAt);
  void Record(CanTranscriptEntry entry);
  void Note(Millis at, std::string text);

  Qx4tCanConfig config_;
  int node_;
  std::array<std::uint8_t, kFlashSize> flash_;
  bool started_ = false;
  bool inBlock_ = false;
  std::uint32_t blockAddr_ = 0;
  std::vector<std::uint8_t> block_;
  bool hungUp_ = false;
  std::optional<Millis> hangUpAt_;
  bool absentNoted_ = false;
  bool silencedFromNow_ = false;
  const Fault* answerFault_ = nullptr;
  std::uint32_t lowestWritten_ = kFlashSize;
  std::uint32_t highestWritten_ = 0;
  std::deque<Pending> output_;
  std::optional<Millis> lastTraffic_; // the last frame heard or sent
  std::vector<std::string> hostFaults_;
  FaultScript faults_;
  LoaderCounters loader_;
  std::vector<CanTranscriptEntry> transcript_;
};

// Serves the loader on a bus at `now`: hands it every frame the bus has received and puts the
// answers due onto the bus. Returns false when an answer could not be sent.
bool ServeOnBus(Qx4tCanLoader& loader, platform::ICanBus& bus, Millis now);

// vkdevsim qx4t-can (Qx4tCanCommand.cpp, built into vkdevsim alone: it needs Qt SerialBus).
int RunQx4tCan(const std::vector<std::string>& args);

} // namespace vk::devsim
