// vkdevsim qx4t-can: the QX4T controller's CAN loader as a node on a CAN bus, Qt's virtual bus
// unless told otherwise.

#include "devsim/DeviceCommand.h"
#include "devsim/Qx4tCanLoader.h"
#include "platform/QtCanBus.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QThread>

#include <chrono>
#include <csignal>
#include <cstdio>

namespace vk::devsim {

namespace {

const char* const kHelp =
    "Usage: vkdevsim qx4t-can [--interface canN] [--node N] [options]\n"
    "\n"
    "Simulates the CAN loader of the QX4T controller as a node on a CAN bus: Qt's virtual CAN\n"
    "bus, which every process of this machine shares. Prints \"CAN <backend> <interface> node\n"
    "<N>\" on stdout once it is on the bus. Ends on SIGINT/SIGTERM and prints what the loader\n"
    "went through on stderr.\n"
    "\n"
    "Options:\n"
    "  --interface NAME     the bus (default can0). The virtual bus has can0 and can1; a\n"
    "                       private one: tcp://127.0.0.1:PORT/can0 (the first process to use\n"
    "                       a PORT serves that bus for the others)\n"
    "  --backend NAME       the Qt CAN plugin (default virtualcan; socketcan for a real bus)\n"
    "  --bitrate N          bit rate asked of the back end (default 500000)\n"
    "  --node N             the node address, 1..126 (default 1): commands come as 0x780 + N\n"
    "  --reply-base ID      answers go out as ID + N (default 0x700)\n"
    "  --erase-ms N         Erase takes N ms before its answer (default 20)\n"
    "  --block-ms N         programming one block takes N ms before its answer (default 2)\n"
    "  --fault RULE         scripted fault, repeatable:\n"
    "                         silent                   no node: nothing answers\n"
    "                         record:N=ACTION          the N-th block (from 1, over the whole\n"
    "                         record:N-M=ACTION        session, repeats included)\n"
    "                         after-records:N=hangup   once block N is answered (or =silent)\n"
    "                         command:NAME=ACTION      every command NAME: START, ERASE, BLOCK\n"
    "                         command:NAME#K=ACTION    (the address frame); only the K-th;\n"
    "                         command:#K=ACTION        the K-th command of any kind\n"
    "                       ACTION: silent, X, E, R (answer EF), garbage, hangup (leave the bus)\n"
    "  --log FILE           write the transcript (every frame in and out, timed) to FILE;\n"
    "                       \"-\" for stderr\n"
    "  --exit-after S       end after S seconds (decimals allowed)\n";

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

} // namespace

int RunQx4tCan(const std::vector<std::string>& argv) {
  Qx4tCanConfig config;
  std::string backend = "virtualcan";
  std::string interface = "can0";
  std::uint32_t bitRate = 500000;
  std::string logPath;
  double exitAfter = 0;
  std::vector<std::string> faults;
  const auto own = [&](OptionReader& args) {
    std::string value;
    bool missing = false;
    if (args.Option("--reply-base", value, missing)) {
      std::uint64_t n = 0;
      if (missing || !ParseNumber(value, 0x780, n) || (n & 0x7F) != 0)
        return args.Fail("--reply-base takes an identifier with its low 7 bits clear, up to 0x780");
      config.replyBase = static_cast<std::uint32_t>(n);
      return true;
    }
    if (args.Option("--exit-after", value, missing)) {
      if (missing || !ParsePositiveSeconds(value, exitAfter))
        return args.Fail("--exit-after takes a positive number of seconds");
      return true;
    }
    return args.Text("--interface", interface, "--interface needs a name such as can0") ||
           args.Text("--backend", backend, "--backend needs a Qt CAN plugin name") ||
           args.Number("--bitrate", 1, 8000000, bitRate,
                       "--bitrate takes a bit rate such as 500000") ||
           args.Number("--node", 1, 126, config.node,
                       "--node takes a node address from 1 to 126") ||
           args.Milliseconds("--erase-ms", config.eraseMs) ||
           args.Milliseconds("--block-ms", config.blockMs) || args.Fault(faults) ||
           args.Text("--log", logPath, "--log needs a file name", OptionReader::Empty::Allowed);
  };
  // No common options: the loader is on a bus, not on a pseudo-terminal.
  if (const auto end = ReadOptions(argv, "qx4t-can", kHelp, nullptr, own)) return *end;

  LogFile log;
  if (!log.Open(logPath)) return 1;

  Qx4tCanLoader loader(config);
  for (const auto& rule : faults) loader.AddFault(rule);
  if (std::FILE* to = log.Get())
    loader.OnTranscript = [to](const CanTranscriptEntry& e) {
      std::fprintf(to, "%s\n", FormatCanTranscriptEntry(e).c_str());
      std::fflush(to);
    };

  static int qtArgc = 1;
  static char qtName[] = "vkdevsim";
  static char* qtArgv[] = {qtName, nullptr};
  QCoreApplication app(qtArgc, qtArgv);
  // The virtual bus reports every connection; the transcript says what matters.
  QLoggingCategory::setFilterRules("qt.canbus.plugins.virtualcan.info=false");
  platform::QtCanBus bus(backend, interface);
  if (!bus.Open(bitRate)) {
    std::fprintf(stderr, "vkdevsim qx4t-can: %s\n", bus.ErrorText().c_str());
    return 1;
  }
  std::printf("CAN %s %s node %d\n", backend.c_str(), interface.c_str(), config.node);
  std::fflush(stdout);

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);

  const auto start = std::chrono::steady_clock::now();
  auto now = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
  };
  const char* why = "stopped by a signal";
  Millis nextReconnect = 0;
  while (!g_stop) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    const Millis t = now();
    if (bus.IsOpen()) {
      ServeOnBus(loader, bus, t);
    } else if (t >= nextReconnect) {
      // The process that served the virtual bus has gone: join (or serve) it again.
      std::fprintf(stderr, "vkdevsim qx4t-can: off the bus; reconnecting\n");
      if (!bus.Open(bitRate)) nextReconnect = t + 500;
    }
    if (loader.HungUp()) {
      why = "left the bus";
      break;
    }
    if (exitAfter > 0 && static_cast<double>(t) >= exitAfter * 1000) {
      why = "time limit reached";
      break;
    }
    QThread::msleep(1);
  }
  bus.Close();
  std::fprintf(stderr, "vkdevsim qx4t-can: %s\n%s", why, loader.Summary().c_str());
  std::fflush(stderr);
  return 0;
}

} // namespace vk::devsim
