// vkdevsim cortex: the serial boot loader of a Cortex-M3 chip on a pseudo-terminal.

#include "devsim/CortexBootLoader.h"
#include "devsim/DeviceCommand.h"

namespace vk::devsim {

namespace {

const char* const kHelp =
    "Usage: vkdevsim cortex [options]\n"
    "\n"
    "Simulates the serial boot loader of a Cortex-M3 chip on a pseudo-terminal: 0x7F\n"
    "synchronises, read commands (0x11 0xEE, address, length) are acknowledged with \"y\" and\n"
    "answered with the bytes read and their XOR (only the bytes with --no-check-byte).\n"
    "Prints \"PORT <path>\" on stdout; open that path as the serial port. Ends on\n"
    "SIGINT/SIGTERM and prints what the loader went through on stderr.\n"
    "\n"
    "Loader options:\n"
    "  --baud N             the loader's bit rate (default 115200); bytes at any other rate\n"
    "                       are lost\n"
    "  --memory-size N      bytes of memory (default 0x20000), mapped at 0 and 0x08000000\n"
    "  --not-blank-from A   memory holds a program from the 256-byte block at A on\n"
    "                       (default: all blank, 0xFF)\n"
    "  --data-delay-ms N    pause between the \"y\" to the length and the data (default 0:\n"
    "                       back to back, as a real loader answers)\n"
    "  --no-check-byte      send the bytes read without their XOR, as ST's ROM boot loader\n"
    "                       does (application note AN3155, Read Memory)\n"
    "  --fault RULE         scripted fault, repeatable:\n"
    "                         silent                   answer nothing at all\n"
    "                         command:NAME=ACTION      every step NAME: sync, read, address,\n"
    "                         command:NAME#K=ACTION    length (their \"y\"), data (the block);\n"
    "                         command:#K=ACTION        only the K-th; the K-th step of any kind\n"
    "                       ACTION: silent (no answer, the step is dropped), garbage (noise\n"
    "                       instead of \"y\"; for data: a wrong check byte, or its first\n"
    "                       byte spoilt with --no-check-byte), X, E, R (refused with\n"
    "                       0x1F), hangup\n"
    "\n"
    "Even parity: a pseudo-terminal carries no parity, so the simulator does not ask for it.\n"
    "\n"
    "Common options:\n";

} // namespace

int RunCortex(const std::vector<std::string>& argv) {
  CortexConfig config;
  CommonOptions common;
  std::vector<std::string> faults;
  std::optional<std::uint32_t> notBlankFrom;
  const auto own = [&](OptionReader& args) {
    return args.Number("--baud", 1, 4000000, config.baud,
                       "--baud takes a bit rate such as 115200") ||
           args.Number("--memory-size", 256, 0x1000000, config.memorySize,
                       "--memory-size takes a size from 256 to 0x1000000") ||
           args.Number("--not-blank-from", 0, 0xFFFFFFFF, notBlankFrom,
                       "--not-blank-from takes an address, decimal or 0x hex") ||
           args.Milliseconds("--data-delay-ms", config.dataDelayMs, 60000) ||
           args.Set("--no-check-byte", config.checkByte, false) || args.Fault(faults);
  };
  if (const auto end = ReadOptions(argv, "cortex", kHelp, &common, own)) return *end;
  if (notBlankFrom && *notBlankFrom >= config.memorySize)
    return UsageError("cortex", "--not-blank-from lies outside the memory");

  CortexBootLoader loader(config);
  if (notBlankFrom) loader.SetNotBlankFrom(*notBlankFrom);
  for (const auto& rule : faults) loader.Faults().Add(rule);
  loader.SetHostBaud(config.baud, 0);
  return ServeOverPty(loader, common, "cortex");
}

} // namespace vk::devsim
