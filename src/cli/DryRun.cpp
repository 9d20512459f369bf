#include "cli/DryRun.h"

#include "app/BufferView.h"
#include "cli/Commands.h"
#include "cpu/Backplane.h"
#include "cpu/H8_3664.h"
#include "cpu/Kernels.h"
#include "image/FirmwareImage.h"
#include "platform/SerialDevice.h"
#include "programmer/CpuFactory.h"
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

  EstimateInput cost;
  cost.records = records;
  cost.bytes = bytes;
  cost.rate = kind.NeedsCan() ? CanRate(r) : ImageRate(r);
  cost.bootRate = e.BootBaud > 0 ? static_cast<std::uint32_t>(e.BootBaud) : 9600;
  cost.eraseOnly = r.eraseOnly;
  cost.direct = r.link.direct;
  const RunEstimate estimate = EstimateRun(e.CpuKind, cost);
  const bool nothingWritten = r.eraseOnly || !kind.WritesImage;
  const std::string rateWords =
      nothingWritten ? "nothing to write" : "at " + std::to_string(cost.rate) + " bit/s";
  char text[96];
  std::snprintf(text, sizeof text, "wire time about %.1f s per module %s",
                nothingWritten ? 0.0 : estimate.wireSeconds, rateWords.c_str());
  Plan(text);
  std::snprintf(text, sizeof text, "run time about %.1f s per module (the wire and the waits)",
                estimate.runSeconds);
  Plan(text);
  return problems ? kExitFailed : kExitOk;
}

} // namespace vk::cli
