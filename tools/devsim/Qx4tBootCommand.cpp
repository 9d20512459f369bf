// vkdevsim qx4t-boot: the QX4T controller's serial boot loader on a pseudo-terminal.

#include "devsim/DeviceCommand.h"
#include "devsim/Qx4tBootLoader.h"

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

} // namespace

int RunQx4tBoot(const std::vector<std::string>& argv) {
  Qx4tBootConfig config;
  CommonOptions common;
  std::vector<std::string> faults;
  const auto own = [&](OptionReader& args) {
    return args.Number("--baud", 1, 4000000, config.baud,
                       "--baud takes a bit rate such as 57600") ||
           args.RecordAck(config.recordAck) || args.Milliseconds("--erase-ms", config.eraseMs) ||
           args.Milliseconds("--record-ms", config.recordMs) ||
           args.Number("--app-end", 0, 0xFFFF, config.appEnd,
                       "--app-end takes an address up to 0xFFFF") ||
           args.Fault(faults);
  };
  if (const auto end = ReadOptions(argv, "qx4t-boot", kHelp, &common, own)) return *end;

  Qx4tBootLoader loader(config);
  for (const auto& rule : faults) loader.AddFault(rule);
  // The terminal starts at the loader's rate until the host sets another.
  loader.SetHostBaud(config.baud, 0);
  return ServeOverPty(loader, common, "qx4t-boot");
}

} // namespace vk::devsim
