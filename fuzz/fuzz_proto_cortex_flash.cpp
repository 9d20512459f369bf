// Cortex-M3 Flash: synchronisation, Get, Get ID and the read-protection probe, then a program run
// (page erase or whole erase, Write Memory, read-back of every block, perhaps Go; perhaps removing
// read protection first), a read run or a compare run, against ST's boot loader model with flash
// that may hold old data or a bit that never clears. Besides the shared rules: a claim of
// "Verified" holds for the flash as it is; over an untouched line a read gives the device's
// bytes and "Same" means the flash holds the image.

#include "ProtocolTarget.h"

#include "cpu/CortexM3Flash.h"
#include "devsim/CortexBootLoader.h"

#include <algorithm>

namespace {

using namespace vk;
using cpu::TCPU_CORTEX_FLASH;

enum class Run { Program, ProgramAndGo, Read, Compare };

// What the input chose for this run beyond the device: set by makeDevice, used by start and
// check (one run at a time).
struct Choice {
  Run run = Run::Program;
  bool removeProtection = false;
  bool holdsImage = false; // the flash holds the image before the run (but for a byte, perhaps)
  std::optional<std::uint32_t> oddByteAt;
  // ST's loader sends read data without a check: data its script spoils is wrong in a way no
  // host can see, as over an altered line.
  bool dataMaySpoil = false;
  devsim::CortexBootLoader* loader = nullptr;
  std::uint32_t readFrom = 0, readEnd = 0;
};
Choice choice;

constexpr std::uint16_t kProducts[] = {0x410, 0x412, 0x414, 0x416, 0x418,
                                       0x420, 0x428, 0x430, 0x411 /* not in the page table */};
constexpr int kSlots = 16;

bool FlashHolds(const std::vector<std::uint8_t>& flash, const std::uint8_t* image,
                std::uint32_t from, std::uint32_t end) {
  return flash.size() >= end && std::equal(image + from, image + end, flash.begin() + from);
}

void CheckClaims(const fuzz::RunFacts& f) {
  const auto& o = f.outcome;
  const std::uint8_t* image = f.image->Image();
  if (o.verified) {
    // What was read back equal is the flash as it stands, for whatever the run wrote or compared.
    VK_REQUIRE(o.result == fuzz::RunResult::Programmed || o.result == fuzz::RunResult::Same);
    if (o.result == fuzz::RunResult::Programmed) VK_REQUIRE(o.bytesVerified == o.bytesWritten);
  }
  if (o.result == fuzz::RunResult::Programmed) {
    VK_REQUIRE(choice.run == Run::Program || choice.run == Run::ProgramAndGo);
    // Every block with data is written and read back; an all-blank image needs neither.
    const bool hasData = std::any_of(image + f.image->MemStart(), image + f.image->MemEnd(),
                                     [](std::uint8_t b) { return b != 0xFF; });
    VK_REQUIRE(o.verified == hasData);
    if (choice.run == Run::ProgramAndGo) VK_REQUIRE(choice.loader->Stats().startedAt.has_value());
  }
  if (f.lineAltered || choice.dataMaySpoil) return;
  if (o.result == fuzz::RunResult::Read) {
    VK_REQUIRE(f.image->Window() == TCPU_CORTEX_FLASH::kFlashBase);
    if (!FlashHolds(f.flash, image, choice.readFrom, choice.readEnd)) {
      std::fprintf(stderr, "the read gave other bytes than the flash holds\n");
      VK_REQUIRE(false);
    }
  }
  if (o.result == fuzz::RunResult::Same) {
    VK_REQUIRE(o.verified);
    if (!FlashHolds(f.flash, image, f.image->MemStart(), f.image->MemEnd())) {
      std::fprintf(stderr, "\"Same\", but the flash differs from the image\n");
      VK_REQUIRE(false);
    }
  }
}

// The longest a run may take by the protocol's own waits, for the largest range the image can
// cover (kSlots blocks), every read repeated as often as the protocol allows.
fuzz::Millis RunLimit(int) {
  constexpr auto t = TCPU_CORTEX_FLASH::kTiming;
  const auto wait = [](fuzz::Millis ms) { return ms + 20; }; // a limit seen a tick or two late
  const fuzz::Millis answer = wait(t.answerLimitMs);
  const fuzz::Millis sync =
      wait(t.settleMs) + (TCPU_CORTEX_FLASH::kSyncRetries + 1) * wait(t.syncQuietMs);
  const fuzz::Millis read =
      (TCPU_CORTEX_FLASH::kMaxRereads + 1) * (3 * answer + answer + wait(t.checkByteQuietMs));
  const fuzz::Millis start = sync + 2 * answer + 2 * answer + read;
  const fuzz::Millis unprotect = answer + wait(t.massEraseLimitMs) + wait(t.afterResetMs);
  const fuzz::Millis erase =
      answer + std::max<fuzz::Millis>(wait(t.massEraseLimitMs),
                                      wait(t.answerLimitMs + (kSlots + 1) * t.erasePageLimitMs));
  const fuzz::Millis blocks = kSlots * (3 * answer + read);
  return 2 * start + unprotect + erase + blocks + 2 * answer + wait(t.settleMs);
}

std::unique_ptr<devsim::SerialDeviceModel> MakeLoader(FuzzedDataProvider& in) {
  devsim::CortexConfig c;
  c.requireEvenParity = true;
  c.checkByte = in.ConsumeBool();
  c.dataDelayMs = in.ConsumeIntegralInRange<devsim::Millis>(0, 300);
  c.productId = kProducts[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kProducts) - 1)];
  c.eraseCommand = in.ConsumeBool() ? devsim::CortexBootLoader::kExtendedErase
                                    : devsim::CortexBootLoader::kErase;
  c.readProtected = in.ConsumeIntegralInRange(0, 7) == 7;
  if (in.ConsumeIntegralInRange(0, 3) == 3)
    c.stuckBit = in.ConsumeIntegralInRange<std::uint32_t>(0, kSlots * 256 - 1);
  choice = {};
  choice.run = static_cast<Run>(in.ConsumeIntegralInRange(0, 3));
  choice.removeProtection = in.ConsumeBool();
  auto loader = std::make_unique<devsim::CortexBootLoader>(c);
  switch (in.ConsumeIntegralInRange(0, 3)) {
  case 1: // old firmware from a block on
    loader->SetNotBlankFrom(in.ConsumeIntegralInRange<std::uint32_t>(0, kSlots * 256));
    break;
  case 2: // the image already there, perhaps with one byte of it different
    choice.holdsImage = true;
    if (in.ConsumeBool()) choice.oddByteAt = in.ConsumeIntegralInRange(0, kSlots * 256 - 1);
    break;
  default:
    break;
  }
  for (const auto& rule :
       fuzz::FaultRules(in,
                        {"SYNC", "GET", "GETID", "READ", "ADDRESS", "LENGTH", "DATA", "WRITE",
                         "WRITTEN", "ERASE", "ERASED", "UNPROTECT", "GO", ""},
                        {"silent", "X", "garbage", "hangup"})) {
    VK_REQUIRE(loader->Faults().Add(rule));
    if (!c.checkByte && rule.ends_with("=garbage")) choice.dataMaySpoil = true;
  }
  choice.loader = loader.get();
  return loader;
}

