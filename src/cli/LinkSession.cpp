#include "cli/LinkSession.h"

#include "link/CanLink.h"
#include "platform/PortMap.h"

#if VK_WITH_QT
#include "platform/QtCanBus.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#endif

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>

namespace vk::cli {

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Message texts use "\r" between their lines; on one stderr line they become spaces.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return a == b;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// The tick thread's blocking waits shortened to a share of their length; everything else as
// the real loop does it.
class ScaledSleepLoop : public platform::IEventLoop {
public:
  ScaledSleepLoop(platform::IEventLoop& inner, int percent) : inner_(inner), percent_(percent) {}
  std::unique_ptr<platform::ITimer> CreateTimer(int ms, std::function<void()> handler) override {
    return inner_.CreateTimer(ms, std::move(handler));
  }
  void Sleep(int ms) override {
    if (ms > 0) inner_.Sleep(std::max(1, ms * percent_ / 100));
  }
  platform::Millis Now() const override { return inner_.Now(); }
  void Post(std::function<void()> fn) override { inner_.Post(std::move(fn)); }
  std::unique_ptr<platform::IWorker> CreateWorker() override { return inner_.CreateWorker(); }

private:
  platform::IEventLoop& inner_;
  int percent_;
};

// The CAN back ends this build offers; empty where it cannot tell (no Qt).
std::vector<std::string> CanBackends() {
#if VK_WITH_QT
  return platform::QtCanBus::Backends();
#else
  return {};
#endif
}

std::string BackendList() {
  std::string list;
  for (const auto& name : CanBackends()) list += (list.empty() ? "" : ", ") + name;
  return list;
}

// One line that names the interface and what to do, instead of the driver's codes.
std::string CanProblem(const platform::CanBusChoice& choice, std::uint32_t bitRate,
                       const std::string& reason) {
  const std::string rate = std::to_string(bitRate);
  if (choice.backend == "socketcan") {
    const std::string sys = "/sys/class/net/" + choice.interface;
    if (!Exists(sys))
      return "PCAN: there is no CAN interface " + choice.interface +
             " (socketcan); plug in the adapter (or load its driver), then: ip link set " +
             choice.interface + " up type can bitrate " + rate;
    return "PCAN: the CAN interface " + choice.interface +
           " cannot be used (down?); bring it up: ip link set " + choice.interface +
           " up type can bitrate " + rate;
  }
  return "PCAN: " + OneLine(reason) +
         "; choose the back end and interface with --can BACKEND:INTERFACE (this machine's Qt "
         "offers: " +
         BackendList() + ")";
}

volatile std::sig_atomic_t interrupted = 0;
void OnInterrupt(int sig) { interrupted = sig; }

// What the link writes, watched: the last request is kept for the failure report (-v), and
// with -vv every entry also goes to stderr as it happens.
class WireWatch : public link::ILinkTrace {
public:
  explicit WireWatch(bool toStderr) : toStderr_(toStderr) {}
  void Sent(const std::string& bytes, std::uint32_t baud) override {
    std::lock_guard lock(mutex_);
    last_ = TraceFile::Render(bytes);
    Say("tx  @" + std::to_string(baud) + " " + last_);
  }
  void Received(const std::string& bytes, std::uint32_t baud) override {
    if (!toStderr_) return;
    std::lock_guard lock(mutex_);
    // Gathered up to a line end, so that a reply read byte by byte is one line here too.
    pending_ += bytes;
    if (pending_.back() == '\n' || pending_.size() >= 64) {
      Say("rx  @" + std::to_string(baud) + " " + TraceFile::Render(pending_));
      pending_.clear();
    }
  }
  void CanFrame(bool sent, const link::CanMsg& msg, std::uint32_t) override {
    if (!sent && !toStderr_) return;
    char head[48];
    std::snprintf(head, sizeof head, "can %s id 0x%03X:", sent ? "tx" : "rx",
                  static_cast<unsigned>(msg.ID));
    std::string text = head;
    for (int i = 0; i < std::min<int>(msg.LEN, 8); ++i) {
      std::snprintf(head, sizeof head, " %02X", static_cast<unsigned>(msg.DATA[i]));
      text += head;
    }
    std::lock_guard lock(mutex_);
    if (sent) last_ = text;
    Say(text);
  }
  void Note(const std::string& text) override {
    std::lock_guard lock(mutex_);
    Say("---- " + text);
  }
  std::string Last() const {
    std::lock_guard lock(mutex_);
    return last_;
  }

private:
  void Say(const std::string& text) {
    if (toStderr_) std::fprintf(stderr, "wire: %s\n", text.c_str());
  }
  bool toStderr_;
  mutable std::mutex mutex_;
  std::string last_;
  std::string pending_;
};

// Both the trace file and the watch hear the link.
class TwoTraces : public link::ILinkTrace {
public:
  TwoTraces(link::ILinkTrace& a, link::ILinkTrace& b) : a_(a), b_(b) {}
  void Sent(const std::string& bytes, std::uint32_t baud) override {
    a_.Sent(bytes, baud);
    b_.Sent(bytes, baud);
  }
  void Received(const std::string& bytes, std::uint32_t baud) override {
    a_.Received(bytes, baud);
    b_.Received(bytes, baud);
  }
  void CanFrame(bool sent, const link::CanMsg& msg, std::uint32_t bitRate) override {
    a_.CanFrame(sent, msg, bitRate);
    b_.CanFrame(sent, msg, bitRate);
  }
  void Note(const std::string& text) override {
    a_.Note(text);
    b_.Note(text);
  }

private:
  link::ILinkTrace& a_;
  link::ILinkTrace& b_;
};

} // namespace

