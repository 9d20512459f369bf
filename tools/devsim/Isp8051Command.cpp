// vkdevsim isp8051: the boot loader of an 8051 flash microcontroller on a pseudo-terminal.

#include "devsim/DeviceCommand.h"
#include "devsim/Isp8051Loader.h"

#include <cstdio>

namespace vk::devsim {

namespace {

const char* const kHelp =
    "Usage: vkdevsim isp8051 [--variant at89|p89] [options]\n"
    "\n"
    "Simulates the in-system-programming boot loader of an 8051 flash microcontroller with\n"
    "64 KiB of erased flash on a pseudo-terminal. Prints \"PORT <path>\" on stdout; open that "
    "path\n"
    "as the serial port. Ends on SIGINT/SIGTERM and prints what the chip went through on stderr.\n"
    "\n"
    "Loader options:\n"
    "  --variant at89|p89   the AT89C51RX2 loader (AT89C51RD2; default) or the P89C51RX2 loader\n"
    "  --no-echo            do not echo received bytes (the chips echo them; \"U\" is always\n"
    "                       answered)\n"
    "  --record-ack dot|06  acknowledge data records with \".\" (default) or the byte 0x06\n"
    "  --erase-ms N         the full chip erase takes N ms before its \".\" (default 10)\n"
    "  --record-ms N        programming one record takes N ms before its answer (default 2)\n"
    "  --locked             the security bits are set: data records are refused (\"L\" on the\n"
    "                       AT89C51RX2, \"R\" on the P89C51RX2) until a full chip erase\n"
    "  --fault RULE         scripted fault, repeatable:\n"
    "                         silent                   answer nothing at all, not even the echo\n"
    "                         record:N=ACTION          the N-th data record (from 1, over the\n"
    "                         record:N-M=ACTION        whole session, repeats included)\n"
    "                         after-records:N=hangup   once record N is answered (or =silent)\n"
    "                         command:NAME=ACTION      every command NAME: SYNC (\"U\"), OSC,\n"
    "                         command:NAME#K=ACTION    ERASE, CLOSE, END; only the K-th;\n"
    "                         command:#K=ACTION        the K-th command of any kind\n"
    "                       ACTION: silent, X, R, L, E, garbage, hangup\n"
    "\n"
    "Common options:\n";

int Fail(const std::string& message) { return UsageError("isp8051", message); }

} // namespace

int RunIsp8051(const std::vector<std::string>& argv) {
  ArgCursor args(argv);
  Isp8051Config config;
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
    if (args.Flag("--no-echo")) {
      config.echo = false;
    } else if (args.Flag("--locked")) {
      config.locked = true;
    } else if (args.Option("--variant", value, missing)) {
      if (value == "at89")
        config.chip = Isp8051Chip::AT89C51RX2;
      else if (value == "p89")
        config.chip = Isp8051Chip::P89C51RX2;
      else
        return Fail("--variant takes at89 or p89");
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
    } else if (args.Option("--fault", value, missing)) {
      if (missing) return Fail("--fault needs a rule");
      Isp8051Loader probe;
      if (!probe.AddFault(value, &error)) return Fail(error);
      faults.push_back(value);
    } else {
      return Fail("unknown option \"" + name + "\"");
    }
  }

  Isp8051Loader loader(config);
  for (const auto& rule : faults) loader.AddFault(rule);
  return ServeOverPty(loader, common, "isp8051");
}

} // namespace vk::devsim
