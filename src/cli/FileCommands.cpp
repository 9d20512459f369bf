// vkprog's file commands: info, convert, dump, pack, targets.

#include "app/BufferView.h"
#include "app/UserMessages.h"
#include "cli/Args.h"
#include "cli/CliMessageBox.h"
#include "cli/Commands.h"
#include "image/Container.h"
#include "image/FirmwareImage.h"
#include "image/RawBinary.h"
#include "image/TextFile.h"
#include "protocol/Catalogue.h"
#include "protocol/ImagePrep.h"
#include "protocol/ProtocolKinds.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace vk::cli {

using image::FirmwareImage;
using image::ImageFormat;

namespace {

struct LoadOutcome {
  ImageFormat last = ImageFormat::Unknown;
  bool allRecognised = true;
};

// Loads the files in order into one image, as files named on the window's command line are.
LoadOutcome LoadFiles(FirmwareImage& vkf, CliMessageBox& boxes,
                      const std::vector<std::string>& files, app::BufferPageText& page) {
  LoadOutcome out;
  for (const auto& given : files) {
#ifdef _WIN32
    const std::string& f = given;
#else
    // "-": standard input, as the link commands take it.
    const std::string f = given == "-" ? "/dev/stdin" : given;
#endif
    const image::LoadResult loaded = app::LoadAndShow(vkf, f, page);
    app::ShowMessages(boxes, loaded.messages);
    out.last = loaded.format;
    if (out.last == ImageFormat::Unknown) {
      out.allRecognised = false;
      // An empty file is silently unknown to the image; say why here.
      if (loaded.messages.empty()) Error(f + ": the file is empty or could not be read");
    }
  }
  return out;
}

bool EndsWithHex(const std::string& name) { return image::NameEndsWith(name, "hex"); }

std::vector<std::uint8_t> ReadWholeFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) throw std::runtime_error(name + ": " + std::strerror(errno));
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error(name + ": read error");
  return bytes;
}

} // namespace

int RunInfo(const std::vector<std::string>& argv) {
  Args args(argv, {}, {});
  if (args.Positional().empty()) throw UsageError("no FILE given");
  CliMessageBox boxes;
  FirmwareImage vkf;
  app::BufferPageText page;
  const LoadOutcome outcome = LoadFiles(vkf, boxes, args.Positional(), page);
  std::printf("%s\n", page.source.c_str());
  for (const auto& line : page.info) std::printf("%s\n", line.c_str());
  std::printf("%s\n", page.range.c_str());
  return outcome.last == ImageFormat::Unknown ? kExitFailed : kExitOk;
}

int RunConvert(const std::vector<std::string>& argv) {
  Args args(argv, {"target"}, {});
  const auto& pos = args.Positional();
  if (pos.size() < 2) throw UsageError("needs at least one FILE and the OUT file");
  const programmer::CatalogueEntry* entry = nullptr;
  if (auto name = args.Value("target")) {
    entry = programmer::FindEntryByName(*name);
    if (!entry) throw UsageError("unknown target \"" + *name + "\" (see vkprog targets)");
    if (entry->CpuKind == programmer::kKindGroup)
      throw UsageError("\"" + *name + "\" is a group of targets, not a target");
  }
  const std::vector<std::string> inputs(pos.begin(), pos.end() - 1);
  const std::string& out = pos.back();

  CliMessageBox boxes;
  auto vkf = std::make_unique<FirmwareImage>();
  app::BufferPageText page;
  if (!LoadFiles(*vkf, boxes, inputs, page).allRecognised) {
    Error("convert: nothing written, an input was not recognised");
    return kExitFailed;
  }

  std::uint32_t start = vkf->MemStart();
  std::uint32_t end = vkf->MemEnd();
  if (entry && !vkf->IsEmpty()) {
    const auto prepared =
        programmer::PrepareForTarget(vkf->Image(), start, end, *entry, vkf->Window());
    // What a run of the target would refuse is not written for it either.
    if (prepared.refusal) {
      Error("convert: " + prepared.refusal.text);
      return kExitFailed;
    }
    if (prepared.checksum == programmer::ChecksumResult::NoRoom)
      Error("convert: warning: no checksum word appended, " +
            programmer::NoRoomForChecksumText(*entry, 1));
    else if (prepared.checksum == programmer::ChecksumResult::RegionOutside)
      Error("convert: warning: no checksum word appended, the region of \"" +
            std::string(entry->Name) + "\" lies outside the 64 KiB image");
    start = prepared.start;
    end = prepared.end;
  }
  if (out == "-") {
    // Standard output, where convert writes nothing else: S-records, as for any name.
    const std::string text = vkf->SRecordText(start, end);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
      throw std::runtime_error(std::string("standard output: ") + std::strerror(errno));
  } else if (image::NamesRawBinary(out))
    image::SaveRawBinary(out, vkf->Image(), start, end);
  else if (EndsWithHex(out))
    vkf->SaveIntelHex(out, start, end);
  else
    vkf->SaveSRecords(out, start, end);
  return kExitOk;
}

