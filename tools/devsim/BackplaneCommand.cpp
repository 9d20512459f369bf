// vkdevsim backplane: the backplane programmer unit on a pseudo-terminal.

#include "devsim/BackplaneUnit.h"
#include "devsim/DeviceCommand.h"

namespace vk::devsim {

namespace {

const char* const kHelp =
    "Usage: vkdevsim backplane [--module ADDR:TYPE]... [options]\n"
    "\n"
    "Simulates the backplane programmer unit on a pseudo-terminal. Prints \"PORT <path>\" on\n"
    "stdout; open that path as the serial port. Ends on SIGINT/SIGTERM and prints what each\n"
    "module received on stderr.\n"
    "\n"
    "Unit options:\n"
    "  --module ADDR:TYPE   a module of type code TYPE at backplane address ADDR (both 0..255,\n"
    "                       decimal or 0x hex), e.g. --module 7:136 or --module 7:0x88\n"
    "  --baud N             the unit's own bit rate (default 115200); after \"QV550274\" it\n"
    "                       listens at 115200 as well. Bytes at any other rate are lost.\n"
    "  --erase-ms N         erase1/erase2 take N ms before \"OK\" (default 1500)\n"
    "  --record-ms N        programming one record takes N ms before \".\" (default 0)\n"
    "  --absent-reply TEXT  answer \"OP n\" for an empty address with TEXT + CR LF\n"
    "                       (default: no answer)\n"
    "  --fault RULE         scripted fault, repeatable:\n"
    "                         silent                   answer nothing at all\n"
    "                         record:N=ACTION          the N-th data record (from 1, over the\n"
    "                         record:N-M=ACTION        whole session, repeats included)\n"
    "                         after-records:N=hangup   once record N is answered (or =silent)\n"
    "                         command:NAME=ACTION      every command NAME (OP, OP7, ID, erase1,\n"
    "                         command:NAME#K=ACTION    erase, L, G, QV550274); only the K-th;\n"
    "                         command:#K=ACTION        the K-th command of any kind\n"
    "                       ACTION: silent, X, E, R, garbage, hangup\n"
    "\n"
    "Common options:\n";

// --module ADDR:TYPE, one module per address.
bool TakeModule(OptionReader& args, std::vector<std::pair<std::uint8_t, std::uint8_t>>& modules) {
  std::string value;
  bool missing = false;
  if (!args.Option("--module", value, missing)) return false;
  const auto colon = value.find(':');
  std::uint64_t address = 0, type = 0;
  if (missing || colon == std::string::npos ||
      !ParseNumber(std::string_view(value).substr(0, colon), 255, address) ||
      !ParseNumber(std::string_view(value).substr(colon + 1), 255, type))
    return args.Fail("--module takes ADDR:TYPE with both 0..255, not \"" + value + "\"");
  for (const auto& m : modules) {
    if (m.first == address) return args.Fail("two modules at address " + std::to_string(address));
  }
  modules.emplace_back(static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(type));
  return true;
}

} // namespace

int RunBackplane(const std::vector<std::string>& argv) {
  BackplaneConfig config;
  CommonOptions common;
  std::vector<std::pair<std::uint8_t, std::uint8_t>> modules;
  std::vector<std::string> faults;
  const auto own = [&](OptionReader& args) {
    return TakeModule(args, modules) ||
           args.Number("--baud", 1, 4000000, config.baseBaud,
                       "--baud takes a bit rate such as 115200 or 9600") ||
           args.Milliseconds("--erase-ms", config.eraseMs) ||
           args.Milliseconds("--record-ms", config.recordMs) ||
           args.Text("--absent-reply", config.absentReply, "--absent-reply needs a text",
                     OptionReader::Empty::Allowed) ||
           args.Fault(faults);
  };
  if (const auto end = ReadOptions(argv, "backplane", kHelp, &common, own)) return *end;

  BackplaneUnit unit(config);
  for (const auto& [address, type] : modules) unit.AddModule(address, type);
  for (const auto& rule : faults) unit.Faults().Add(rule);
  // The host's line starts at the unit's own rate until the host sets another.
  unit.SetHostBaud(config.baseBaud, 0);
  return ServeOverPty(unit, common, "backplane");
}

} // namespace vk::devsim
