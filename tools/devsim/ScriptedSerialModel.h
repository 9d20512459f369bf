#pragma once
// A serial device that answers requests and takes data records, and whose answers a fault
// script (FaultScript.h) can spoil: a request refused or the device hanging up in its stead, an
// answer withheld or garbled, silence or a hang-up once a given record has been answered.

#include "devsim/FaultScript.h"
#include "devsim/PacedSerialModel.h"

namespace vk::devsim {

class ScriptedSerialModel : public PacedSerialModel {
public:
  std::uint64_t RecordsTaken() const override { return recordsTaken_; }

protected:
  // Line noise, sent for a garbled answer: no "OK", "U" or "K", no acknowledge, no refusal
  // letter and no frame start, so that a host reads it as an unusable answer.
  static constexpr std::string_view kGarbage = "\x9C\x3F\xF1";
  static constexpr std::string_view kGarbageLine = "\x9C\x3F\xF1\r\n";

  // Silent altogether (fault "silent"), or since a record was answered (after-records).
  bool Silenced() const { return faults_.EverythingSilent() || silencedFromNow_; }
  // Sends `answer` unless the device is silenced or the fault in hand (answerFault_) withholds
  // it; that fault may send `garbled` in its place. Returns when the answer has reached the host.
  Micros Answer(std::string_view answer, Micros readyAt, std::uint32_t baud,
                std::string_view garbled = kGarbageLine);
  // Carries out a fault that refuses the request: a hang-up, or its letter and CR LF as the
  // answer (`answeredAt`: when that has reached the host). Silent and garbage faults become the
  // fault in hand instead, and the request is carried out (false).
  bool Refuses(const Fault& fault, Micros at, std::uint32_t baud, Micros* answeredAt);
  // The command `name`, the `index`-th of all, is refused by the fault script.
  bool RefusesCommand(std::string_view name, std::uint64_t index, Micros at, std::uint32_t baud);
  // The `n`-th data record is refused by the fault script; what follows its answer is done too.
  bool RefusesRecord(std::uint64_t n, Micros at, std::uint32_t baud);
  // The letter a refusing fault answers with.
  virtual char RefusalLetter(const Fault& fault) const;
  // Hang-up or silence scripted to follow the answer to the `n`-th record.
  void AfterRecordAnswered(std::uint64_t n, Micros answeredAt);

  FaultScript faults_;
  bool silencedFromNow_ = false;
  std::uint64_t recordsTaken_ = 0;
  const Fault* answerFault_ = nullptr; // silent or garbage fault for the request in hand
};

} // namespace vk::devsim
