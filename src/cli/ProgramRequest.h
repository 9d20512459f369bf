#pragma once
// vkprog program's request: its options read and checked as far as that is possible before a
// file is read or a port opened (the buttons the window would offer, the untyped policy, outputs
// that would destroy a firmware file).

#include "cli/LinkSession.h"
#include "protocol/Catalogue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vk::cli {

struct ModuleRange {
  int first = 0;
  int last = 0;
};

struct ProgramRequest {
  LinkOptions link;
  const programmer::CatalogueEntry* entry = nullptr;
  std::optional<int> address;
  std::optional<ModuleRange> range;
  bool eraseOnly = false;
  bool dryRun = false;
  bool allowUntyped = false;
  bool yes = false;
  bool quiet = false;
  bool go = false;                        // start the program after programming (targets that can)
  std::optional<std::uint32_t> goAddress; // --go ADDR: there; else the image's first address
  bool unprotect = false;                 // remove the chip's read protection, which erases it
  std::vector<std::string> files;
  std::optional<std::uint32_t> binaryBase; // --binary-base: the one file is raw binary, there
  std::optional<std::string> report;
  std::vector<int> modules; // the addresses, in the order they are worked on
};

// Throws UsageError.
ProgramRequest ReadProgramRequest(const std::vector<std::string>& argv);

} // namespace vk::cli
