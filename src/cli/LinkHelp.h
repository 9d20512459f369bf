#pragma once
// The help texts of vkprog's link commands.

#include <string>

namespace vk::cli {

inline const std::string kLinkOptionsHelp =
    "  --port PORT      COMn (see vkprog ports), a device path (/dev/ttyUSB0, a\n"
    "                   pseudo-terminal: given a free COM number for the run), or PCAN\n"
    "  --speed BAUD     the Target page's \"Comm Speed\": 115200 (default), 57600, 38400,\n"
    "                   19200 or 9600; the link's rate, and the rate restored at the end\n"
    "  --can BACKEND:INTERFACE\n"
    "                   the CAN back end for PCAN, e.g. socketcan:can0, virtualcan:can0\n"
    "                   (default: the settings, VK_CAN_BACKEND, VK_CAN_INTERFACE)\n"
    "  --can-node N     the CAN address, 1..126 (default 1)\n"
    "  --can-bitrate NAME\n"
    "                   CAN_BAUD_1M, CAN_BAUD_500K (default), _250K, _125K, _100K, _50K,\n"
    "                   _20K, _10K or _5K (\"250K\" will do)\n"
    "  --trace FILE     write every byte sent and received (and every CAN frame) to FILE\n"
    "                   as text, with its time, direction and the bit rate in force\n";

inline const std::string kProgramHelp =
    "Usage: vkprog program --port PORT --target NAME [--address N | --range FIRST-LAST]\n"
    "                      [--speed BAUD] [--allow-untyped] [--yes] [--erase-only]\n"
    "                      [--timeout S] [--quiet] [--trace FILE] FILE...\n\n"
    "Does what the window does after loading FILE... from its command line: selects the\n"
    "target NAME as a click in the target tree would (see vkprog targets), sets the\n"
    "address and presses Program; with --range, MultiProgram from FIRST to LAST (QRD14\n"
    "modules); with --erase-only, Erase, which erases the module after its type check.\n\n"
    "  --target NAME    the catalogue entry, e.g. QRD14, AT89C51RD2, \"QX4T - BOOT\"\n"
    "  --address N      the module address, 0..255 (default 0; 64 for QRA11, QRB12 and\n"
    "                   QRC13, where a click on the entry moves the window's box)\n"
    "  --range F-L      program the modules F to L in turn, each detected first\n"
    "  --allow-untyped  tick \"Allow untyped programming\": a firmware that is not meant\n"
    "                   for the module's type asks the \"ID Mismatch\" question. Offered\n"
    "                   only where the setting \"AllowUntypedProgram\" exists, as the\n"
    "                   window's check box is: machine-wide (/etc/xdg/Velkor ApS./Velkor\n"
    "                   Programmer.ini, or VK_SYSTEM_SETTINGS_FILE), else the user's\n"
    "  --yes            answer Yes to that question (otherwise No)\n"
    "  --erase-only     erase the module, do not program it\n"
    "  --timeout S      give up after S seconds (default 300)\n"
    "  --quiet          no progress on stderr\n" +
    kLinkOptionsHelp +
    "\nAll files are read before anything is sent; one that is not firmware ends vkprog.\n"
    "stdout: the texts of the status line and the lines of the Programmer page's log\n"
    "(\"QRD14 #7 Programmed OK\"), one per line, as they appear. stderr: message boxes as\n"
    "\"CAPTION: TEXT\", and the progress: a bar with bytes, rate and time left on a\n"
    "terminal, a line at every tenth otherwise. vkprog ends once the last command has\n"
    "been written to the port.\n\n"
    "Environment: VK_SERIAL_PORTS and VK_SETTINGS_FILE as for vkprog ports (vkprog reads\n"
    "the settings and never writes them); VKPROG_KERNEL_DIR, the folder of the H8 boot\n"
    "kernels (else the program's own folder); VKPROG_SLEEP_PERCENT=N, for simulated\n"
    "devices only: the protocols' fixed waits shortened to N percent.\n\n"
    "A failed module's reason goes to stderr: \"QRD14 #7 Failed: record at 0x1040\n"
    "refused (E)\".\n\n"
    "Exit: 0 every module was programmed (or erased), 1 otherwise (also after the\n"
    "\"ID Mismatch\" error, where the window closes), 2 usage error, 3 the time-out ran\n"
    "out, 4 the target only checks its chip (Cortex-M3: \"Blank, nothing written\" or\n"
    "\"Not blank, nothing written\"), 130 interrupted (Ctrl-C: the run is stopped and\n"
    "the link set back first; the trace is kept).\n";

inline const std::string kDetectHelp =
    "Usage: vkprog detect --port PORT [--address N] [--speed BAUD] [--timeout S]\n"
    "                     [--trace FILE]\n\n"
    "The Detect button: selects the module at address N (default 0) through the\n"
    "programmer unit (\"OP N\"), asks its type (\"ID\") and selects the first catalogue\n"
    "entry of that type. Prints the status texts as they appear, then\n"
    "\"type: 136 (0x88)\" and \"entry: QRD14\".\n\n"
    "  --address N      the module address, 0..255\n"
    "  --timeout S      give up after S seconds (default 60)\n" +
    kLinkOptionsHelp +
    "\nExit: 0 a module type with a catalogue entry was found, 1 no module answered\n"
    "(\"<no module found>\"), the answer was unreadable (\"Communication error\") or no\n"
    "entry has that type, 2 usage error, 3 the time-out ran out, 130 interrupted.\n";

inline const std::string kFindHelp =
    "Usage: vkprog find --port PORT [--end-address N] [--timeout S] [--trace FILE]\n\n"
    "The device finder (\"Find Device\"): sends \"OP0\" ... \"OP16\" at 115200 bit/s, then\n"
    "at 57600, 38400, 19200 and 9600, and again, until a programmer unit answers \"OK\".\n"
    "Prints \"rate: BAUD\" and \"address: N\" (the last address sent before the answer).\n"
    "It does not go on to detect the module; use vkprog detect --address N for that.\n\n"
    "  --end-address N  the last address tried, 0..255 (default 16; the window's\n"
    "                   \"Search End Address\")\n"
    "  --timeout S      give up after S seconds (default 60)\n" +
    kLinkOptionsHelp +
    "\nExit: 0 found, 1 the search ended otherwise, 2 usage error, 3 the time-out ran out,\n"
    "130 interrupted.\n";

} // namespace vk::cli
