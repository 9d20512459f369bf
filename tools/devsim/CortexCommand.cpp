// vkdevsim cortex: the serial boot loader of a Cortex-M3 chip on a pseudo-terminal.

#include "devsim/CortexBootLoader.h"
#include "devsim/DeviceCommand.h"

namespace vk::devsim {

namespace {

const char* const kHelp =
    "Usage: vkdevsim cortex [options]\n"
    "\n"
    "Simulates the serial boot loader of a Cortex-M3 chip (an STM32, ST's application note\n"
    "AN3155) on a pseudo-terminal: 0x7F synchronises; Get, Get Version, Get ID, Read Memory,\n"
    "Write Memory, Erase or Extended Erase, Go, Readout Protect and Unprotect are served and\n"
    "acknowledged with \"y\" (0x79), refused with 0x1F. Reads are answered with the bytes\n"
    "read and their XOR (only the bytes with --no-check-byte, as ST's loader). An address\n"
    "is taken with the XOR of its four bytes, in the flash at 0x08000000 (and the flash\n"
    "size register in system memory) only: any other check byte or address is refused.\n"
    "Flash is programmed as flash is: a write only clears bits. As a chip on a bare\n"
    "adapter, the loader takes its bit rate from the first byte it gets: any first byte\n"
    "but 0x7F (the \"O\" of a programmer unit's \"OP n\") leaves it deaf until a restart.\n"
    "Prints \"PORT <path>\" on stdout; open that path as the serial port. Ends on\n"
    "SIGINT/SIGTERM and prints what the loader went through on stderr.\n"
    "\n"
    "Loader options:\n"
    "  --baud N             the loader's bit rate (default 115200); bytes at any other rate\n"
    "                       are lost\n"
    "  --memory-size N      bytes of flash (default 0x20000), at 0x08000000\n"
    "  --not-blank-from A   the flash holds a program from the 256-byte block at A on\n"
    "                       (0x08000000 + offset, or the offset; default: all blank, 0xFF)\n"
    "  --data-delay-ms N    pause between the \"y\" to the length and the data (default 0:\n"
    "                       back to back, as a real loader answers)\n"
    "  --no-check-byte      send the bytes read without their XOR, as ST's ROM boot loader\n"
    "                       does (application note AN3155, Read Memory)\n"
    "  --pid N              the product ID Get ID answers (default 0x410, an STM32F10x\n"
    "                       medium-density: pages of 1 KiB; 0x414, 0x418, 0x428, 0x430:\n"
    "                       2 KiB; 0x416: 256 bytes)\n"
    "  --erase-command 43|44  the erase command offered (default 43, Erase; 44: Extended\n"
    "                       Erase); the other one is refused\n"
    "  --read-protected     read protection active: Read, Write, Erase and Go are refused\n"
    "                       until Readout Unprotect (0x92) erases the flash\n"
    "  --stuck-bit A        bit 0 of the byte at A (0x08000000 + offset, or the offset)\n"
    "                       never clears\n"
    "  --fault RULE         scripted fault, repeatable:\n"
    "                         silent                   answer nothing at all\n"
    "                         command:NAME=ACTION      every step NAME: sync, get, getversion,\n"
    "                         command:NAME#K=ACTION    getid, read, write, erase, go, protect,\n"
    "                                                  unprotect (the command's \"y\"),\n"
    "                                                  address, length, written, erased (their\n"
    "                                                  \"y\"), data (the block read);\n"
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
  std::optional<std::uint32_t> stuckBit;
  const auto own = [&](OptionReader& args) {
    return args.Number("--baud", 1, 4000000, config.baud,
                       "--baud takes a bit rate such as 115200") ||
           args.Number("--memory-size", 256, 0x1000000, config.memorySize,
                       "--memory-size takes a size from 256 to 0x1000000") ||
           args.Number("--not-blank-from", 0, 0xFFFFFFFF, notBlankFrom,
                       "--not-blank-from takes an address, decimal or 0x hex") ||
           args.Milliseconds("--data-delay-ms", config.dataDelayMs, 60000) ||
           args.Set("--no-check-byte", config.checkByte, false) ||
           args.Number("--pid", 0, 0xFFFF, config.productId,
                       "--pid takes a product ID such as 0x410") ||
           args.Choice<std::uint8_t>("--erase-command", {{"43", 0x43}, {"44", 0x44}},
                                     config.eraseCommand, "--erase-command takes 43 or 44") ||
           args.Set("--read-protected", config.readProtected, true) ||
           args.Number("--stuck-bit", 0, 0xFFFFFFFF, stuckBit,
                       "--stuck-bit takes an address, decimal or 0x hex") ||
           args.Fault(faults);
  };
  if (const auto end = ReadOptions(argv, "cortex", kHelp, &common, own)) return *end;
  // Either option names a flash address or its offset from the start of the flash.
  const auto flashOffset = [](std::uint32_t addr) {
    return addr >= CortexBootLoader::kFlashBase ? addr - CortexBootLoader::kFlashBase : addr;
  };
  if (notBlankFrom) {
    notBlankFrom = flashOffset(*notBlankFrom);
    if (*notBlankFrom >= config.memorySize)
      return UsageError("cortex", "--not-blank-from lies outside the memory");
  }
  if (stuckBit) {
    if (flashOffset(*stuckBit) >= config.memorySize)
      return UsageError("cortex", "--stuck-bit lies outside the memory");
    config.stuckBit = *stuckBit;
  }
  CortexBootLoader loader(config);
  if (notBlankFrom) loader.SetNotBlankFrom(*notBlankFrom);
  for (const auto& rule : faults) loader.Faults().Add(rule);
  loader.SetHostBaud(config.baud, 0);
  return ServeOverPty(loader, common, "cortex");
}

} // namespace vk::devsim
