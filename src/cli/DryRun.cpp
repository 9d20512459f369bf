#include "cli/DryRun.h"

#include "app/BufferView.h"
#include "cli/Commands.h"
#include "cpu/AT89C51RX2.h"
#include "cpu/Backplane.h"
#include "cpu/CortexM3Flash.h"
#include "cpu/Cortex_M3.h"
#include "cpu/H8_3664.h"
#include "cpu/Kernels.h"
#include "cpu/ProgrammerUnit.h"
#include "cpu/QX4T.h"
#include "image/FirmwareImage.h"
#include "link/CanLink.h"
#include "platform/SerialDevice.h"
#include "protocol/ImagePrep.h"
#include "protocol/ProtocolKinds.h"

#include <array>
#include <cstdio>
#include <cstdlib>

namespace vk::cli {

namespace {

using namespace programmer;

std::string Hex(std::uint32_t v, int digits = 4) { return HexDigits(v, digits); }

void Plan(const std::string& line) { std::printf("plan: %s\n", line.c_str()); }
int Problem(const std::string& what) {
  Error("program: dry run: " + what);
  return kExitFailed;
}

// The rate the image travels at over the serial port: the kind's own, else the port's speed.
std::uint32_t ImageRate(const DryRunRequest& r) {
  const ProtocolKind& kind = KindOf(r.entry->CpuKind);
  if (r.link.speed && !kind.OwnImageBaud)
    return static_cast<std::uint32_t>(std::atoi(r.link.speed->c_str()));
  return kind.ImageBaud;
}

std::uint32_t CanRate(const DryRunRequest& r) { return CanBitRate(r.link.canBitrate); }

// What a run of the entry costs per module: the bytes on the wire and every wait its protocol
// makes, taken from the protocol's own timing table, so that the estimate follows the protocol.
struct RunCost {
  std::uint32_t records = 0;                  // data records (blocks) sent
  std::uint32_t bytes = 0;                    // image bytes in them
  std::uint32_t rate = platform::kNormalRate; // the rate the image travels at (CAN: the bus's)
  std::uint32_t bootRate = 9600;              // the H8's boot rate
  bool eraseOnly = false;
  bool direct = false; // the chip on the port itself: no "OP n" before the run
};

constexpr double Ms(int ms) { return ms / 1000.0; }
// Characters of an Intel HEX record stream: ":", length, address, type, data, checksum, CR.
double HexChars(const RunCost& c) { return c.bytes * 2.0 + c.records * 12.0 + 12; }
double CharTime(std::uint32_t rate, int bits = 10) { return static_cast<double>(bits) / rate; }

double EstimatedSeconds(const ProtocolKind& kind, const CatalogueEntry& e, const RunCost& c) {
  const double tick = 0.010; // the run controller's tick: a phase change waits for one
  // vkprog itself: from the port's opening to the run's first byte (traced: about 0.23 s).
  constexpr double kStartSeconds = 0.25;
  double t = kStartSeconds + 8 * tick;
  const auto& base = RecordLoader::kRecordTiming;
  const double endRecord = Ms(base.beforeEndRecordMs + base.afterEndRecordMs);
  if (kind.OpFirst && !c.direct) t += Ms(ProgrammerUnit::kTiming.afterSelectBeforeRunMs);
  switch (e.CpuKind) {
  case kKindBackplane: {
    const auto& w = TCPU_BACKPLANE::kTiming;
    t += Ms(w.afterHostKeyMs + w.afterRateChangeMs + w.beforeSelectAgainMs);
    t += Ms(w.afterEraseMs + w.typicalEraseMs);
    if (c.eraseOnly) return t;
    return t + (HexChars(c) + c.records) * CharTime(c.rate) + endRecord;
  }
  case kKindAT89C51RX2:
  case kKindP89C51RX2: {
    // The loader echoes every character as it comes: the directions overlap.
    const auto& w = cpu::TCPU_ISP8051::kTiming;
    if (c.eraseOnly) return t + Ms(w.afterEchoMs + w.typicalChipEraseMs);
    t += Ms(w.afterEchoMs) + HexChars(c) * CharTime(c.rate) +
         c.records * (Ms(w.typicalRecordMs) + 2 * CharTime(c.rate)) + endRecord;
    if (!kind.ReadsBack) return t;
    // The read-back: a display command (echoed) per 1 KiB at most, and an answer line
    // "AAAA=" with 16 bytes in hexadecimal and its line end per 16 bytes.
    const double displays = c.bytes / double(cpu::TCPU_ISP8051::kMaxDisplayBytes) + 1;
    return t + (displays * 2 * 22 + c.bytes / 16.0 * 39) * CharTime(c.rate);
  }
  case kKindCortexFlash: {
    const auto& w = cpu::TCPU_CORTEX_FLASH::kTiming;
    // 8 data bits and even parity. Get, Get ID and a probe read; the pages the image covers
    // erased (1 KiB pages, the common case); each block written (command, address, length,
    // data, checksum, three acknowledgements) and read back (command, address, length, three
    // acknowledgements, the data); the quiet that tells whether a check byte follows, once.
    const double blocks = c.records;
    const double pages = c.bytes / 1024.0 + 1;
    if (c.eraseOnly)
      return t + 2 * Ms(w.settleMs) + 60 * CharTime(c.rate, 11) + Ms(w.checkByteQuietMs) +
             Ms(w.typicalMassEraseMs);
    t += 2 * Ms(w.settleMs) + 60 * CharTime(c.rate, 11) + Ms(w.checkByteQuietMs);
    t += pages * Ms(w.typicalPageEraseMs) + blocks * Ms(w.typicalBlockWriteMs);
    return t + (2 * c.bytes + blocks * (12 + 12)) * CharTime(c.rate, 11);
  }
  case kKindH8: {
    const auto& w = cpu::TCPU_H8_3664::kTiming;
    // The rate match: the chip measures several 0x00 before it answers one; each unanswered
    // 0x00 costs the answer's polls.
    t += (w.typicalMatchAttempts - 1) * w.answerPolls * tick;
    t += 2 * Ms(w.afterConfirmMs);
    // The size out and its echo back; then the kernel back to back, as the next byte goes
    // before the echo of the one before is back, and the last echo.
    t += (2 + 1) * CharTime(c.bootRate);
    t += (cpu::TCPU_H8_3664::kKernelSize + 1) * CharTime(c.bootRate);
    t += Ms(w.typicalEraseMs + w.rateSettleMs);
    return t + (HexChars(c) + c.records) * CharTime(cpu::TCPU_H8_3664::kKernelBaud) + endRecord;
  }
  case kKindQX4TBoot: {
    const auto& w = cpu::TCPU_QX4T_BOOT::kTiming;
    t += Ms(w.afterRateChangeMs + w.afterEnterMs + w.afterEnteredMs);
    // Each record, the end record too, after the loader's quiet time; each answered by one
    // character.
    t += (c.records + 1) * Ms(w.beforeRecordMs) + (HexChars(c) + c.records) * CharTime(c.rate);
    return t + endRecord + Ms(w.beforeStartMs + w.beforeRateBackMs + w.afterRateBackMs);
  }
  case kKindQX4T: {
    const auto& w = cpu::TCPU_QX4T::kTiming;
    t += Ms(w.afterLinkCloseMs + w.afterStartFrameMs + w.afterProgramStartMs + w.afterRunMs);
    t += 2 * Ms(link::CanLink::kInitWaitMs); // the interface opened, and opened again
    // Per block: the quiet bus, an address frame and 16 data frames of about 130 bits, and the
    // answer, which the link finds at its next poll of the driver.
    return t + c.records * (Ms(w.beforeBlockMs) + 17.0 * 130 / c.rate +
                            Ms(link::CanLink::kPollIntervalMs) + tick);
  }
  case kKindCortex: {
    const auto& w = cpu::TCPU_CORTEX::kTiming;
    // 8 data bits and even parity; per block a command, an address and a length with their
    // acknowledgements.
    // The check reads from 0 to kLastBlock (a blank chip: all of it), block by block.
    const double blocks = cpu::TCPU_CORTEX::kLastBlock / cpu::TCPU_CORTEX::kBlockSize + 1;
    const double bytes = blocks * cpu::TCPU_CORTEX::kBlockSize;
    return t + 2 * Ms(w.settleMs) + (bytes + blocks * 12) * CharTime(c.rate, 11);
  }
  default:
    return t;
  }
}

} // namespace

ImageToWrite LoadImageToWrite(const InputFiles& files, const CatalogueEntry& e) {
  image::FirmwareImage image;
  ImageToWrite out;
  for (std::size_t i = 0; i < files.Names().size(); ++i) {
    const auto& bytes = files.Bytes(i);
    const image::ImageFormat format =
        image.LoadFromMemory(files.Names()[i], bytes.data(), bytes.size());
    static const std::array<const char*, 4> kFormat = {"unknown", "Intel HEX", "S-records",
                                                       "container"};
    std::string words =
        app::BareFileName(files.Names()[i]) + " (" + kFormat[static_cast<std::size_t>(format)];
    if (format == image::ImageFormat::Container) {
      out.loadedFiles.clear(); // a container replaces what came before it
      words += ", targets";
      for (std::uint32_t t = 0; t < image.TargetList().Count(); ++t)
        words += " " + image.TargetList().Get(t).Name;
    }
    out.files += (out.files.empty() ? "" : ", ") + words + ")";
    if (format != image::ImageFormat::Unknown) out.loadedFiles.push_back(files.Names()[i]);
  }
  for (std::uint32_t t = 0; t < image.TargetList().Count(); ++t)
    out.typed = out.typed || TypeCodeOf(image.TargetList().Get(t).Value) == e.TypeCode;
  out.empty = image.IsEmpty();
  out.unendedFile = image.FileWithoutEndRecord();
  out.start = out.loadedStart = image.MemStart();
  out.end = out.loadedEnd = image.MemEnd();
  out.window = image.Window();
  const auto regionStart = static_cast<std::uint32_t>(e.RegionStart);
  out.base = regionStart >= kImageSize ? PlacementBase(out.window, regionStart) : out.window;
  out.refusal = CheckImageForTarget(image.Image(), out.start, out.end, e, out.window);
  if (!out.empty && !out.refusal && e.CpuKind == kKindBackplane) {
    const PreparedImage prepared = PrepareForTarget(image.Image(), out.start, out.end, e);
    out.start = prepared.start;
    out.end = prepared.end;
    out.warning = TCPU_BACKPLANE::PartialEraseWarning(out.loadedStart,
                                                      static_cast<std::uint32_t>(e.RegionStart));
  } else if (!out.empty && !out.refusal && regionStart < kImageSize) {
    // The words the run appends right after the image, each over the region with the ones
    // before it in place (the QX4T's CAN loader: two); its blocks carry them.
    for (int i = 0; i < KindOf(e.CpuKind).ChecksumWords; ++i)
      programmer::AppendChecksum(image.Image(), out.end, regionStart,
                                 static_cast<std::uint32_t>(e.RegionEnd));
  }
  if (out.end > out.start)
    out.crc32 = image::TCRC32().StandardCrc(image.Image() + out.start, out.end - out.start);
  return out;
}

int DryRun(const DryRunRequest& r) {
  const CatalogueEntry& e = *r.entry;
  const ImageToWrite image = LoadImageToWrite(*r.files, e);
  Plan("entry " + std::string(e.Name) + " (type " + std::to_string(e.TypeCode) + ", " +
       std::string(KindOf(e.CpuKind).PlanWords) + ", region " +
       Hex(static_cast<std::uint32_t>(e.RegionStart)) + "-" +
       Hex(static_cast<std::uint32_t>(e.RegionEnd)) + ")");
  if (r.port.OverCan())
    Plan("port PCAN (" + r.port.device + "), CAN at " + std::to_string(CanRate(r)) +
         " bit/s, node " + std::to_string(r.link.canNode.value_or(1)));
  else
    Plan("port COM" + std::to_string(r.port.portNo) + " (" + r.port.device + ") at " +
         r.link.speed.value_or("115200") + " bit/s" +
         (r.link.direct && KindOf(e.CpuKind).OpFirst ? ", the chip on the port itself (no \"OP n\")"
                                                     : ""));
  std::string modules;
  for (const int m : r.modules) {
    if (!modules.empty()) modules += ' ';
    modules += std::to_string(m);
  }
  Plan("modules " + modules);
  Plan("files " + (image.files.empty() ? std::string("none") : image.files));

  if (e.CpuKind == kKindGroup) return Problem(std::string(e.Name) + " is a group, not a target");
  if (image.empty && !r.eraseOnly) return Problem("the files hold no data");
  int problems = 0;
  if (e.KernelNo) {
    const cpu::KernelSet kernels;
    const cpu::BootKernel* k = kernels.Get(e.KernelNo);
    if (!k || k->Path().empty())
      problems += Problem(std::string("the boot kernel ") + cpu::BootKernel::FileName(e.KernelNo) +
                          " was not found (VKPROG_KERNEL_DIR, else vkprog's folder, then "
                          "PREFIX/share/vkprogrammer/kernels)");
    else if (!k->Loaded())
      problems += Problem(k->ProblemText() + "; the run would send nothing");
    else
      Plan("kernel " + k->Path() + " (" + std::to_string(cpu::TCPU_H8_3664::kKernelSize) +
           " bytes, sent first)");
  }
  // What the run refuses before its erase, in its words; otherwise (an erase, a check-only target)
  // a note on the files' data against the region (the jump table below it is the run's own).
  if (image.refusal && !r.eraseOnly)
    problems += Problem(image.refusal.text);
  else if (!image.empty &&
           (image.base + image.loadedStart < static_cast<std::uint32_t>(e.RegionStart) ||
            image.base + image.loadedEnd - 1 > static_cast<std::uint32_t>(e.RegionEnd)))
    std::printf("plan: note: the data %s-%s reaches outside the region %s-%s\n",
                Hex(image.base + image.loadedStart).c_str(),
                Hex(image.base + image.loadedEnd - 1).c_str(),
                Hex(static_cast<std::uint32_t>(e.RegionStart)).c_str(),
                Hex(static_cast<std::uint32_t>(e.RegionEnd)).c_str());
  if (e.CpuKind == kKindBackplane && !image.typed && !(r.allowUntyped && r.yes))
    problems += Problem("the firmware is not meant for type " + std::to_string(e.TypeCode) +
                        " modules; the run would stop at \"ID Mismatch\" (--allow-untyped "
                        "--yes programs it all the same)");

  const std::uint32_t bytes = image.end - image.start;
  const std::uint32_t block = static_cast<std::uint32_t>(e.BlockSize > 0 ? e.BlockSize : 128);
  const std::uint32_t records = (bytes + block - 1) / block;
  // Full addresses where the run puts the data (the Cortex-M3 flash at 0x08000000).
  if (!image.empty)
    Plan("image " + Hex(image.base + image.start) + "-" + Hex(image.base + image.end) + ", " +
         std::to_string(bytes) + " bytes in " + std::to_string(records) + " records of up to " +
         std::to_string(block) + " bytes, CRC-32 " + Hex(image.crc32, 8));

  // The run decides nothing else: no 8051 run erases (Erase is not offered for them).
  const ProtocolKind& kind = KindOf(e.CpuKind);
  const std::string erase(r.eraseOnly && !kind.ChipEraseWords.empty() ? kind.ChipEraseWords
                          : image.start >= TCPU_BACKPLANE::kUpperEraseFrom &&
                                  !kind.UpperEraseWords.empty()
                              ? kind.UpperEraseWords
                              : kind.EraseWords);
  Plan((r.eraseOnly ? "erase only " : "erase ") + erase);
  if (!image.warning.empty() && !r.eraseOnly) Plan("warning: " + image.warning);

  const bool checkOnly = !kind.WritesImage;
  double seconds = 0;
  std::string rateWords;
  if (r.eraseOnly || checkOnly) {
    rateWords = "nothing to write";
  } else if (kind.NeedsCan()) {
    // An address frame and 16 data frames of 8 bytes per block; about 130 bits a frame.
    const std::uint32_t rate = CanRate(r);
    seconds = records * 17.0 * 130 / rate;
    rateWords = "at " + std::to_string(rate) + " bit/s";
  } else {
    // Intel HEX records: ":", length, address, type, data, checksum, CR; 10 bits a character.
    const std::uint32_t rate = ImageRate(r);
    seconds = (bytes * 2.0 + records * 12.0) * 10 / rate;
    if (e.KernelNo) seconds += cpu::TCPU_H8_3664::kKernelSize * 10.0 / 9600;
    rateWords = "at " + std::to_string(rate) + " bit/s";
  }
  char text[96];
  std::snprintf(text, sizeof text, "wire time about %.1f s per module %s", seconds,
                rateWords.c_str());
  Plan(text);
  RunCost cost;
  cost.records = records;
  cost.bytes = bytes;
  cost.rate = kind.NeedsCan() ? CanRate(r) : ImageRate(r);
  cost.bootRate = e.BootBaud > 0 ? static_cast<std::uint32_t>(e.BootBaud) : 9600;
  cost.eraseOnly = r.eraseOnly;
  cost.direct = r.link.direct;
  std::snprintf(text, sizeof text, "run time about %.1f s per module (the wire and the waits)",
                EstimatedSeconds(kind, e, cost));
  Plan(text);
  return problems ? kExitFailed : kExitOk;
}

} // namespace vk::cli
