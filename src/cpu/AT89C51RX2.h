#pragma once
// The 8051 in-system-programming boot loaders. Their language is Intel HEX records answered by
// single characters: "U" brings the loader to the host's bit rate and comes back as an echo,
// commands are records of types 02 and 03 sent without a line end and acknowledged by ".",
// data records end with a carriage return and are answered by 0x06 or "." (taken), "X" (send it
// again) or a fatal letter. The AT89C51RX2 also reads its flash back (record type 04, display):
// a run writes every block of the image's range, blank ones too, and reads the whole range back
// before the closing command and compares.
//
// TCPU_ISP8051 is the part the loaders share: synchronisation, the erase command, the record
// loop and the closing commands. An Isp8051Variant lists what differs; TCPU_AT89C51RX2 is
// defined here, TCPU_P89C51RX2 in P89C51RX2.h.

#include "protocol/RecordLoader.h"
#include "protocol/RunEstimate.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vk::cpu {

struct Isp8051Variant {
  // Set at the start of a run; 0 keeps the rate the user chose.
  std::uint32_t initBaud;
  // After the echo of "U": ":0100000212EB", acknowledged by ".".
  bool sendsOscillator;
  // Answers to a data record that end the run.
  std::string_view fatal;
  // The closing commands in order; empty: none.
  std::array<std::string_view, 2> closing;
  // The rate the link is left at after a run; 0 leaves it.
  std::uint32_t finishBaud;
  // The loader displays its flash (":05 0000 04 SSSS EEEE 00", lines "AAAA=" and hexadecimal
  // bytes): runs verify what they wrote, and read and compare runs are possible.
  bool readsBack;
  // Every block of the image's range is written, blank ones too: the run does not erase, and a
  // page write replaces its page, so the range then holds the image and nothing older.
  bool writesBlankBlocks;
};

// How long the 8051 loaders are waited for. A poll is one step of the run: a tick (10 ms) or an
// answer delivered.
struct Isp8051Timing {
  int afterEchoMs = 100;         // after the carriage return that follows the echo of "U"
  int syncQuietPolls = 5;        // polls without the echo or "."; the 6th ends an attempt
  int eraseQuietPolls = 5;       // polls without "." to the erase; exceeded, it goes again
  int eraseLimitMs = 10000;      // the erase was heard (echoed): its "." within this (Atmel's
                                 // ISP documentation: the full chip erase takes about 6 s)
  int closingQuietPolls = 500;   // a closing command is a short flash write; silence this long
                                 // means it did not happen
  int typicalChipEraseMs = 6000; // Atmel: the full chip erase takes about 6 s
  int typicalRecordMs = 2;       // the loader programs a record before it answers (the estimate
                                 // of vkprog program --dry-run)
};

class TCPU_ISP8051 : public programmer::RecordLoader {
public:
  TCPU_ISP8051(platform::IEventLoop& loop, const Isp8051Variant& variant);

  void InitBegin(link::IProtocolLink* link, const std::string& param) override;
  void EraseBegin() override;
  void EraseStep() override;
  void ProgramBegin() override;
  void ProgramStep() override;
  void ProgramEnd() override;
  void Finish() override;

  static constexpr std::int32_t kMaxSyncRetries = 20;  // so "U" goes out 21 times at most
  static constexpr std::int32_t kMaxEraseRetries = 50; // counted on from the synchronisation's
  static constexpr std::int32_t kMaxRecordRetries = 5; // per run
  static constexpr std::int32_t kMaxReadRetries = 5;   // display commands sent again, per run
  // The most one display command may cover (the loader's documented limit).
  static constexpr std::uint32_t kMaxDisplayBytes = 0x400;
  static constexpr Isp8051Timing kTiming{};
  // This protocol's run time for vkprog program --dry-run (protocol/RunEstimate.h).
  static programmer::RunEstimate Estimate(const programmer::EstimateInput& c);

  static constexpr std::string_view kSync = "U";
  static constexpr std::string_view kOscillator = ":0100000212EB";
  static constexpr std::string_view kEraseCommand = ":0100000307F5";

