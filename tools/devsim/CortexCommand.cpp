// vkdevsim cortex: the serial boot loader of a Cortex-M3 chip on a pseudo-terminal.

#include "devsim/CortexBootLoader.h"
#include "devsim/DeviceCommand.h"

#include <cstdio>

namespace vk::devsim {

namespace {

const char* const kHelp =
    "Usage: vkdevsim cortex [options]\n"
    "\n"
    "Simulates the serial boot loader of a Cortex-M3 chip on a pseudo-terminal: 0x7F\n"
    "synchronises, read commands (0x11 0xEE, address, length) are acknowledged with \"y\" and\n"
    "answered with the bytes read and their XOR. Prints \"PORT <path>\" on stdout; open that\n"
    "path as the serial port. Ends on SIGINT/SIGTERM and prints what the loader went through\n"
    "on stderr.\n"
    "\n"
    "Loader options:\n"
    "  --baud N             the loader's bit rate (default 115200); bytes at any other rate\n"
    "                       are lost\n"
    "  --memory-size N      bytes of memory (default 0x20000), mapped at 0 and 0x08000000\n"
    "  --not-blank-from A   memory holds a program from the 256-byte block at A on\n"
    "                       (default: all blank, 0xFF)\n"
    "  --data-delay-ms N    pause between the \"y\" to the length and the data (default 100;\n"
    "                       the host drops data that arrives together with the \"y\")\n"
    "  --fault RULE         scripted fault, repeatable:\n"
    "                         silent                   answer nothing at all\n"
    "                         command:NAME=ACTION      every step NAME: sync, read, address,\n"
    "                         command:NAME#K=ACTION    length (their \"y\"), data (the block);\n"
    "                         command:#K=ACTION        only the K-th; the K-th step of any kind\n"
    "                       ACTION: silent (no answer, the step is dropped), garbage (noise\n"
    "                       instead of \"y\"; for data: a wrong check byte), X, E, R (refused\n"
    "                       with 0x1F), hangup\n"
    "\n"
    "Even parity: a pseudo-terminal carries no parity, so the simulator does not ask for it.\n"
    "\n"
    "Common options:\n";

int Fail(const std::string& message) { return UsageError("cortex", message); }

} // namespace

int RunCortex(const std::vector<std::string>& argv) {
  ArgCursor args(argv);
  CortexConfig config;
  CommonOptions common;
  std::vector<std::string> faults;
  std::optional<std::uint32_t> notBlankFrom;
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
        return Fail("--baud takes a bit rate such as 115200");
      config.baud = static_cast<std::uint32_t>(n);
    } else if (args.Option("--memory-size", value, missing)) {
      if (missing || !ParseNumber(value, 0x1000000, n) || n < 256)
        return Fail("--memory-size takes a size from 256 to 0x1000000");
      config.memorySize = static_cast<std::uint32_t>(n);
    } else if (args.Option("--not-blank-from", value, missing)) {
      if (missing || !ParseNumber(value, 0xFFFFFFFF, n))
        return Fail("--not-blank-from takes an address, decimal or 0x hex");
      notBlankFrom = static_cast<std::uint32_t>(n);
    } else if (args.Option("--data-delay-ms", value, missing)) {
      if (missing || !ParseNumber(value, 60000, n))
        return Fail("--data-delay-ms takes a number of milliseconds");
      config.dataDelayMs = static_cast<Millis>(n);
    } else if (args.Option("--fault", value, missing)) {
      if (missing) return Fail("--fault needs a rule");
      if (!ParseFault(value, &error)) return Fail(error);
      faults.push_back(value);
    } else {
      return Fail("unknown option \"" + name + "\"");
    }
  }
  if (notBlankFrom && *notBlankFrom >= config.memorySize)
    return Fail("--not-blank-from lies outside the memory");

  CortexBootLoader loader(config);
  if (notBlankFrom) loader.SetNotBlankFrom(*notBlankFrom);
  for (const auto& rule : faults) loader.Faults().Add(rule);
  loader.SetHostBaud(config.baud, 0);
  return ServeOverPty(loader, common, "cortex");
}

} // namespace vk::devsim
