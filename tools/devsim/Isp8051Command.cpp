// vkdevsim isp8051: the boot loader of an 8051 flash microcontroller on a pseudo-terminal.

#include "devsim/DeviceCommand.h"
#include "devsim/Isp8051Loader.h"

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
    "  --erase-ms N         the full chip erase takes N ms before its \".\" (default 6000,\n"
    "                       Atmel's \"about 6 sec\")\n"
    "  --record-ms N        programming one record takes N ms before its answer (default 2)\n"
    "  --locked             the security bits are set: data records are refused (\"L\" on the\n"
    "                       AT89C51RX2, \"R\" on the P89C51RX2) until a full chip erase; the\n"
    "                       AT89C51RX2 answers reading with \"L\" too\n"
    "  --stuck-bit ADDR     bit 0 of the flash byte at ADDR never clears: it reads 1 whatever\n"
    "                       was written (only a read-back shows it)\n"
    "  --fault RULE         scripted fault, repeatable:\n"
    "                         silent                   answer nothing at all, not even the echo\n"
    "                         record:N=ACTION          the N-th data record (from 1, over the\n"
    "                         record:N-M=ACTION        whole session, repeats included)\n"
    "                         after-records:N=hangup   once record N is answered (or =silent)\n"
    "                         command:NAME=ACTION      every command NAME: SYNC (\"U\"), OSC,\n"
    "                         command:NAME#K=ACTION    ERASE, CLOSE, END, DISPLAY, BLANK;\n"
    "                         command:#K=ACTION        only the K-th; the K-th command of any\n"
    "                                                  kind\n"
    "                       ACTION: silent, X, R, L, E, garbage, hangup\n"
    "\n"
    "Common options:\n";

} // namespace

int RunIsp8051(const std::vector<std::string>& argv) {
  Isp8051Config config;
  CommonOptions common;
  std::vector<std::string> faults;
  // Rules are checked as the loader takes them: it knows the action L besides the common ones.
  const auto loaderTakes = [](const std::string& rule, std::string* error) {
    Isp8051Loader probe;
    return probe.AddFault(rule, error);
  };
  const auto stuckBit = [&](OptionReader& args) {
    std::uint32_t at = 0;
    if (!args.Number("--stuck-bit", 0, Isp8051Loader::kFlashSize - 1, at,
                     "--stuck-bit takes a flash address, 0 to 0xFFFF"))
      return false;
    config.stuckBitAt = at;
    return true;
  };
  const auto own = [&](OptionReader& args) {
    return args.Set("--no-echo", config.echo, false) || args.Set("--locked", config.locked, true) ||
           args.Choice("--variant",
                       {{"at89", Isp8051Chip::AT89C51RX2}, {"p89", Isp8051Chip::P89C51RX2}},
                       config.chip, "--variant takes at89 or p89") ||
           args.RecordAck(config.recordAck) || args.Milliseconds("--erase-ms", config.eraseMs) ||
           args.Milliseconds("--record-ms", config.recordMs) || stuckBit(args) ||
           args.Fault(faults, loaderTakes);
  };
  if (const auto end = ReadOptions(argv, "isp8051", kHelp, &common, own)) return *end;

  Isp8051Loader loader(config);
  for (const auto& rule : faults) loader.AddFault(rule);
  return ServeOverPty(loader, common, "isp8051");
}

} // namespace vk::devsim
