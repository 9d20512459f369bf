#pragma once
// The help texts of vkprog's link commands.

#include "protocol/Catalogue.h"
#include "protocol/ProtocolKinds.h"

#include <string>

namespace vk::cli {

// The entries whose chip can be read back (the kind's ReadsBack): "AT89C51RD2".
inline std::string ReadableTargets() {
  std::string names;
  for (const auto& e : programmer::Catalogue())
    if (programmer::KindOf(e.CpuKind).ReadsBack)
      names += (names.empty() ? "" : ", ") + std::string(e.Name);
  return names.empty() ? "none" : names;
}

// The options every link command takes; the CAN ones only where PCAN is a port the command can
// use. The descriptions start in column 20, as in every help text of vkprog.
inline const std::string kSerialPortHelp =
    "  -p, --port PORT  COMn (see vkprog ports) or a device path (named by the COM number\n"
    "                   the port rule gives it: /dev/ttyUSB7 is COM24; another path, e.g.\n"
    "                   a pseudo-terminal, gets a free number for the run)\n";
inline const std::string kSpeedHelp =
    "  -s, --speed BAUD\n"
    "                   the Target page's \"Comm Speed\": 115200 (default), 57600, 38400,\n"
    "                   19200 or 9600; the link's rate, and the rate restored at the end\n";
inline const std::string kCanHelp =
    "  --can BACKEND:INTERFACE\n"
    "                   the CAN back end for PCAN, e.g. socketcan:can0, virtualcan:can0\n"
    "                   (default: the settings, VK_CAN_BACKEND, VK_CAN_INTERFACE); a back\n"
    "                   end Qt does not offer is refused with the list of those it does\n"
    "  --can-node N     the CAN address, 1..126 (default 1)\n"
    "  --can-bitrate NAME\n"
    "                   CAN_BAUD_1M, CAN_BAUD_500K (default), _250K, _125K, _100K, _50K,\n"
    "                   _20K, _10K or _5K (\"250K\" will do)\n";
inline const std::string kDirectHelp =
    "  --direct         the boot-loader chip is on the port itself (a bare USB serial\n"
    "                   adapter), not behind the programmer unit: no \"OP N\" goes out\n"
    "                   before its run (ST's ROM loader takes its bit rate from the\n"
    "                   first byte). The setting DirectBootLoader=True does the same\n";
inline const std::string kBinaryBaseHelp =
    "  --binary-base ADDR\n"
    "                   the one FILE is raw binary (its bytes alone, as avrdude and\n"
    "                   stm32flash keep firmware), placed from the full address ADDR on\n"
    "                   (0x08000000 for an STM32's flash); a raw file is never guessed\n"
    "                   from its content\n";
inline const std::string kTraceVerboseHelp =
    "  --trace FILE     write every byte sent and received (and every CAN frame) to FILE\n"
    "                   as text, with its time, direction and the bit rate in force\n"
    "                   (a new or empty file, or an earlier trace, which it replaces;\n"
    "                   never an input file, the port or another device, the settings or\n"
    "                   any other file; a failed write makes the exit 1)\n"
    "  -v, --verbose    on stderr: each step with its time, each failure's reason and the\n"
    "                   request sent last; -vv also every byte on the wire (\"wire: ...\")\n"
    "Each option may be given once, -v twice (-vv; a third is refused). SIGPIPE does not\n"
    "end vkprog: a closed stdout or stderr loses output, never the run.\n";

// Test builds only: a released vkprog has no such variable.
#ifdef VK_TEST_HOOKS
inline const std::string kSleepPercentHelp =
    "; VKPROG_SLEEP_PERCENT=N, for simulated devices only: the\n"
    "protocols' blocking waits shortened to N percent (their pauses, the quiet times a chip\n"
    "needs, and the H8 kernel's byte spacing keep their length)";
#else
inline const std::string kSleepPercentHelp;
#endif

inline const std::string kProgramHelp =
    "Usage: vkprog program --port PORT --target NAME [--address N | --range FIRST-LAST]\n"
    "                      [--speed BAUD] [--can BACKEND:INTERFACE] [--can-node N]\n"
    "                      [--can-bitrate NAME] [--allow-untyped] [--yes] [--erase-only]\n"
    "                      [--dry-run] [--report FILE] [--timeout S] [--quiet] [-v|-vv]\n"
    "                      [--trace FILE] [--go [ADDR]] [--unprotect] [--direct]\n"
    "                      [--binary-base ADDR] FILE...\n\n"
    "Does what the window does after loading FILE... from its command line: selects the\n"
    "target NAME as a click in the target tree would (see vkprog targets), sets the\n"
    "address and presses Program; with --range, MultiProgram from FIRST to LAST (QRD14\n"
    "modules); with --erase-only, Erase, which erases the module after its type check.\n\n"
    "  -t, --target NAME\n"
    "                   the catalogue entry, e.g. QRD14, AT89C51RD2, \"QX4T - BOOT\" (case\n"
    "                   and spaces do not count; an unknown name gets the closest ones;\n"
    "                   a group of the tree, e.g. QRE, is refused with its entries)\n"
    "  -a, --address N  the module address, 0..255 (default 0; 64 for QRA11, QRB12 and\n"
    "                   QRC13, where a click on the entry moves the window's box)\n"
    "  -r, --range F-L  program the modules F to L in turn, each detected first (F <= L)\n"
    "  --allow-untyped  tick \"Allow untyped programming\": a firmware that is not meant\n"
    "                   for the module's type asks the \"ID Mismatch\" question. Offered\n"
    "                   only where the setting \"AllowUntypedProgram\" exists, as the\n"
    "                   window's check box is: machine-wide (/etc/xdg/Velkor ApS./Velkor\n"
    "                   Programmer.ini, or VK_SYSTEM_SETTINGS_FILE), else the user's\n"
    "  -y, --yes        answer Yes to that question (otherwise No); alone, a warning\n"
    "  --erase-only     erase the module, do not program it; AT89C51RD2 and \"Cortex-M3\n"
    "                   Flash\": the boot loader's chip erase, the whole flash (no FILE\n"
    "                   needed)\n"
    "  --go [ADDR]      \"Cortex-M3 Flash\": start the program after it was written and\n"
    "                   verified (Go to the image's first address, or to ADDR, given\n"
    "                   as 0x08000200 or --go=ADDR: the loader takes the stack pointer\n"
    "                   from the word there and the reset vector from the next)\n"
    "  --unprotect      \"Cortex-M3 Flash\": remove an active read protection first; the\n"
    "                   chip erases its whole flash. Without it such a chip fails with\n"
    "                   \"read protection is active; nothing written\"\n"
    "  --dry-run        read the files, resolve the port and the target, check the kernel,\n"
    "                   the region and the untyped rule, print the plan (\"plan: ...\":\n"
    "                   entry, modules, bytes, records, erase command, wire time) and stop;\n"
    "                   nothing is sent. Exit 0 when the run could start, 1 when not\n"
    "  --report FILE    append one JSON line per module (JSON Lines): time (UTC), host,\n"
    "                   port, device, address, detected_type, entry, files, crc32 (CRC-32\n"
    "                   of range_start..range_end, the bytes written; null where a run\n"
    "                   wrote or compared no such range whole), bytes, checked_range (a\n"
    "                   check-only target: what it read), result (programmed, erased,\n"
    "                   failed; blank or not blank for a target that is only checked),\n"
    "                   reason, duration_s, bit_rate, verified (true: every byte written\n"
    "                   was read back equal). Only a new or empty file or an earlier\n"
    "                   report is appended to (as --trace, nothing else). A failed write\n"
    "                   to it makes the exit 1\n"
    "  --timeout S      give up after S seconds (default 300)\n"
    "  -q, --quiet      no progress on stderr\n"
    "  -p, --port PORT  COMn (see vkprog ports), a device path (named by the COM number\n"
    "                   the port rule gives it: /dev/ttyUSB7 is COM24; another path, e.g.\n"
    "                   a pseudo-terminal, gets a free number for the run), or PCAN\n" +
    kSpeedHelp + kCanHelp + kDirectHelp + kBinaryBaseHelp + kTraceVerboseHelp +
    "\nAll files are read once, before anything is sent (\"-\" or /dev/stdin is standard\n"
    "input, and <(...) works);\n"
    "one that is not firmware ends vkprog.\n"
    "stdout: the texts of the status line and the lines of the Programmer page's log\n"
    "(\"QRD14 #7 Programmed OK\"): on a terminal the status line is one line, each text\n"
    "written over the one before, until a log line or the progress bar ends it;\n"
    "elsewhere each text appears once. stderr: message boxes as \"CAPTION: TEXT\", and\n"
    "the progress: a bar with bytes, rate and time left that fits the terminal, a line at\n"
    "every tenth (0%, 10%, ... each in turn) otherwise; an H8 kernel is a phase of its own\n"
    "(\"QRE15 #0 kernel\"). 100% shows only once the module has taken every record (the\n"
    "bar stops at 99%).\n"
    "vkprog ends once the last command has been written to the port.\n\n"
    "Environment: VK_SERIAL_PORTS and VK_SETTINGS_FILE as for vkprog ports (vkprog reads\n"
    "the settings and never writes them); VKPROG_KERNEL_DIR, the folder of the H8 boot\n"
    "kernels (else the program's own folder, then /usr/share/vkprogrammer/kernels for\n"
    "a vkprog in /usr/bin)" +
    kSleepPercentHelp +
    ".\n\n"
    "A failed module's reason goes to stderr: \"QRD14 #7 Failed: record at 0x1040\n"
    "refused (E)\".\n\n"
    "Verification: the targets whose chip can be read back (" +
    ReadableTargets() +
    ")\n"
    "read every block written back before the closing command and compare. A run that\n"
    "verified logs \"NAME #N Verified 4096 bytes\" before its \"Programmed OK\"; a\n"
    "difference fails it (\"Failed: verify: flash differs at 0x1234 (read 5A,\n"
    "expected A5)\"). Other targets are programmed without a read-back.\n\n"
    "Exit: 0 every module was programmed (or erased), 1 otherwise (also after the\n"
    "\"ID Mismatch\" error, where the window closes), 2 usage error, 3 the time-out ran\n"
    "out (the run is stopped and the link set back first), 4 the target only checks\n"
    "its chip and found it blank (Cortex-M3: \"Blank (08000000-080020FF checked),\n"
    "nothing written\"), 5 it found data (\"Not blank (data at 08000000-080000FF),\n"
    "nothing written\"), 130 interrupted (Ctrl-C: the run is stopped and\n"
    "the link set back first; the trace is kept), 143 ended by SIGTERM\n"
    "(the same; the reason is \"stopped (SIGTERM)\").\n";

// vkprog verify: the flash differs from the files (the first difference is printed).
inline constexpr int kExitDiffers = 6;

inline const std::string kReadHelp =
    "Usage: vkprog read --port PORT --target NAME [--address N] [--range FIRST-LAST]\n"
    "                   [--speed BAUD] [--report FILE] [--timeout S] [--quiet] [-v|-vv]\n"
    "                   [--trace FILE] [--direct] OUT\n\n"
    "Reads the module's flash into OUT, as the window's File > Read from Module does:\n"
    "Intel HEX when OUT's name ends in \"hex\" (any case), raw binary (the range's\n"
    "bytes alone) when it ends in \".bin\", S-records otherwise (as Save decides).\n"
    "Nothing is erased or written; the chip is left in its boot loader.\n"
    "Targets that can be read: " +
    ReadableTargets() +
    ".\n\n"
    "  -t, --target NAME\n"
    "                   the catalogue entry (see vkprog targets)\n"
    "  -a, --address N  the module address, 0..255 (default 0)\n"
    "  -r, --range FIRST-LAST\n"
    "                   image addresses in hexadecimal, LAST included, e.g. 1000-1FFF\n"
    "                   (default: the entry's region, at most 64 KiB)\n"
    "  --report FILE    append one JSON line as program does (result \"read\")\n"
    "  --timeout S      give up after S seconds (default 300)\n"
    "  -q, --quiet      no progress on stderr\n" +
    kSerialPortHelp + kSpeedHelp + kDirectHelp + kTraceVerboseHelp +
    "\nExit: 0 read and written, 1 the read failed or OUT could not be written, 2 usage\n"
    "error (also a target that cannot be read), 3 the time-out ran out, 130 interrupted,\n"
    "143 SIGTERM.\n";

inline const std::string kVerifyHelp =
    "Usage: vkprog verify --port PORT --target NAME [--address N] [--speed BAUD]\n"
    "                     [--report FILE] [--timeout S] [--quiet] [-v|-vv] [--trace FILE]\n"
    "                     [--direct] [--binary-base ADDR] FILE...\n\n"
    "Loads FILE... as program does and compares the module's flash with the bytes a\n"
    "program run would write (blank 128-byte blocks are not compared), without erasing\n"
    "or writing anything. Targets that can be read: " +
    ReadableTargets() +
    ".\n"
    "Equal: \"NAME #N Verified 4096 bytes\" and \"NAME #N Same as the image\". A\n"
    "difference names the first differing address on stderr: \"NAME #N Failed: verify:\n"
    "flash differs at 0x1234 (read 5A, expected A5)\".\n\n"
    "  -t, --target NAME\n"
    "                   the catalogue entry (see vkprog targets)\n"
    "  -a, --address N  the module address, 0..255 (default 0)\n"
    "  --report FILE    append one JSON line as program does (result \"same\" or\n"
    "                   \"failed\", verified true when equal)\n"
    "  --timeout S      give up after S seconds (default 300)\n"
    "  -q, --quiet      no progress on stderr\n" +
    kSerialPortHelp + kSpeedHelp + kDirectHelp + kBinaryBaseHelp + kTraceVerboseHelp +
    "\nExit: 0 equal, 6 the flash differs, 1 the comparison could not be made (no\n"
    "answer, refused, a file that is not firmware), 2 usage error (also a target that\n"
    "cannot be read), 3 the time-out ran out, 130 interrupted, 143 SIGTERM.\n";

inline const std::string kIdentifyHelp =
    "Usage: vkprog identify --port PORT --target NAME [--address N] [--speed BAUD]\n"
    "                       [--timeout S] [-v|-vv] [--trace FILE] [--direct]\n\n"
    "Asks the chip's boot loader what it is, as avrdude and stm32flash say it first:\n"
    "the loader's version, the product, the flash size where the chip tells it, and\n"
    "the protection. Nothing is erased, written or read of the program; the chip is\n"
    "left in its boot loader. After the status and log lines, one line per fact:\n\n"
    "  loader: USART boot loader, protocol version 2.2\n"
    "  erase command: Erase (0x43)\n"
    "  product ID: 0x0410 (STM32F10x medium-density)\n"
    "  protection: none (the flash can be read)\n"
    "  flash: 128 KiB (the flash size register at 0x1FFFF7E0)\n\n"
    "Targets: " +
    ReadableTargets() +
    ".\n\n"
    "  -t, --target NAME\n"
    "                   the catalogue entry (see vkprog targets)\n"
    "  -a, --address N  the module address, 0..255 (default 0)\n"
    "  --timeout S      give up after S seconds (default 60)\n" +
    kSerialPortHelp + kSpeedHelp + kDirectHelp + kTraceVerboseHelp +
    "\nExit: 0 identified, 1 the loader did not answer or refused, 2 usage error (also a\n"
    "target without such a loader), 3 the time-out ran out, 130 interrupted, 143 SIGTERM.\n";

inline const std::string kDetectHelp =
    "Usage: vkprog detect --port PORT [--address N] [--speed BAUD] [--timeout S]\n"
    "                     [-v|-vv] [--trace FILE]\n\n"
    "The Detect button: selects the module at address N (default 0) through the\n"
    "programmer unit (\"OP N\"), asks its type (\"ID\") and selects the first catalogue\n"
    "entry of that type. Prints the status texts as they appear, then\n"
    "\"type: 136 (0x88)\" and \"entry: QRD14\".\n\n"
    "  -a, --address N  the module address, 0..255\n"
    "  --timeout S      give up after S seconds (default 60)\n" +
    kSerialPortHelp + kSpeedHelp + kTraceVerboseHelp +
    "\nThe programmer unit sits on a serial port: PCAN is refused (exit 2).\n"
    "\nExit: 0 a module type with a catalogue entry was found, 1 no module answered\n"
    "(\"<no module found>\"), the answer was unreadable (\"Communication error\") or no\n"
    "entry has that type, 2 usage error, 3 the time-out ran out, 130 interrupted,\n"
    "143 SIGTERM.\n";

inline const std::string kFindHelp =
    "Usage: vkprog find --port PORT [--end-address N] [--timeout S] [-v|-vv]\n"
    "                   [--trace FILE]\n\n"
    "The device finder (\"Find Device\"): sends \"OP0\" ... \"OP16\" at 115200 bit/s, then\n"
    "at 57600, 38400, 19200 and 9600, and again, until a programmer unit answers \"OK\".\n"
    "Prints \"rate: BAUD\" and \"address: N\" (the last address sent before the answer).\n"
    "It does not go on to detect the module; use vkprog detect --address N for that.\n\n"
    "  --end-address N  the last address tried, 0..255 (default 16; the window's\n"
    "                   \"Search End Address\")\n"
    "  --timeout S      give up after S seconds (default 60)\n" +
    kSerialPortHelp + kTraceVerboseHelp +
    "\nExit: 0 found, 1 the search ended otherwise, 2 usage error (also for PCAN), 3 the\n"
    "time-out ran out, 130 interrupted, 143 SIGTERM.\n";

inline const std::string kScanHelp =
    "Usage: vkprog scan --port PORT [--from A] [--to B] [--report FILE] [--speed BAUD]\n"
    "                   [--timeout S] [--quiet] [-v|-vv] [--trace FILE]\n\n"
    "Detects every address from A to B (default 0 to 255) through the programmer unit,\n"
    "as the Detect button does for one, and prints a table of the modules that answered:\n\n"
    "  address  type        entry\n"
    "        3  136 (0x88)  QRD14\n"
    "        5  200 (0xC8)  unknown\n\n"
    "An empty address takes ten unanswered selections (about 2 s) before the next.\n"
    "A garbled answer is listed as \"?\" and \"unreadable answer\".\n\n"
    "  --from A         the first address, 0..255 (default 0)\n"
    "  --to B           the last address, 0..255 (default 255), not below A\n"
    "  --report FILE    append one JSON line per module found (as for program, with\n"
    "                   result \"detected\")\n"
    "  --timeout S      give up after S seconds (default 3600)\n"
    "  -q, --quiet      no progress on stderr (otherwise the address being asked: one\n"
    "                   line redrawn on a terminal, a line at every tenth elsewhere)\n" +
    kSerialPortHelp + kSpeedHelp + kTraceVerboseHelp +
    "\nExit: 0 at least one module answered, 1 none did (or the trace or report could not\n"
    "be written), 2 usage error (also for PCAN), 3 the time-out ran out, 130 interrupted,\n"
    "143 SIGTERM.\n";

} // namespace vk::cli
