// vkdevsim qx4t-boot: the QX4T controller's serial boot loader on a pseudo-terminal.

#include "devsim/DeviceCommand.h"
#include "devsim/Qx4tBootLoader.h"

#include <cstdio>

namespace vk::devsim {

namespace {

const char* const kHelp =
    "Usage: vkdevsim qx4t-boot [options]\n"
    "\n"
    "Simulates the serial boot loader of the QX4T controller (64 KiB of flash, the loader at\n"
    "0xE000-0xFFFF) on a pseudo-terminal. Prints \"PORT <path>\" on stdout; open that path as\n"
    "the serial port. Ends on SIGINT/SIGTERM and prints what the controller went through on\n"
    "stderr.\n"
    "\n"
    "Loader options:\n"
    "  --baud N             the loader's bit rate (default 57600); bytes at any other rate are\n"
    "                       lost\n"
    "  --record-ack dot|06  acknowledge records with \".\" (default) or the byte 0x06\n"
    "  --erase-ms N         \"BM\" erases the application area in N ms before its \"OK\"\n"
    "                       (default 20)\n"
    "  --record-ms N        programming one record takes N ms before its answer (default 2)\n"
    "  --app-end ADDR       last address of the application area (default 0xDFFF); records\n"
    "                       above it are refused with \"R\"\n"
    "  --fault RULE         scripted fault, repeatable:\n"
    "                         silent                   no controller: nothing answers\n"
    "                         record:N=ACTION          the N-th data record (from 1, over the\n"
    "                         record:N-M=ACTION        whole session, repeats included)\n"
    "                         after-records:N=hangup   once record N is answered (or =silent)\n"
    "                         command:NAME=ACTION      every command NAME: BM, GN, END (the end\n"
    "                         command:NAME#K=ACTION    record); only the K-th;\n"
    "                         command:#K=ACTION        the K-th command of any kind\n"
    "                       ACTION: silent, X, E, R, garbage, hangup\n"
    "\n"
    "Common options:\n";

int Fail(const std::string& message) { return UsageError("qx4t-boot", message); }

} // namespace

int RunQx4tBoot(const std::vector<std::string>& argv) {
  ArgCursor args(argv);
  Qx4tBootConfig config;
  CommonOptions common;
  std::vector<std::string> faults;
  while (!args.Done()) {
    if (args.Flag("--help") || args.Flag("-h")) {
      std::fputs(kHelp, stdout);
      std::fputs(kCommonOptionsHelp, stdout);
      return 0;
    }
    std::string error;
    switch (TakeCommonOption(args, common, error)) {
    case OptionResult::Taken:
      continue;
    case OptionResult::Bad:
      return Fail(error);
    case OptionResult::NotMine:
      break;
    }
    const std::string name = args.Current();
    std::string value;
    bool missing = false;
    std::uint64_t n = 0;
    if (args.Option("--baud", value, missing)) {
      if (missing || !ParseNumber(value, 4000000, n) || n == 0)
        return Fail("--baud takes a bit rate such as 57600");
      config.baud = static_cast<std::uint32_t>(n);
    } else if (args.Option("--record-ack", value, missing)) {
      if (value == "dot")
        config.recordAck = '.';
      else if (value == "06")
        config.recordAck = '\x06';
      else
        return Fail("--record-ack takes dot or 06");
    } else if (args.Option("--erase-ms", value, missing)) {
      if (missing || !ParseNumber(value, 3600000, n))
        return Fail("--erase-ms takes a number of milliseconds");
      config.eraseMs = static_cast<Millis>(n);
    } else if (args.Option("--record-ms", value, missing)) {
      if (missing || !ParseNumber(value, 3600000, n))
        return Fail("--record-ms takes a number of milliseconds");
      config.recordMs = static_cast<Millis>(n);
    } else if (args.Option("--app-end", value, missing)) {
      if (missing || !ParseNumber(value, 0xFFFF, n))
        return Fail("--app-end takes an address up to 0xFFFF");
      config.appEnd = static_cast<std::uint32_t>(n);
    } else if (args.Option("--fault", value, missing)) {
      if (missing) return Fail("--fault needs a rule");
      if (!ParseFault(value, &error)) return Fail(error);
      faults.push_back(value);
    } else {
      return Fail("unknown option \"" + name + "\"");
    }
  }

  Qx4tBootLoader loader(config);
  for (const auto& rule : faults) loader.AddFault(rule);
  // The terminal starts at the loader's rate until the host sets another.
  loader.SetHostBaud(config.baud, 0);
  return ServeOverPty(loader, common, "qx4t-boot");
}

} // namespace vk::devsim
