// vkdevsim h8: an H8 chip in boot mode, and the kernel downloaded into it, on a pseudo-terminal.

#include "devsim/DeviceCommand.h"
#include "devsim/H8BootMode.h"

#include <cstdio>

namespace vk::devsim {

namespace {

const char* const kHelp =
    "Usage: vkdevsim h8 [options]\n"
    "\n"
    "Simulates an H8 microcontroller (H8/3664 and its kin) in its on-chip boot mode on a\n"
    "pseudo-terminal: it matches the host's bit rate on 0x00, takes a 1,024-byte programming\n"
    "kernel (echoing every byte), erases the flash, says 0xAA and starts the kernel, which\n"
    "takes Intel HEX records at 115200 bit/s. Prints \"PORT <path>\" on stdout; open that path as "
    "the serial port. Ends on\n"
    "SIGINT/SIGTERM and prints what the chip went through on stderr.\n"
    "\n"
    "Chip options:\n"
    "  --flash-size N       bytes of flash from address 0 (default 0x8000, the H8/3664's;\n"
    "                       0x4000 for the H8/3672, 0xE000 for the H8/3687)\n"
    "  --kernel-baud N      the rate the kernel talks at (default 115200)\n"
    "  --record-ack dot|06  acknowledge records with the byte 0x06 (default) or \".\"\n"
    "  --record-ms N        programming one record takes N ms before its answer (default 0)\n"
    "  --erase-ms N         erasing one block that holds data takes N ms before the 0xAA\n"
    "                       after the kernel (default 100; the H8/3664 has 5 blocks)\n"
    "  --match-zeros N      0x00 bytes in a row the boot ROM measures before it answers the\n"
    "                       bit-rate match (default 3; 1 answers the first)\n"
    "  --kernel-out FILE    at the end, write the last downloaded kernel to FILE\n"
    "  --fault RULE         scripted fault, repeatable:\n"
    "                         silent                   answer nothing at all, not even echoes\n"
    "                         command:NAME=ACTION      the boot answer NAME: sync (0x00 to\n"
    "                         command:NAME#K=ACTION    0x00), confirm (0xAA to 0x55), kernel\n"
    "                         command:#K=ACTION        (0xAA after the kernel); only the K-th;\n"
    "                                                  the K-th boot answer of any kind\n"
    "                         record:N=ACTION          the N-th data record (from 1, over the\n"
    "                         record:N-M=ACTION        whole session, repeats included)\n"
    "                         after-records:N=hangup   once record N is answered (or =silent)\n"
    "                       ACTION: silent, X, E, R, garbage, hangup. For boot answers,\n"
    "                       garbage doubles 0x00 and 0xAA (kernel: noise instead of 0xAA)\n"
    "                       and X, E, R refuse with 0xFF.\n"
    "\n"
    "Common options:\n";

bool WriteFile(const std::string& path, const std::uint8_t* data, std::size_t n) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(("vkdevsim h8: " + path).c_str());
    return false;
  }
  const bool ok = std::fwrite(data, 1, n, f) == n;
  return std::fclose(f) == 0 && ok;
}

} // namespace

int RunH8(const std::vector<std::string>& argv) {
  H8BootConfig config;
  CommonOptions common;
  std::vector<std::string> faults;
  std::string kernelOut;
  const auto own = [&](OptionReader& args) {
    return args.Number("--flash-size", 1, H8BootMode::kMaxFlash, config.flashSize,
                       "--flash-size takes a size from 1 to 0x10000") ||
           args.Number("--kernel-baud", 1, 4000000, config.kernelBaud,
                       "--kernel-baud takes a bit rate such as 115200") ||
           args.Number("--match-zeros", 1, 1000, config.matchZeros,
                       "--match-zeros takes a number of bytes from 1") ||
           args.RecordAck(config.ack) || args.Milliseconds("--record-ms", config.recordMs) ||
           args.Milliseconds("--erase-ms", config.eraseBlockMs) ||
           args.Text("--kernel-out", kernelOut, "--kernel-out needs a file name") ||
           args.Fault(faults);
  };
  if (const auto end = ReadOptions(argv, "h8", kHelp, &common, own)) return *end;

  H8BootMode chip(config);
  for (const auto& rule : faults) chip.Faults().Add(rule);
  // The terminal starts at the usual boot rate; the boot ROM matches whatever the host sends.
  chip.SetHostBaud(9600, 0);
  int code = ServeOverPty(chip, common, "h8");
  if (!kernelOut.empty() &&
      !WriteFile(kernelOut, chip.ReceivedKernel().data(), chip.ReceivedKernel().size()))
    code = 1;
  return code;
}

} // namespace vk::devsim