std::uint32_t CanBitRate(const std::optional<std::string>& name) {
  const std::string digits = name.value_or("CAN_BAUD_500K").substr(9);
  const double value = std::atof(digits.c_str());
  return static_cast<std::uint32_t>(digits.back() == 'M' ? value * 1e6 : value * 1e3);
}

bool LinkSession::Interrupted() { return interrupted != 0; }

std::string LinkSession::InterruptName() { return interrupted == SIGTERM ? "SIGTERM" : "SIGINT"; }

int LinkSession::InterruptExitCode() { return 128 + (interrupted != 0 ? interrupted : SIGINT); }

std::string LinkSession::TraceFailure() {
  if (!trace_) return "";
  trace_->Flush();
  return trace_->Failure();
}

std::string LinkSession::LastSent() const {
  return wire_ ? static_cast<const WireWatch&>(*wire_).Last() : "";
}

void EnsureCoreApplication() {
#if VK_WITH_QT
  if (QCoreApplication::instance() != nullptr) return;
  static int argc = 1;
  static char name[] = "vkprog";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  // The CAN plugins narrate (virtualcan its connections, socketcan a missing libsocketcan);
  // vkprog's output is for the user's eyes (QT_LOGGING_RULES still turns it back on), and a CAN
  // interface that cannot be used is said in one line of vkprog's own (CanProblem).
  QLoggingCategory::setFilterRules("qt.canbus*=false");
  // Qt takes the user's locale; numbers in vkprog's output and trace stay in the C form.
  std::setlocale(LC_NUMERIC, "C");
#endif
}

std::set<std::string> LinkValuedOptions() {
  return {"port", "speed", "can", "can-node", "can-bitrate", "trace", "timeout"};
}

std::set<std::string> LinkFlags() { return {"verbose"}; }

LinkOptions ReadLinkOptions(const Args& args, double defaultTimeout) {
  // Started with stdout or stderr closed (2>&-), the next file opened would take its number:
  // the report, the trace or the serial device would then receive the status lines. The
  // numbers are held by /dev/null before anything is opened.
#ifndef _WIN32
  for (int fd = 0; fd <= 2; ++fd)
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
      if (null >= 0 && null != fd) ::close(null);
    }
