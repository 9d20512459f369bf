#include "app/WindowReport.h"

#include "app/BufferView.h"
#include "image/crc32.h"
#include "link/PortEntry.h"
#include "programmer/JsonLinesReport.h"
#include "protocol/Catalogue.h"
#include "protocol/ImagePrep.h"
#include "protocol/ProtocolKinds.h"

#include <fstream>
#include <stdexcept>
#include <vector>

namespace vk::app {

using programmer::RunResult;

void WindowReport::Open(const std::string& path) {
  if (path.empty()) {
    sinks.Clear();
  } else {
    // Lines appended to a file of another kind (a firmware file chosen by mistake) would spoil
    // it: only a new or empty file, or a report already, is taken.
    std::ifstream in(path);
    std::string first;
    if (in && std::getline(in, first) && !programmer::IsReportLine(first))
      throw std::runtime_error(path + " exists and is not a run report; lines would be appended to "
                                      "it");
    auto file = std::make_unique<programmer::JsonLinesSink>(path); // throws before any change
    sinks.Clear();
    sinks.Add(std::move(file));
  }
  path_ = path;
}

void WindowReport::Record(const programmer::RunOutcome& o, int detectedType) {
  if (sinks.Empty()) return;
  const auto& node = prg_.Node();
  const auto& entry = programmer::Catalogue()[static_cast<std::size_t>(node.Index)];
  programmer::RunRecord r;
  r.time = programmer::JsonLinesFile::UtcNow();
  r.host = programmer::JsonLinesFile::Host();
  switch (prg_.Cpu().Purpose()) {
  case programmer::RunPurpose::Read:
    r.command = "read";
    break;
  case programmer::RunPurpose::Compare:
    r.command = "verify";
    break;
  case programmer::RunPurpose::Identify:
    r.command = "identify";
    break;
  default:
    r.command = prg_.ErasingOnly() ? "erase" : "program";
    break;
  }
  const bool overCan = programmer::KindOf(node.CpuKind).NeedsCan();
  r.port =
      link::PortEntryName(overCan ? link::LinkKind::Can : link::LinkKind::Serial, comm_.PortNo());
  if (!overCan) r.device = ports_.DeviceOf(comm_.PortNo());
  r.address = o.module;
  if (detectedType && node.CpuKind == programmer::kKindBackplane) r.detectedType = detectedType;
  r.entry = o.entry;
  if (Files) r.files = Files();
  const bool failed = o.result == RunResult::Failed;
  // The image as the run wrote it (jump table and checksum word in place, on a copy), read or
  // compared: its CRC-32 and range where the run covered it whole, as vkprog gives them.
  std::uint32_t written = o.bytesWritten;
  if (!image_.IsEmpty() && (o.result == RunResult::Programmed || o.result == RunResult::Same ||
                            o.result == RunResult::Read)) {
    std::vector<std::uint8_t> copy(image_.Image(), image_.Image() + programmer::kImageSize);
    // A read or a compare covers the image as it stands; only a write adds to it.
    const auto prepared =
        o.result == RunResult::Programmed
            ? programmer::PrepareForTarget(copy.data(), image_.MemStart(), image_.MemEnd(), entry,
                                           image_.Window())
            : programmer::PreparedImage{image_.MemStart(), image_.MemEnd(), false, {}, {}};
    const auto regionStart = static_cast<std::uint32_t>(entry.RegionStart);
    const bool full = regionStart >= programmer::kImageSize;
    const std::uint32_t base =
        full ? programmer::PlacementBase(image_.Window(), regionStart) : image_.Window();
    if (prepared.end > prepared.start) {
      r.image = programmer::RunRecord::Image{
          image::TCRC32().StandardCrc(copy.data() + prepared.start, prepared.end - prepared.start),
          base + prepared.start, base + prepared.end, full ? 8 : 4};
      written = prepared.end - prepared.start;
    }
  }
  r.bytes = o.result == RunResult::Programmed || failed                  ? written
            : o.result == RunResult::Read || o.result == RunResult::Same ? o.bytesVerified
                                                                         : 0;
  r.result = programmer::ResultWord(o.result);
  r.reason = failed ? programmer::FailureText(o) : "";
  const platform::Millis now = loop_.Now();
  r.seconds = static_cast<double>(now - mark_) / 1000;
  mark_ = now;
  if (!overCan) r.bitRate = o.bitRate;
  r.verified = o.verified;
  r.checkedRange = o.checkedRange;
  if (const std::string& cut = image_.FileWithoutEndRecord(); !cut.empty())
    r.warning = BareFileName(cut) + ": " + image::msg::kNoEndRecord;
  sinks.Take(r);
}

} // namespace vk::app
