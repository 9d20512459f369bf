#pragma once
// vkprog program --dry-run: everything a run checks before its first byte, then the plan it
// would carry out, with nothing sent:
//
//   plan: entry QRD14 (type 136, backplane module, region 1000-7FFF)
//   plan: port COM24 (/dev/ttyUSB7) at 115200 bit/s
//   plan: modules 7
//   plan: files qrd14.vkf (container, targets 88000000)
//   plan: image 0F80-2002, 4226 bytes in 34 records of up to 128 bytes
//   plan: erase "erase1" (flash below C000)
//   plan: wire time about 0.8 s per module at 115200 bit/s
//   plan: run time about 3.3 s per module (the wire and the waits)
//
// A problem that would stop the run is said on stderr as "vkprog: program: dry run: ...".

#include "cli/InputFiles.h"
#include "cli/LinkSession.h"
#include "protocol/Catalogue.h"
#include "protocol/ImagePrep.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vk::cli {

struct DryRunRequest {
  const programmer::CatalogueEntry* entry = nullptr;
  std::vector<int> modules;
  const InputFiles* files = nullptr;
  PortChoice port;
  LinkOptions link;
  bool allowUntyped = false;
  bool yes = false;
  bool eraseOnly = false;
};

// The image a run writes, loaded from the files in order: for a backplane module with the jump
// table and the checksum word the run adds, for another entry whose run appends checksum words
// with them; otherwise, or when the run refuses it, the loaded range as it is.
struct ImageToWrite {
  std::uint32_t start = 0, end = 0;             // [start, end)
  std::uint32_t loadedStart = 0, loadedEnd = 0; // as the files hold it
  std::uint32_t window = 0; // the full address of the 64 KiB window the addresses above lie in
  std::uint32_t base = 0;   // where the run puts them: the window, or PlacementBase's place
  std::uint32_t crc32 = 0;  // the ordinary CRC-32 of those bytes
  std::string files;        // "a.hex (Intel HEX), b.vkf (container, targets ...)"
  std::vector<std::string> loadedFiles; // the files the image holds: a container and those after
  bool typed = false;                   // a container target names the entry's type
  bool empty = true;
  std::string unendedFile;          // a file that stopped without its end record, or ""
  programmer::ImageRefusal refusal; // what the run refuses before its erase
  std::string warning; // what the run would leave unsure (a partial erase under the checksum)
};
ImageToWrite LoadImageToWrite(const InputFiles& files, const programmer::CatalogueEntry& entry);

// Prints the plan on stdout; returns the exit code (0: the run could start, 1: it could not).
int DryRun(const DryRunRequest& request);

} // namespace vk::cli
