#include "cli/ProgramRequest.h"

#include "cli/Args.h"
#include "cli/Commands.h"
#include "cli/InputFiles.h"
#include "cli/TargetName.h"
#include "platform/Native.h"
#include "protocol/ProtocolKinds.h"

#include <tuple>

namespace vk::cli {

namespace {

ModuleRange ParseRange(const std::string& text) {
  const auto dash = text.find('-');
  if (dash == std::string::npos || dash == 0 || dash + 1 == text.size())
    throw UsageError("--range: \"" + text + "\" is not FIRST-LAST (e.g. 7-12)");
  ModuleRange r;
  r.first = static_cast<int>(ParseNumber(text.substr(0, dash), "--range", 255));
  r.last = static_cast<int>(ParseNumber(text.substr(dash + 1), "--range", 255));
  // MultiProgram would program the last module alone: surely not what was meant.
  if (r.first > r.last)
    throw UsageError("--range: the first address " + std::to_string(r.first) +
                     " lies above the last " + std::to_string(r.last));
  return r;
}

// What a refused option is offered for, in the catalogue's words, so that the message follows
// the tables. The entries that offer MultiProgram: "QRD14 modules (type 136)".
std::string MultiProgramModules() {
  std::string names, types;
  for (const auto& e : programmer::Catalogue()) {
    if (!e.MultiProgram) continue;
    names += (names.empty() ? "" : ", ") + std::string(e.Name);
    types += (types.empty() ? "" : ", ") + std::to_string(e.TypeCode);
  }
  return names + " modules (type " + types + ")";
}

// What Erase is offered for: "backplane modules, AT89C51RD2, Cortex-M3 Flash" (the kinds with the
// unit's erase, and the entries whose boot loader erases its chip).
std::string EraseKinds() {
  std::string words;
  const auto add = [&](const std::string& w) { words += (words.empty() ? "" : ", ") + w; };
  for (const auto& kind : programmer::ProtocolKinds())
    if (kind.EraseOffered) add(std::string(kind.Name) + "s");
  for (const auto& e : programmer::Catalogue())
    if (!programmer::KindOf(e.CpuKind).ChipEraseWords.empty()) add(std::string(e.Name));
  return words;
}

// The entries reached over CAN: "\"QX4T - PCAN\"".
// The catalogue entries whose kind has the fact, quoted: "QX4T - PCAN".
std::string EntriesWhose(bool (*fact)(const programmer::ProtocolKind&)) {
  std::string names;
  for (const auto& e : programmer::Catalogue())
    if (fact(programmer::KindOf(e.CpuKind)))
      names += (names.empty() ? "\"" : ", \"") + std::string(e.Name) + "\"";
  return names;
}
std::string CanEntries() {
  return EntriesWhose([](const programmer::ProtocolKind& k) { return k.NeedsCan(); });
}

} // namespace

ProgramRequest ReadProgramRequest(const std::vector<std::string>& argv) {
  auto valued = LinkValuedOptions();
  valued.insert({"target", "address", "range", "report", "binary-base"});
  auto flags = BootLoaderFlags();
  flags.insert({"allow-untyped", "yes", "erase-only", "quiet", "dry-run", "unprotect"});
  // --go alone starts the image; --go ADDR (0x...) starts there.
  Args args(argv, valued, flags, {"go"});
  ProgramRequest r;
  r.link = ReadLinkOptions(args, 300);
  const LinkOptions& link = r.link;

  const auto target = args.Value("target");
  if (!target) throw UsageError("--target is required (a name from vkprog targets)");
  r.entry = &ResolveTarget(*target);
  const programmer::CatalogueEntry* entry = r.entry;
  auto& address = r.address;
  if (auto a = args.Value("address")) address = static_cast<int>(ParseNumber(*a, "--address", 255));
  auto& range = r.range;
  if (auto text = args.Value("range")) range = ParseRange(*text);
  if (address && range) throw UsageError("--address and --range exclude each other");
  const bool eraseOnly = r.eraseOnly = args.Has("erase-only");
  // The buttons the window offers for the entry (a disabled button cannot be pressed).
  if (range && !entry->MultiProgram)
    throw UsageError("--range: MultiProgram is offered for " + MultiProgramModules() + " only");
  if (range && eraseOnly)
    throw UsageError("--erase-only erases one module; it does not go with --range");
  if (eraseOnly && !programmer::KindOf(entry->CpuKind).Erases())
    throw UsageError("--erase-only: Erase is offered for " + EraseKinds() + " only");
  if (ResolvesToCan(link.port) && !programmer::KindOf(entry->CpuKind).NeedsCan())
    throw UsageError("--port PCAN: " + std::string(entry->Name) +
                     " is not reached over CAN (only " + CanEntries() +
                     " is); give its serial port");
  r.go = args.Has("go");
  if (const auto at = args.Value("go"))
    r.goAddress = static_cast<std::uint32_t>(ParseNumber(*at, "--go", 0xFFFFFFFF));
  r.unprotect = args.Has("unprotect");
  using Fact = bool (*)(const programmer::ProtocolKind&);
  const Fact starts = [](const programmer::ProtocolKind& k) { return k.StartsProgram; };
  const Fact unprotects = [](const programmer::ProtocolKind& k) { return k.RemovesReadProtection; };
  for (const auto& [flag, asked, fact] :
       {std::tuple{"--go", r.go, starts}, std::tuple{"--unprotect", r.unprotect, unprotects}})
    if (asked && !fact(programmer::KindOf(entry->CpuKind)))
      throw UsageError(std::string(flag) + " is offered for " + EntriesWhose(fact) + " only");
  if (link.direct && (entry->CpuKind == programmer::kKindBackplane ||
                      programmer::KindOf(entry->CpuKind).NeedsCan()))
    throw UsageError(
        "--direct: " + std::string(entry->Name) +
        " is not a boot loader on the port itself (it is reached through " +
        (programmer::KindOf(entry->CpuKind).NeedsCan() ? "CAN" : "the programmer unit") + ")");
  r.files = args.Positional();
  const auto& files = r.files;
  // An erase writes nothing: it needs no file.
  if (files.empty() && !eraseOnly) throw UsageError("name the firmware file(s) to program");
  r.binaryBase = ReadBinaryBase(args, files);
  if (args.Has("allow-untyped")) {
    // The window offers the check box only where the setting exists; the machine-wide value,
    // where there is one, is the machine's policy.
    const platform::NativeSettings store;
    const char* const setting = "AllowUntypedProgram";
    const auto value = store.Read(setting);
#if VK_WITH_QT
    const std::string places = "in neither the machine-wide settings (" + store.MachinePlace() +
                               ") nor the user's (" + store.Place() + ")";
#else
    const std::string places = "not in the settings (" + store.Place() + ")";
#endif
    if (!value || value->empty())
      throw UsageError(std::string("--allow-untyped: untyped programming is not offered here: the "
                                   "setting \"") +
                       setting + "\" is " + places);
#if VK_WITH_QT
    // The machine withholds it: the window shows the box unticked and fixed.
    if (store.DecidedByMachine(setting) && *value != "True")
      throw UsageError(std::string("--allow-untyped: untyped programming is withheld on this "
                                   "machine: the machine-wide setting \"") +
                       setting + "\" is \"" + *value + "\" (" + store.MachinePlace() + ")");
#endif
  }
  if (args.Has("yes") && !args.Has("allow-untyped"))
    Error("program: warning: --yes answers only the question --allow-untyped asks; alone it "
          "changes nothing");

  if (range)
    for (int m = range->first; m <= range->last; ++m) r.modules.push_back(m);
  else
    r.modules.push_back(address.value_or(entry->DefaultAddress));

  // An output onto a firmware file would destroy it before it is read by anyone.
  if (link.trace) InputFiles::RefuseAsOutput("--trace", *link.trace, files);
  r.report = args.Value("report");
  const auto& reportPath = r.report;
  if (reportPath) {
    if (reportPath->empty()) throw UsageError("--report needs a file name");
    InputFiles::RefuseAsOutput("--report", *reportPath, files);
    if (link.trace && SameFile(*link.trace, *reportPath))
      throw UsageError("--report and --trace name the same file");
  }
  r.dryRun = args.Has("dry-run");
  r.allowUntyped = args.Has("allow-untyped");
  r.yes = args.Has("yes");
  r.quiet = args.Has("quiet");
  return r;
}

} // namespace vk::cli
