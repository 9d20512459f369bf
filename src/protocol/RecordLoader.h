#pragma once
// RecordLoader: the part the boot loaders that take Intel HEX records share. The run's states,
// pauses and failures are ProtocolBase's; this adds the record loop (one record, its answer, the
// next), the end record, and the image's jump table and checksum word that some loaders expect.

#include "protocol/ProtocolBase.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vk::programmer {

// The steps of the record loop (RecordLoader::RecordLoopStep).
enum class RecordStep : std::int32_t {
  Prepare, // the protocol's preparation (its callback)
  Send,    // the next record, or the end record when none is left
  Await,   // the answer to the record
  AllSent, // on to the End phase
  Repeat,  // the same record again, at the next tick
};

// The waits of the record routines every record-based loader shares (SendNextRecord,
// RecordLoopStep).
struct RecordTiming {
  int beforeEndRecordMs = 10; // quiet line before the end record
  int afterEndRecordMs = 50;  // the loader's time to close the load before anything else
  int answerLimitMs = 5000;   // an unanswered record, or module selection, fails the run
};

class RecordLoader : public ProtocolBase {
public:
  using ProtocolBase::ProtocolBase;

  void Arm(const RunOptions& options) override;
  bool AwaitingAnswerOnly() const override;

  // The next record of CurAddr..EndAddr, or the end record (after its pause) when none is left:
  // false then. Blank blocks (all 0xFF) are left out unless told to send them.
  bool SendNextRecord(bool sendBlankBlocks = false);
  void BuildJumpTable();
  void AppendChecksum(std::uint32_t from, std::uint32_t to);

  static constexpr RecordTiming kRecordTiming{};
  // The limit on an unanswered record or module selection.
  static constexpr int kAnswerLimitMs = kRecordTiming.answerLimitMs;

protected:
  // "record at 0x1040 refused (E)"
  std::string RecordDetail(const std::string& what) const;
  // The same for a refused record: "record at 0x1040 refused (E)", or without the character when
  // it is not named.
  std::string RefusalDetail(std::optional<char> refusedWith) const;

  // The record loop (ProgramStep). Answers are scanned character by character and the last
  // recognised one decides.
  struct RecordLoopRules {
    std::string_view acknowledge;       // send the next record
    std::string_view fatal;             // the run fails
    std::string_view retry;             // send the same record again
    bool clearBeforeSend;               // clear the receive list before each record
    int maxRetries;                     // repeats allowed per run
    int answerLimitMs = kAnswerLimitMs; // an unanswered record fails the run after this
    // Characters in none of the sets: ignored, or taken as a request to repeat.
    bool othersRepeat = false;
    // The answer entry: removed after the scan, or left for the link to remove.
    bool keepAnswer = false;
    // Characters in none of the sets fail the run, unnamed in the reason (a loader that answers
    // anything but a yes only when something went wrong). Not with othersRepeat.
    bool othersRefuse = false;
    // The quiet time the loader needs before each record, the end record too: after the
    // receive list is cleared (clearBeforeSend), before the record goes out.
    int pauseBeforeRecordMs = 0;
    // The loader echoes each record before its answer: a yes that follows the echo of another
    // record answers an earlier send (one sent again after a late answer) and is not taken.
    bool echoesRecords = false;
    // Blank blocks of the range go out too: for a loader whose run does not erase, a skipped
    // block would keep whatever an older image left there.
    bool sendsBlankBlocks = false;
  };
  // One tick of the loop on Step (RecordStep); a loop starts at Prepare. retryCount counts over
  // the run; prepare resets it.
  void RecordLoopStep(const RecordLoopRules& rules, std::int32_t& retryCount,
                      const std::function<void()>& prepare);

  // The address of the last record sent, for the reason of a failure.
  std::uint32_t LastRecordAt = 0;

private:
  bool inRecordLoop_ = false; // this run's programming is the record loop
  // The address in the last record echo received since the record went out (echoesRecords).
  std::optional<std::uint32_t> echoedAt_;
};

// The record of one block as it goes on the wire: ":LLAAAA00<data>CC" and a carriage return.
std::string IntelHexRecord(std::uint32_t addr, const std::uint8_t* data, std::uint32_t count);

} // namespace vk::programmer
