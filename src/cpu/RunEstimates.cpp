// Each protocol's estimate of a run, side by side so that their shared arithmetic reads alike. The
// waits come from each protocol's own timing table, so the estimate follows the protocol.

#include "cpu/ARM7.h"
#include "cpu/AT89C51RX2.h"
#include "cpu/Backplane.h"
#include "cpu/CortexM3Flash.h"
#include "cpu/Cortex_M3.h"
#include "cpu/H8_3664.h"
#include "cpu/QX4T.h"
#include "link/CanLink.h"

namespace vk {
namespace {

constexpr double kTick = 0.010; // the run controller's tick: a phase change waits for one
constexpr double Ms(int ms) { return ms / 1000.0; }
// Characters of an Intel HEX record stream: ":", length, address, type, data, checksum, CR.
double HexChars(const programmer::EstimateInput& c) {
  return c.bytes * 2.0 + c.records * 12.0 + 12;
}
double CharTime(std::uint32_t rate, int bits = 10) { return static_cast<double>(bits) / rate; }
double EndRecord() {
  const auto& base = programmer::RecordLoader::kRecordTiming;
  return Ms(base.beforeEndRecordMs + base.afterEndRecordMs);
}
// The records on a serial line, 10 bits a character (the end record aside).
double RecordWire(const programmer::EstimateInput& c) {
  return (c.bytes * 2.0 + c.records * 12.0) * 10 / c.rate;
}

} // namespace
} // namespace vk

namespace vk::programmer {

RunEstimate TCPU_BACKPLANE::Estimate(const EstimateInput& c) {
  const auto& w = kTiming;
  double t = c.elapsed;
  t += Ms(w.afterHostKeyMs + w.afterRateChangeMs + w.beforeSelectAgainMs);
  t += Ms(w.afterEraseMs + w.typicalEraseMs);
  if (c.eraseOnly) return {RecordWire(c), t};
  return {RecordWire(c), t + (HexChars(c) + c.records) * CharTime(c.rate) + EndRecord()};
}

} // namespace vk::programmer

namespace vk::cpu {

using programmer::EstimateInput;
using programmer::RunEstimate;

// The loader echoes every character as it comes: the directions overlap.
RunEstimate TCPU_ISP8051::Estimate(const EstimateInput& c) {
  const auto& w = kTiming;
  double t = c.elapsed;
  if (c.eraseOnly) return {RecordWire(c), t + Ms(w.afterEchoMs + w.typicalChipEraseMs)};
  t += Ms(w.afterEchoMs) + HexChars(c) * CharTime(c.rate) +
       c.records * (Ms(w.typicalRecordMs) + 2 * CharTime(c.rate)) + EndRecord();
  return {RecordWire(c), t};
}

RunEstimate TCPU_AT89C51RX2::Estimate(const EstimateInput& c) {
  RunEstimate e = TCPU_ISP8051::Estimate(c);
  if (c.eraseOnly) return e;
  // The read-back: a display command (echoed) per 1 KiB at most, and an answer line "AAAA=" with
  // 16 bytes in hexadecimal and its line end per 16 bytes.
  const double displays = c.bytes / double(kMaxDisplayBytes) + 1;
  e.runSeconds += (displays * 2 * 22 + c.bytes / 16.0 * 39) * CharTime(c.rate);
  return e;
}

RunEstimate TCPU_CORTEX_FLASH::Estimate(const EstimateInput& c) {
  const auto& w = kTiming;
  double t = c.elapsed;
  // 8 data bits and even parity. Get, Get ID and a probe read; the pages the image covers erased
  // (1 KiB pages, the common case); each block written (command, address, length, data,
  // checksum, three acknowledgements) and read back (command, address, length, three
  // acknowledgements, the data); the quiet that tells whether a check byte follows, once.
  const double blocks = c.records;
  const double pages = c.bytes / 1024.0 + 1;
  if (c.eraseOnly)
    return {RecordWire(c), t + 2 * Ms(w.settleMs) + 60 * CharTime(c.rate, 11) +
                               Ms(w.checkByteQuietMs) + Ms(w.typicalMassEraseMs)};
  t += 2 * Ms(w.settleMs) + 60 * CharTime(c.rate, 11) + Ms(w.checkByteQuietMs);
  t += pages * Ms(w.typicalPageEraseMs) + blocks * Ms(w.typicalBlockWriteMs);
  return {RecordWire(c), t + (2 * c.bytes + blocks * (12 + 12)) * CharTime(c.rate, 11)};
}

RunEstimate TCPU_H8_3664::Estimate(const EstimateInput& c) {
  const auto& w = kTiming;
  double t = c.elapsed;
  // The rate match: the chip measures several 0x00 before it answers one; each unanswered 0x00
  // costs the answer's polls.
  t += (w.typicalMatchAttempts - 1) * w.answerPolls * kTick;
  t += 2 * Ms(w.afterConfirmMs);
  // The size out and its echo back; then the kernel back to back, as the next byte goes before
  // the echo of the one before is back, and the last echo.
  t += (2 + 1) * CharTime(c.bootRate);
  t += (kKernelSize + 1) * CharTime(c.bootRate);
  t += Ms(w.typicalEraseMs + w.rateSettleMs);
  // The wire: the kernel at 9600 bit/s besides the records.
  return {RecordWire(c) + kKernelSize * 10.0 / 9600,
          t + (HexChars(c) + c.records) * CharTime(kKernelBaud) + EndRecord()};
}

RunEstimate TCPU_QX4T_BOOT::Estimate(const EstimateInput& c) {
  const auto& w = kTiming;
  double t = c.elapsed;
  t += Ms(w.afterRateChangeMs + w.afterEnterMs + w.afterEnteredMs);
  // Each record, the end record too, after the loader's quiet time; each answered by one
  // character.
  t += (c.records + 1) * Ms(w.beforeRecordMs) + (HexChars(c) + c.records) * CharTime(c.rate);
  return {RecordWire(c),
          t + EndRecord() + Ms(w.beforeStartMs + w.beforeRateBackMs + w.afterRateBackMs)};
}

RunEstimate TCPU_QX4T::Estimate(const EstimateInput& c) {
  const auto& w = kTiming;
  double t = c.elapsed;
  t += Ms(w.afterLinkCloseMs + w.afterStartFrameMs + w.afterProgramStartMs + w.afterRunMs);
  t += 2 * Ms(link::CanLink::kInitWaitMs); // the interface opened, and opened again
  // Per block: the quiet bus, an address frame and 16 data frames of about 130 bits, and the
  // answer, which the link finds at its next poll of the driver.
  return {c.records * 17.0 * 130 / c.rate,
          t + c.records * (Ms(w.beforeBlockMs) + 17.0 * 130 / c.rate +
                           Ms(link::CanLink::kPollIntervalMs) + kTick)};
}

// A check only: nothing is written.
RunEstimate TCPU_CORTEX::Estimate(const EstimateInput& c) {
  const auto& w = kTiming;
  // 8 data bits and even parity; per block a command, an address and a length with their
  // acknowledgements. The check reads from 0 to kLastBlock (a blank chip: all of it), block by
  // block.
  const double blocks = kLastBlock / kBlockSize + 1;
  const double bytes = blocks * kBlockSize;
  return {0, c.elapsed + 2 * Ms(w.settleMs) + (bytes + blocks * 12) * CharTime(c.rate, 11)};
}

// A check only, whose waits this estimate does not know: the time to its first byte.
RunEstimate TCPU_ARM7::Estimate(const EstimateInput& c) { return {0, c.elapsed}; }

} // namespace vk::cpu
