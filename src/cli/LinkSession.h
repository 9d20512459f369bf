#pragma once
// What vkprog's link commands (program, detect, find) share: their link options, the choice of
// port, and a whole program session with headless controls on the real event loop (Qt's, or
// the standard library's in a build without Qt), wired as the window wires itself, so that
// vkprog does exactly what the window does.

#include "app/DeviceFinder.h"
#include "app/HeadlessControls.h"
#include "app/Session.h"
#include "cli/Args.h"
#include "cli/CliMessageBox.h"
#include "cli/TraceFile.h"
#include "cpu/Kernels.h"
#include "link/LinkTrace.h"
#include "link/PortEntry.h"
#include "link/Selector.h"
#include "platform/Native.h"
#include "programmer/HeadlessViews.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vk::cli {

inline constexpr int kExitTimeout = 3;
inline constexpr int kExitInterrupted = 130;

struct LinkOptions {
  std::string port;                      // COMn, a device path, or PCAN
  std::optional<std::string> canBackend; // --can BACKEND:INTERFACE
  std::optional<std::string> canInterface;
  std::optional<int> canNode;            // 1..126
  std::optional<std::string> canBitrate; // an entry of the CAN bit-rate list
  std::optional<std::string> speed;      // an entry of the speed selector
  std::optional<std::string> trace;      // --trace FILE
  double timeoutSeconds = 300;
  int verbose = 0; // -v: steps, reasons, what was sent last; -vv: also the wire on stderr
  // --direct: the boot-loader chip is on the port itself, not behind the programmer unit (no
  // "OP n" before its run). Offered by the commands that run a boot loader.
  bool direct = false;
};

// The valued options every link command takes, and its flags.
std::set<std::string> LinkValuedOptions();
std::set<std::string> LinkFlags();
// The flags of the commands that run a target's own boot loader: LinkFlags and --direct.
std::set<std::string> BootLoaderFlags();
// Reads and checks them. Throws UsageError.
LinkOptions ReadLinkOptions(const Args& args, double defaultTimeout);

// The speed selector's rates: "115200, 57600, 38400, 19200, 9600".
std::string SpeedList();

// The CAN bit rate a --can-bitrate name stands for (CAN_BAUD_500K: 500000; none: 500000).
std::uint32_t CanBitRate(const std::optional<std::string>& name);

// Which port a --port text names.
struct PortChoice {
  link::LinkKind kind = link::LinkKind::Serial;
  int portNo = 0;      // the COM number the link uses
  std::string device;  // its device path; for PCAN the CAN back end and interface
  bool mapped = false; // a device path given a number of its own for this run
  bool OverCan() const { return kind == link::LinkKind::Can; }
  // "PCAN", "COM3": as the report and the log name it.
  std::string Name() const { return link::PortEntryName(kind, portNo); }
};
// COMn (1..49), a device path (given a number: the explicit entry or range that names it, else
// the lowest number that names no existing device), or PCAN (any case). Throws UsageError for
// a text that is none of these, std::runtime_error for a number that names no device.
PortChoice ResolvePort(const std::string& text, const platform::PortMap& map);

// Resolves --port as a session would and opens the serial device once (nothing is written),
// so that a dry run finds what the run would find. Throws as the session's constructor does.
PortChoice CheckPort(const LinkOptions& options);

// The settings as vkprog sees them: read from the user's store, never written (the window's
// remembered port stays as the window left it).
class ReadOnlySettings : public platform::ISettings {
public:
  explicit ReadOnlySettings(const platform::ISettings& inner) : inner_(inner) {}
  std::optional<std::string> Read(const std::string& name) const override;
  bool Write(const std::string& name, const std::string& value) override;
  std::vector<std::string> Names(const std::string& group) const override {
    return inner_.Names(group);
  }
  bool DecidedByMachine(const std::string& name) const override {
    return inner_.DecidedByMachine(name);
  }

private:
  const platform::ISettings& inner_;
  std::map<std::string, std::string> written_;
};

// Only the chosen port exists: the port list shows it alone, and nothing else is opened (the
// window's list would open every port on the machine to see whether it is there).
class OnePortOnly : public platform::ISerialPorts {
public:
  OnePortOnly(platform::ISerialPorts& inner, int portNo) : inner_(inner), portNo_(portNo) {}
  std::string DeviceOf(int n) const override { return n == portNo_ ? inner_.DeviceOf(n) : ""; }
  platform::PortState Probe(int n) override {
    return n == portNo_ ? inner_.Probe(n) : platform::PortState::Absent;
  }
  platform::OpenResult Open(int n) override;

private:
  platform::ISerialPorts& inner_;
  int portNo_;
};

// Message boxes as stderr lines, after whatever is on the terminal line has been cleared.
class ClearingMessageBox : public platform::IMessageBox {
public:
  explicit ClearingMessageBox(CliMessageBox& inner) : inner_(inner) {}
  platform::MsgAnswer Show(const std::string& text, const std::string& caption,
                           platform::MsgButtons buttons, platform::MsgIcon icon) override {
    if (beforeOutput) beforeOutput();
    return inner_.Show(text, caption, buttons, icon);
  }
  std::function<void()> beforeOutput;

private:
  CliMessageBox& inner_;
};