fuzz::ProtocolTarget::Tick Start(programmer::RunController& prg, link::SerialLink&,
                                 platform::IEventLoop&) {
  const image::FirmwareImage& firmware = *prg.Firmware;
  if (choice.holdsImage) {
    const std::uint32_t from = firmware.MemStart(), end = firmware.MemEnd();
    choice.loader->PutMemory(from, {firmware.Image() + from, firmware.Image() + end});
    if (choice.oddByteAt) {
      const std::uint32_t at = *choice.oddByteAt;
      choice.loader->PutMemory(at, {static_cast<std::uint8_t>(firmware.Image()[at] ^ 0x10)});
    }
  }
  switch (choice.run) {
  case Run::Program:
  case Run::ProgramAndGo:
    prg.StartAfterProgramming = choice.run == Run::ProgramAndGo;
    prg.RemoveReadProtection = choice.removeProtection;
    prg.StartProgram();
    break;
  case Run::Read:
    choice.readFrom = firmware.MemStart();
    choice.readEnd = firmware.MemEnd();
    prg.StartRead(choice.readFrom, choice.readEnd);
    break;
  case Run::Compare:
    prg.StartCompare();
    break;
  }
  return [&prg](bool) { return prg.RunStep(); };
}

const fuzz::ProtocolTarget kTarget{
    .entry = "Cortex-M3 Flash",
    .acknowledgements = "y",
    .makeDevice = MakeLoader,
    .runLimitMs = RunLimit,
    .imageFrom = 0x0000,
    .imageSlots = kSlots,
    .start = Start,
    .check = CheckClaims,
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return vk::fuzz::RunProtocolTarget(data, size, kTarget);
}