#endif
  LinkOptions o;
  o.timeoutSeconds = defaultTimeout;
  const auto port = args.Value("port");
  if (!port || port->empty()) throw UsageError("--port is required (COMn, a device path or PCAN)");
  o.port = *port;
  o.verbose = args.Count("verbose");

  if (auto speed = args.Value("speed")) {
    const auto& items = app::SpeedItems();
    if (std::find(items.begin(), items.end(), *speed) == items.end()) {
      std::string list;
      for (const auto& i : items) list += (list.empty() ? "" : ", ") + i;
      throw UsageError("--speed: \"" + *speed + "\" is not one of " + list);
    }
    o.speed = *speed;
  }
  if (auto can = args.Value("can")) {
    const auto colon = can->find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == can->size())
      throw UsageError("--can: \"" + *can + "\" is not BACKEND:INTERFACE (e.g. socketcan:can0)");
    o.canBackend = can->substr(0, colon);
    o.canInterface = can->substr(colon + 1);
    // A misspelt back end would otherwise surface as a driver error code after the start.
    const auto backends = CanBackends();
    if (!backends.empty() &&
        std::find(backends.begin(), backends.end(), *o.canBackend) == backends.end())
      throw UsageError("--can: there is no CAN back end \"" + *o.canBackend +
                       "\"; this machine's Qt offers: " + BackendList());
  }
  if (auto node = args.Value("can-node")) {
    const auto n = ParseNumber(*node, "--can-node", link::TUSB2CAN::kNodes);
    if (n < 1) throw UsageError("--can-node: CAN addresses go from 1 to 126");
    o.canNode = static_cast<int>(n);
  }
  if (auto rate = args.Value("can-bitrate")) {
    std::string name = Upper(*rate);
    if (name.rfind("CAN_BAUD_", 0) != 0) name = "CAN_BAUD_" + name;
    bool known = false;
    for (const auto& entry : link::TUSB2CAN::BaudTable()) known = known || name == entry.Name;
    if (!known)
      throw UsageError("--can-bitrate: \"" + *rate +
                       "\" is not a CAN bit rate (CAN_BAUD_1M, CAN_BAUD_500K, ... CAN_BAUD_5K)");
    o.canBitrate = name;
  }
  if (auto trace = args.Value("trace")) {
    if (trace->empty()) throw UsageError("--trace needs a file name");
    o.trace = *trace;
  }
  if (auto timeout = args.Value("timeout")) {
    char* end = nullptr;
    errno = 0;
    const double s = std::strtod(timeout->c_str(), &end);
    if (timeout->empty() || *end != '\0' || errno == ERANGE || !std::isfinite(s) || s <= 0 ||
        s > 1e6)
      throw UsageError("--timeout: \"" + *timeout + "\" is not a number of seconds above 0");
    o.timeoutSeconds = s;
  }
  return o;
}

PortChoice ResolvePort(const std::string& text, const platform::PortMap& map) {
  PortChoice c;
  const std::string upper = Upper(text);
  if (upper == "PCAN") {
    c.pcan = true;
    return c;
  }
  if (upper.size() > 3 && upper.compare(0, 3, "COM") == 0) {
    const std::string digits = upper.substr(3);
    if (!std::all_of(digits.begin(), digits.end(),
                     [](unsigned char ch) { return std::isdigit(ch) != 0; }) ||
        digits.size() > 3)
      throw UsageError("--port: \"" + text + "\" is not COMn, a device path or PCAN");
    const int n = std::atoi(digits.c_str());
    if (n < link::TComm::kFirstListedPort || n > link::TComm::kLastListedPort)
      throw UsageError("--port: the port list goes from COM1 to COM49; give a device beyond "
                       "them by its path");
    c.portNo = n;
    c.device = map.DeviceOf(n);
    if (c.device.empty())
      throw std::runtime_error("COM" + std::to_string(n) +
                               " names no device (see vkprog ports --all)");
    return c;
  }
  if (text.find('/') == std::string::npos)
    throw UsageError("--port: \"" + text + "\" is not COMn, a device path or PCAN");

  c.device = text;
  // The number the port map already gives that device, so messages name the port the user
  // knows it by.
  for (const auto& [n, device] : map.Entries())
    if (n >= link::TComm::kFirstListedPort && n <= link::TComm::kLastListedPort &&
        SameFile(device, text)) {
      c.portNo = n;
      return c;
    }
  // The number the rule gives the path (/dev/ttyUSB7 is COM24), by its name even while the
  // device is unplugged, or by what it leads to (a /dev/serial/by-id link).
  const std::string normal = std::filesystem::path(text).lexically_normal().string();
  if (map.Ranges())
    for (int n = link::TComm::kFirstListedPort; n <= link::TComm::kLastListedPort; ++n) {
      const std::string ruled = platform::PortMap::RangeDevice(n);
      if (!map.Entries().count(n) && !ruled.empty() &&
          (ruled == normal || (Exists(ruled) && SameFile(ruled, text)))) {
        c.portNo = n;
        return c;
      }
    }
  // Otherwise the lowest number that names nothing on this machine, for this run only.
  for (int n = link::TComm::kFirstListedPort; n <= link::TComm::kLastListedPort; ++n)
    if (!Exists(map.DeviceOf(n))) {
      c.portNo = n;
      c.mapped = true;
      return c;
    }
  throw std::runtime_error("every number from COM1 to COM49 names a device; give " + text +
                           " one in VK_SERIAL_PORTS and use that number");
}