// A whole program session on one port. The QCoreApplication must exist.
class LinkSession : public app::HeadlessControls {
public:
  // command: the command's name, for the trace's head. Throws std::runtime_error when the port
  // cannot be used or the trace file cannot be written.
  LinkSession(const LinkOptions& options, const std::string& command, bool answerYes);
  ~LinkSession();
  LinkSession(const LinkSession&) = delete;
  LinkSession& operator=(const LinkSession&) = delete;

  // Starts the session as the window starts with FILE... on its command line, and waits until
  // the main tick runs. The files load at once: the window's 200 ms before them are for it to
  // show itself, and here they only delayed every run.
  void Start(const std::vector<std::string>& files);
  // The Target page: the speed entry, the port entry ("PCAN" is picked as the user would) and
  // the CAN selectors. Waits (at most a few seconds) for a serial port to open; throws
  // std::runtime_error when it does not.
  void ApplyTargetPage();
  // Selects the catalogue entry as a click on its tree node would; false when none has NAME.
  bool ClickTarget(const std::string& name);
  // The warning of the boot kernel the selected entry needs, when its file was not found or is
  // no kernel.
  void ReportMissingKernel();

  // Runs the event loop until done() holds (true), or the time-out has run out or the user
  // interrupted vkprog (false).
  bool RunUntil(const std::function<bool()>& done);
  // Ctrl-C (SIGINT) or SIGTERM arrived: the run is left as it stands, the trace is kept.
  static bool Interrupted();
  // The exit code that says which: 130 for SIGINT, 143 for SIGTERM.
  static int InterruptExitCode();
  // "SIGINT" or "SIGTERM".
  static std::string InterruptName();
  // What the command says it was: "interrupted" (SIGINT) or "stopped (SIGTERM)".
  static std::string InterruptWord();
  // The first write to --trace that failed, "" while all reached the file.
  std::string TraceFailure();
  // A line of the program's own in --trace (none without it), e.g. why a module failed.
  void TraceNote(const std::string& text) {
    if (trace_) trace_->Note(text);
  }
  // The last bytes written to the serial device, as the trace shows them ("" before any).
  std::string LastSent() const;
  // Every string queued on the serial link has been written (or the link cannot write any more).
  bool SerialQuiet() const;
  // Runs the loop until the serial link is quiet, for at most ms milliseconds.
  void DrainSerial(int ms = 5000);
  double SecondsLeft() const;

  const PortChoice& Port() const { return port_; }

  bool quitAsked = false;

  CliMessageBox cliBoxes;
  ClearingMessageBox boxes{cliBoxes};

private:
  LinkOptions options_;
  std::chrono::steady_clock::time_point deadline_;
  platform::NativeEventLoop loop_;
  // VKPROG_SLEEP_PERCENT (test builds only): the protocols' blocking waits shortened, for
  // simulated devices.
  std::unique_ptr<platform::IEventLoop> sleepScaler_;
  platform::IEventLoop* engineLoop_ = &loop_;
  std::unique_ptr<platform::NativeSettings> store_;
  std::unique_ptr<ReadOnlySettings> settings_;
  PortChoice port_;
  std::unique_ptr<TraceFile> trace_;
  std::unique_ptr<link::ILinkTrace> wire_;     // the last bytes sent; -vv: all on stderr
  std::unique_ptr<link::ILinkTrace> bothWays_; // trace_ and wire_ together
  std::unique_ptr<platform::NativeSerialPorts> posixPorts_;
  std::unique_ptr<OnePortOnly> onePort_;
  std::unique_ptr<link::TracedSerialPorts> tracedPorts_;
  std::unique_ptr<platform::ICanBus> canBus_;
  std::unique_ptr<link::PcanUsbOverCanBus> canDriver_;
  std::unique_ptr<link::TracedPcanUsb> tracedCan_;
  std::unique_ptr<cpu::KernelSet> kernels_;

public:
  std::unique_ptr<app::Session> session; // last: it goes first
};

// The one QCoreApplication of a vkprog run that needs the event loop (none without Qt).
void EnsureCoreApplication();
// What the link commands share: the controllers are both at rest; "COMMAND: interrupted" said
// and the exit code of the signal returned; the --timeout as the user gave it ("2.5"); --port
// names the CAN adapter.
bool ControllerIdle(LinkSession& s);
int InterruptedExit(const std::string& command);
std::string TimeoutText(double seconds);
// A read, verify or identify run that outlived its --timeout: stopped through its protocol's
// Finish, the link drained; returns the reason ("no end within the --timeout of 2 s").
std::string StopAtTimeout(LinkSession& s, double timeoutSeconds);
bool ResolvesToCan(const std::string& port);

// Ctrl-C and SIGTERM mark the run as interrupted instead of ending vkprog at once (the port and
// the trace are closed properly); a closed pipe on stdout or stderr ends nothing.
void CatchInterrupts();

} // namespace vk::cli
