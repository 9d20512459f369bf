#include "cli/RunReport.h"

#include "cli/LinkSession.h"
#include "cli/OutputGuard.h"
#include "platform/Native.h"
#include "protocol/RunOutcome.h"

namespace vk::cli {

namespace {
const std::string& Guarded(const std::string& path, const std::string& port) {
  RefuseForeignOutput("--report", path, OutputKind::Report, port);
  return path;
}
} // namespace

RunReport::RunReport(const std::string& path, const std::string& port)
    : JsonLinesFile(Guarded(path, port)) {}

ProgramReport::ProgramReport(const std::string& path, const std::string& entry,
                             std::vector<std::string> files, const std::string& port)
    : entry_(entry), files_(std::move(files)), port_(port) {
  Guarded(path, port);
  sinks_.Add(std::make_unique<programmer::JsonLinesSink>(path));
}

void ProgramReport::SetImage(std::uint32_t crc32, std::uint32_t start, std::uint32_t end,
                             int digits) {
  crc32_ = crc32;
  start_ = start;
  end_ = end;
  digits_ = digits;
}

void ProgramReport::SetLink(const std::string& port, const std::string& device,
                            std::optional<int> canNode) {
  port_ = port;
  device_ = device;
  canNode_ = canNode;
}

void ProgramReport::NamePort(const std::string& portText) {
  try {
    const platform::NativeSettings store;
    const ReadOnlySettings settings(store);
    std::vector<std::string> problems; // said by the session that opens the port
    const PortChoice port = ResolvePort(portText, platform::NativePortMap(&settings, &problems));
    port_ = port.Name();
    device_ = port.device;
  } catch (const std::exception&) {
    port_ = portText; // the session says why it names no port
  }
}

void ProgramReport::Add(const Module& m) {
  done_.insert(m.address);
  programmer::RunRecord r;
  r.time = RunReport::UtcNow();
  r.host = RunReport::Host();
  r.command = command_;
  r.port = port_;
  r.device = device_;
  r.canNode = canNode_;
  r.address = m.address;
  r.detectedType = m.detectedType;
  r.entry = entry_;
  r.files = files_;
  // The image's CRC-32 and range only where this module's run covered them whole: a check, an
  // erase or a failure wrote or compared something else, or nothing.
  if (crc32_ && (m.result == "programmed" || m.result == "same" || m.result == "read"))
    r.image = programmer::RunRecord::Image{*crc32_, start_, end_, digits_};
  r.bytes = m.bytes;
  r.result = m.result;
  r.reason = m.reason;
  r.seconds = m.seconds;
  r.bitRate = m.bitRate;
  r.verified = m.verified;
  r.checkedRange = m.checkedRange;
  r.warning = warning_;
  sinks_.Take(r);
}

void ProgramReport::FailTheRest(const std::vector<int>& modules, const std::string& reason) {
  for (const int address : modules)
    if (!Has(address)) {
      Module m;
      m.address = address;
      m.result = "failed";
      m.reason = reason;
      Add(m);
    }
}

} // namespace vk::cli