PortChoice CheckPort(const LinkOptions& options) {
  platform::NativeSettings store;
  ReadOnlySettings settings(store);
  std::vector<std::string> problems;
  const auto map = platform::PortMap::FromSettingsAndEnvironment(&settings, &problems);
  for (const auto& p : problems) std::fprintf(stderr, "vkprog: port map: %s\n", p.c_str());
  PortChoice port = ResolvePort(options.port, map);
  if (port.pcan) {
    // The interface is opened and closed again: no frame goes out.
    EnsureCoreApplication();
    const platform::CanBusChoice choice =
        options.canBackend ? platform::CanBusChoice{*options.canBackend, *options.canInterface}
                           : platform::ReadCanBusChoice(&settings);
    if (std::string why; !platform::CanBusAvailable(choice, &why))
      throw std::runtime_error(OneLine(why));
    const auto bus = platform::MakeCanBus(choice);
    const std::uint32_t bitRate = CanBitRate(options.canBitrate);
    if (!bus->Open(bitRate))
      throw std::runtime_error(CanProblem(choice, bitRate, bus->ErrorText()));
    port.device = choice.backend + ":" + choice.interface;
    return port;
  }
  auto entries = map.Entries();
  if (port.mapped) entries[port.portNo] = port.device;
  platform::NativeSerialPorts ports(platform::PortMap(entries, map.Ranges()));
  auto r = ports.Open(port.portNo);
  if (!r.device) throw std::runtime_error(OneLine(r.message));
  return port;
}

std::optional<std::string> ReadOnlySettings::Read(const std::string& name) const {
  if (auto it = written_.find(name); it != written_.end()) return it->second;
  return inner_.Read(name);
}

bool ReadOnlySettings::Write(const std::string& name, const std::string& value) {
  written_[name] = value;
  return true;
}

platform::OpenResult OnePortOnly::Open(int n) {
  if (n == portNo_) return inner_.Open(n);
  platform::OpenResult r;
  r.state = platform::PortState::Absent;
  r.error = ENODEV;
  r.message = "COM" + std::to_string(n) + " is not the port given to vkprog.";
  return r;
}

LinkSession::LinkSession(const LinkOptions& options, const std::string& command, bool answerYes)
    : options_(options) {
  // Interrupted, vkprog still closes the port and the trace properly (a signal the shell
  // told us to ignore stays ignored).
  for (const int sig : {SIGINT, SIGTERM})
    if (std::signal(sig, OnInterrupt) == SIG_IGN) std::signal(sig, SIG_IGN);
#ifdef SIGPIPE
  // A reader that goes away (vkprog ... | head) must not end a run half way: writes to a closed
  // pipe then fail with EPIPE, which the output ignores, and the exit code still tells.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  deadline_ = std::chrono::steady_clock::now() +
              std::chrono::milliseconds(static_cast<long long>(options.timeoutSeconds * 1000));
  cliBoxes.SetAnswerYes(answerYes);
  store_ = std::make_unique<platform::NativeSettings>();
  settings_ = std::make_unique<ReadOnlySettings>(*store_);

  std::vector<std::string> problems;
  const auto map = platform::NativePortMap(settings_.get(), &problems);
  for (const auto& p : problems) std::fprintf(stderr, "vkprog: port map: %s\n", p.c_str());
  port_ = ResolvePort(options.port, map);
  auto entries = map.Entries();
  if (port_.mapped) entries[port_.portNo] = port_.device;
  posixPorts_ =
      std::make_unique<platform::NativeSerialPorts>(platform::PortMap(entries, map.Ranges()));
  if (!port_.pcan) {
    // Said at once in the system's words, rather than after a run that cannot start.
    auto r = posixPorts_->Open(port_.portNo);
    if (!r.device) throw std::runtime_error(OneLine(r.message));
  }
  onePort_ = std::make_unique<OnePortOnly>(*posixPorts_, port_.pcan ? 0 : port_.portNo);

  if (options.trace) {
    trace_ = std::make_unique<TraceFile>(*options.trace, "vkprog " + command);
    if (!trace_->Ok()) throw std::runtime_error(*options.trace + ": " + std::strerror(errno));
  }
  wire_ = std::make_unique<WireWatch>(options.verbose >= 2);
  link::ILinkTrace* heard = wire_.get();
  if (trace_) {
    bothWays_ = std::make_unique<TwoTraces>(*trace_, *wire_);
    heard = bothWays_.get();
  }
  tracedPorts_ = std::make_unique<link::TracedSerialPorts>(*onePort_, *heard);
  platform::ISerialPorts* serial = tracedPorts_.get();
  const platform::CanBusChoice choice =
      options.canBackend ? platform::CanBusChoice{*options.canBackend, *options.canInterface}
                         : platform::ReadCanBusChoice(settings_.get());
  // A bus this machine cannot have at all is said at once, like a port that will not open.
  if (std::string why; port_.pcan && !platform::CanBusAvailable(choice, &why))
    throw std::runtime_error(OneLine(why));
  canBus_ = platform::MakeCanBus(choice);
  if (port_.pcan) {
    // Tried once here: a missing or down interface ends vkprog with one clear line rather than
    // a run whose every step reports the driver's error code.
    const std::uint32_t bitRate = CanBitRate(options.canBitrate);
    if (!canBus_->Open(bitRate))
      throw std::runtime_error(CanProblem(choice, bitRate, canBus_->ErrorText()));
    canBus_->Close();
    port_.device = choice.backend + ":" + choice.interface;
  }
  canDriver_ = std::make_unique<link::PcanUsbOverCanBus>(*canBus_);
  link::IPcanUsb* can = canDriver_.get();
  tracedCan_ = std::make_unique<link::TracedPcanUsb>(*canDriver_, *heard);
  can = tracedCan_.get();
  // The kernels' warnings are kept until it is known whether the target needs one.
  kernels_ = std::make_unique<cpu::KernelSet>(&kernelBoxes_);

  if (const char* p = std::getenv("VKPROG_SLEEP_PERCENT"); p && *p) {
    const int percent = std::atoi(p);
    if (percent >= 1 && percent < 100) {
      sleepScaler_ = std::make_unique<ScaledSleepLoop>(loop_, percent);
      engineLoop_ = sleepScaler_.get();
    }
  }

  app::SessionViews v = Views();
  v.quit = [this] { quitAsked = true; };
  session = std::make_unique<app::Session>(
      *engineLoop_, boxes, app::SessionDevices{*serial, *can, settings_.get()}, *kernels_, v);
  session->comm->OnNote = [heard](const std::string& text) { heard->Note(text); };
}