int RunDump(const std::vector<std::string>& argv) {
  Args args(argv, {}, {});
  if (args.Positional().empty()) throw UsageError("no FILE given");
  CliMessageBox boxes;
  auto vkf = std::make_unique<FirmwareImage>();
  app::BufferPageText page;
  const LoadOutcome outcome = LoadFiles(*vkf, boxes, args.Positional(), page);
  const std::string listing = app::Listing(vkf->Image());
  std::fwrite(listing.data(), 1, listing.size(), stdout);
  return outcome.last == ImageFormat::Unknown ? kExitFailed : kExitOk;
}

int RunPack(const std::vector<std::string>& argv) {
  Args args(argv, {"body", "targets", "message", "version", "edition"}, {});
  const auto& pos = args.Positional();
  if (pos.size() != 1) throw UsageError("needs exactly one OUT file");
  const auto bodyName = args.Value("body");
  if (!bodyName) throw UsageError("--body FILE is required");
  const auto targetsText = args.Value("targets");
  if (!targetsText) throw UsageError("--targets WORD[,WORD...] is required");

  image::ContainerContent content;
  if (!targetsText->empty()) {
    std::size_t from = 0;
    for (;;) {
      const auto comma = targetsText->find(',', from);
      const std::string word = targetsText->substr(from, comma - from);
      content.targets.push_back(
          static_cast<std::uint32_t>(ParseHex(word, "--targets", 0xFFFFFFFFull)));
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
  }
  if (auto m = args.Value("message")) content.message = *m;
  if (auto v = args.Value("version"))
    content.version = static_cast<std::uint32_t>(ParseNumber(*v, "--version", 0xFFFFFFFFull));
  if (auto e = args.Value("edition"))
    content.edition = static_cast<std::uint16_t>(ParseNumber(*e, "--edition", 0xFFFF));

  content.body = ReadWholeFile(*bodyName);
  // The body's kind is read from its content, exactly as the loader will read it.
  auto probe = std::make_unique<FirmwareImage>();
  switch (probe->LoadFromMemory(*bodyName, content.body.data(), content.body.size())) {
  case ImageFormat::IntelHex:
    content.bodyFormat = 1;
    break;
  case ImageFormat::SRecord:
    content.bodyFormat = 2;
    break;
  default:
    Error("pack: " + *bodyName + ": the body is neither Intel HEX nor S-records");
    return kExitFailed;
  }
  std::vector<std::uint8_t> bytes;
  try {
    bytes = image::BuildContainer(content);
  } catch (const std::invalid_argument& e) {
    Error(std::string("pack: ") + e.what());
    return kExitFailed;
  }
  image::WriteTextFile(pos[0], std::string(bytes.begin(), bytes.end()));
  return kExitOk;
}

namespace {
std::string PadRight(const std::string& text, std::size_t width) {
  return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
}
} // namespace

int RunTargets(const std::vector<std::string>& argv) {
  Args args(argv, {}, {});
  if (!args.Positional().empty()) throw UsageError("takes no arguments");
  // The columns are as wide as their longest entry, so that they line up whatever the
  // catalogue holds.
  struct Row {
    std::string name, type, kind, region, extra;
  };
  std::vector<Row> rows;
  std::size_t nameWidth = 0, typeWidth = 0, kindWidth = 0, regionWidth = 0;
  for (const auto& e : programmer::Catalogue()) {
    Row r;
    r.name = std::string(static_cast<std::size_t>(2 * (e.Level - 1)), ' ') + std::string(e.Name);
    r.type = e.TypeCode ? std::to_string(e.TypeCode) : std::string("-");
    r.kind = programmer::KindOf(e.CpuKind).Name;
    char region[40];
    std::snprintf(region, sizeof region, "%05X-%05X", static_cast<unsigned>(e.RegionStart),
                  static_cast<unsigned>(e.RegionEnd));
    r.region = region;
    if (e.JumpTable) r.extra += "  jump table";
    if (e.KernelNo)
      r.extra += std::string("  kernel kernel") + static_cast<char>('A' + e.KernelNo - 1) + ".a20";
    nameWidth = std::max(nameWidth, r.name.size());
    typeWidth = std::max(typeWidth, r.type.size());
    kindWidth = std::max(kindWidth, r.kind.size());
    regionWidth = std::max(regionWidth, r.region.size());
    rows.push_back(r);
  }
  for (const auto& r : rows) {
    const std::string line = PadRight(r.name, nameWidth) + "  type " + PadRight(r.type, typeWidth) +
                             "  " + PadRight(r.kind, kindWidth) + "  region " +
                             (r.extra.empty() ? r.region : PadRight(r.region, regionWidth)) +
                             r.extra;
    std::printf("%s\n", line.c_str());
  }
  return kExitOk;
}

} // namespace vk::cli
