#include "cli/Commands.h"
#include "cli/LinkHelp.h"

namespace vk::cli {

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"info", "load files and show what the Buffer page shows",
       "Usage: vkprog info FILE...\n\n"
       "Loads the files in order into one image, as the window loads files named on its\n"
       "command line (Intel HEX and S-records merge; a container replaces the image), then\n"
       "prints the Buffer page: \"Source= NAME\", the information lines and the range.\n"
       "Message boxes go to stderr as \"CAPTION: TEXT\".\n\n"
       "Exit: 0 the last file was recognised, 1 it was not, 2 usage error.\n",
       RunInfo},
      {"convert", "load files and save the image as Intel HEX or S-records",
       "Usage: vkprog convert [--target NAME] FILE... OUT\n\n"
       "Loads the files into one image and writes OUT: Intel HEX when OUT's name ends in\n"
       "\"hex\" (any case), raw binary (the range's bytes alone) when it ends in \".bin\",\n"
       "S-records otherwise. OUT \"-\" writes S-records to standard output; a FILE \"-\"\n"
       "is standard input.\n\n"
       "  --target NAME  prepare the image for that catalogue entry first, as Save does:\n"
       "                 the jump table at 0F80 when the entry has one, then the checksum\n"
       "                 word over its region (see vkprog targets). The written range\n"
       "                 includes both.\n\n"
       "Exit: 0 written, 1 an input was not recognised (nothing written) or OUT could not\n"
       "be written, 2 usage error.\n",
       RunConvert},
      {"dump", "print the listing of the whole 64 KiB image",
       "Usage: vkprog dump FILE...\n\n"
       "Loads the files and prints the 4,096-line listing of the whole image as the\n"
       "\"Show Buffer\" window shows it.\n\n"
       "Exit: 0 the last file was recognised, 1 it was not, 2 usage error.\n",
       RunDump},
      {"pack", "make a V&K firmware container (.vkf)",
       "Usage: vkprog pack --body FILE --targets WORD[,WORD...] [--message TEXT]\n"
       "                   [--version N] [--edition N] OUT\n\n"
       "Writes a container around an Intel HEX or S-record body (the kind is read from the\n"
       "body's content), with the check values the loader expects.\n\n"
       "  --body FILE      the Intel HEX or S-record text the container holds\n"
       "  --targets WORDS  target words in hexadecimal; bits 24..31 are the module type\n"
       "                   code, e.g. 88000000 for QRD14 (type 136). \"\" for none.\n"
       "  --message TEXT   the message shown when the container is loaded\n"
       "  --version N      software version word (default 0x01010101)\n"
       "  --edition N      software edition (default 1)\n\n"
       "Exit: 0 written, 1 the body is not Intel HEX or S-records or OUT could not be\n"
       "written, 2 usage error.\n",
       RunPack},
      {"targets", "list the target catalogue as a tree",
       "Usage: vkprog targets\n\n"
       "Prints every catalogue entry in target-tree order, children indented, with its\n"
       "module type code, protocol, program region, jump table and boot kernel.\n",
       RunTargets},
      {"ports", "list the port selector's entries: PCAN and the serial ports present",
       "Usage: vkprog ports [--all]\n\n"
       "Prints the entries the window's port selector offers: \"PCAN\" (with the CAN back end\n"
       "and interface in use) and each COM port that exists, with its device. A port held by\n"
       "another program or closed to this user is listed, marked so.\n\n"
       "Port numbers name devices by a fixed rule: COM1-COM16 /dev/ttyS0-15, COM17-COM32\n"
       "/dev/ttyUSB0-15, COM33-COM48 /dev/ttyACM0-15, and explicit entries, which win: the\n"
       "settings' SerialPorts/COMn values and the environment variable VK_SERIAL_PORTS, e.g.\n"
       "VK_SERIAL_PORTS=\"COM49=/dev/serial/by-id/usb-FTDI_xyz;COM5=/dev/pts/3\". The list\n"
       "looks at COM1 to COM49.\n\n"
       "  --all  every number from COM1 to COM49 with its device and state, the explicit\n"
       "         entries beyond them, and the place of the settings (VK_SETTINGS_FILE).\n",
       RunPorts},
      {"program", "program modules as the window's Program and MultiProgram buttons do",
       kProgramHelp, RunProgram},
      {"read", "read a module's flash into a file (Read from Module)", kReadHelp, RunRead},
      {"verify", "compare a module's flash with files, writing nothing", kVerifyHelp, RunVerify},
      {"identify", "ask a boot loader its version, product, flash size and protection",
       kIdentifyHelp, RunIdentify},
      {"detect", "ask the programmer unit which module sits at an address (Detect)", kDetectHelp,
       RunDetect},
      {"find", "search bit rates and addresses for a programmer unit (Find Device)", kFindHelp,
       RunFind},
      {"scan", "detect every module on a rack and list address, type and entry", kScanHelp,
       RunScan},
  };
  return commands;
}

} // namespace vk::cli