LinkSession::~LinkSession() {
  session.reset();
  if (trace_) trace_->Flush();
}

void LinkSession::Start(const std::vector<std::string>& files) {
  session->Start(files);
  loop_.RunUntil([this] { return session->TickRunning(); }, 5000);
}

void LinkSession::ApplyTargetPage() {
  if (options_.speed) {
    for (int i = 0; i < speed.Count(); ++i)
      if (speed.ItemText(i) == *options_.speed) speed.SetItemIndex(i);
    session->SpeedChanged();
  }
  if (options_.canNode) canAddress.SetCurrentIndex(*options_.canNode - 1);
  if (options_.canBitrate) canSpeed.SetCurrentIndex(canSpeed.Find(*options_.canBitrate));
  if (port_.pcan) {
    ports.Pick(ports.Find("PCAN"));
    return;
  }
  const int entry = ports.Find("COM" + std::to_string(port_.portNo));
  if (entry >= 0 && ports.CurrentIndex() != entry) ports.Pick(entry);
  if (!loop_.RunUntil([this] { return session->comm->IsOpen(); }, 5000))
    throw std::runtime_error("COM" + std::to_string(port_.portNo) + " (" + port_.device +
                             ") did not open");
}

bool LinkSession::ClickTarget(const std::string& name) {
  if (!tree.Highlight(name)) return false;
  session->TreeClicked();
  return true;
}

void LinkSession::ReportMissingKernel() {
  const cpu::TProgKernel* kernel = session->prg->Node().Kernel;
  if (!kernel || kernel->Loaded()) return;
  for (const auto& box : kernelBoxes_.boxes)
    if (box.caption + ".a20" == cpu::TProgKernel::FileName(kernel->Number()))
      boxes.Show(box.text, box.caption, box.buttons, box.icon);
}

double LinkSession::SecondsLeft() const {
  return std::chrono::duration<double>(deadline_ - std::chrono::steady_clock::now()).count();
}

bool LinkSession::RunUntil(const std::function<bool()>& done) {
  const double left = SecondsLeft();
  if (left <= 0 || Interrupted()) return done();
  loop_.RunUntil([&] { return Interrupted() || done(); }, static_cast<int>(std::ceil(left * 1000)));
  return !Interrupted() && done();
}

bool LinkSession::SerialQuiet() const {
  const link::TCommThread& t = session->comm->Thread();
  return !t.Running() || !t.IsOpen() || t.AllSent();
}

void LinkSession::DrainSerial(int ms) {
  loop_.RunUntil([this] { return SerialQuiet(); }, ms);
}

} // namespace vk::cli