  // The steps of the synchronisation (SyncStep), in the first of EraseBegin or ProgramBegin of a
  // run; its last step hands over to the phase's work.
  enum class Sync : std::int32_t {
    SendU,             // "U"
    AwaitEcho,         // a line with "U"; then a carriage return
    SendOscillator,    // the oscillator command
    AwaitOscillatorOk, // "."
    Settle,            // what came meanwhile goes; the loader listens
  };
  // The steps of EraseStep.
  enum class Erasing : std::int32_t {
    SendErase,   // the erase command
    AwaitErased, // "."
    Erased,      // on to EraseEnd
  };
  // The steps of ProgramEnd.
  enum class Closing : std::int32_t {
    SendFirst, // the first closing command, if any
    AwaitOk,   // "." to the last one sent; then the next, or Done
  };

  // The steps of reading the flash back (ReadTick): after the records of a run, or as the whole
  // work of a read or compare run.
  enum class Reading : std::int32_t {
    SendDisplay, // the display command of the next piece, or done
    AwaitData,   // its lines, until every byte of the piece came
  };

  // ":0500000400000FFF00ED": display first..last (last included); function 00 display, 01
  // blank check.
  static std::string DisplayCommand(std::uint32_t first, std::uint32_t last,
                                    std::uint8_t function = 0x00);
  // ":02000005XXYYCC": the read function XX YY (Isp8051Identify.cpp).
  static std::string InfoCommand(std::uint8_t what, std::uint8_t which);

  programmer::StepOf<Sync> SyncStep;
  programmer::StepOf<Reading> ReadStep;
  // Display commands sent again in this run.
  std::int32_t ReadRepeats = 0;
  // Ticks waited for the answer to the last character or command.
  std::int32_t TryCount = 0;
  // Repeats of "U", the oscillator command and the erase command: one budget, so that the
  // erase gets what the synchronisation left of it (kMaxEraseRetries in all).
  std::int32_t LoaderRepeats = 0;
  // Records sent again in this run.
  std::int32_t RecordRepeats = 0;
  // Closing commands sent.
  std::int32_t ClosingSent = 0;

protected:
  // One tick of the synchronisation sub-machine.
  void SyncTick();
  // EraseBegin and ProgramBegin: true once the loader listens; until then a tick of the
  // synchronisation, which fails the run when the loader never answers.
  bool LoaderListens();

  // One tick of reading back: true once every range is read (and, unless reading, found equal
  // to the image); a failure fails the run.
  bool ReadTick();
  // One tick of an identify run (Isp8051Identify.cpp): true once every value is in Identity.
  bool IdentifyTick();
  // One line of the display's answer.
  void TakeDisplayLine(const std::string& line);
  // The hexadecimal bytes of text from `from` on, up to the first other character: into the
  // image (reading) or compared with it; false when the run failed on a difference.
  bool TakeDisplayedHex(const std::string& text, std::size_t from);
  // The ranges a run reads: the blocks the record loop sends, or for a read or compare run
  // CurAddr..EndAddr, every byte.
  void PlanReading();

  bool inSync_ = false;     // the loader answered this run's synchronisation
  bool eraseHeard_ = false; // the erase command came back (echoed): the chip is erasing
  bool readBack_ = false;   // this run's read-back is over
  std::vector<std::pair<std::uint32_t, std::uint32_t>> toRead_; // [from, end) each
  std::size_t rangeAt_ = 0;                                     // the range in hand
  std::uint32_t readAt_ = 0;   // the first address of the piece in hand
  std::uint32_t pieceEnd_ = 0; // its end
  std::uint32_t received_ = 0; // bytes of the piece received so far
  std::string hexCarry_;       // a digit whose pair a pause on the wire cut off
  // An identify run: the value read next, whether its command went, what came back so far,
  // and the values (-1: refused by the security level, -2: not served).
  std::size_t infoAt_ = 0;
  bool infoSent_ = false;
  std::string infoAnswer_;
  std::array<int, 6> infoValues_{};

  const Isp8051Variant& variant_;
};

class TCPU_AT89C51RX2 : public TCPU_ISP8051 {
public:
  explicit TCPU_AT89C51RX2(platform::IEventLoop& loop);

  static const Isp8051Variant kVariant;
  // The 8051 loader's estimate and the read-back that follows the write.
  static programmer::RunEstimate Estimate(const programmer::EstimateInput& c);
};

} // namespace vk::cpu
