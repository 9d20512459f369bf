#include "cli/LinkSession.h"

#include "cli/CanDiagnostics.h"
#include "cli/Commands.h"
#include "cli/OutputGuard.h"
#include "cli/TraceWiring.h"
#include "link/CanLink.h"
#include "platform/PortMap.h"

#if VK_WITH_QT
#include <QCoreApplication>
#include <QLoggingCategory>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace vk::cli {

namespace {

#ifdef VK_TEST_HOOKS
// The tick thread's blocking waits shortened to a share of their length; everything else as
// the real loop does it. The protocols' pauses (PauseMs) keep their length: they are the quiet
// times a chip needs before the next bytes, and the simulated devices check them.
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

#endif

} // namespace

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
  CatchInterrupts();
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
  if (!port_.OverCan()) {
    // Said at once in the system's words, rather than after a run that cannot start.
    auto r = posixPorts_->Open(port_.portNo);
    if (!r.device) throw std::runtime_error(OneLine(r.message));
  }
  onePort_ = std::make_unique<OnePortOnly>(*posixPorts_, port_.OverCan() ? 0 : port_.portNo);

  if (options.trace) {
    RefuseForeignOutput("--trace", *options.trace, OutputKind::Trace, options.port);
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
  if (std::string why; port_.OverCan() && !platform::CanBusAvailable(choice, &why))
    throw std::runtime_error(OneLine(why));
  canBus_ = platform::MakeCanBus(choice);
  if (port_.OverCan()) {
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
  // A kernel's warning is printed only once it is known that the target needs it.
  kernels_ = std::make_unique<cpu::KernelSet>();

#ifdef VK_TEST_HOOKS
  // Test builds only: the simulated devices answer at once, the tests need not wait in full.
  if (const char* p = std::getenv("VKPROG_SLEEP_PERCENT"); p && *p) {
    const int percent = std::atoi(p);
    if (percent >= 1 && percent < 100) {
      sleepScaler_ = std::make_unique<ScaledSleepLoop>(loop_, percent);
      engineLoop_ = sleepScaler_.get();
    }
  }
#endif

  app::SessionViews v = Views();
  v.quit = [this] { quitAsked = true; };
  session = std::make_unique<app::Session>(
      *engineLoop_, boxes, app::SessionDevices{*serial, *can, settings_.get()}, *kernels_, v);
  session->comm->OnNote = [heard](const std::string& text) { heard->Note(text); };
  if (options.direct) session->controller->DirectBootLoader = true;
}

LinkSession::~LinkSession() {
  session.reset();
  if (trace_) trace_->Flush();
}

void LinkSession::Start(const std::vector<std::string>& files) {
  session->Start(files, 0);
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
  if (port_.OverCan()) {
    ports.Pick(ports.Find(std::string(link::kCanPortEntry)));
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
  const cpu::BootKernel* kernel = session->prg->Node().Kernel;
  if (!kernel) return;
  if (const auto warning = kernel->Warning())
    boxes.Show(warning->text, warning->caption, platform::MsgButtons::Ok,
               platform::MsgIcon::Warning);
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
  const link::SerialWorker& t = session->comm->Thread();
  return !t.Running() || !t.IsOpen() || t.AllSent();
}

bool ControllerIdle(LinkSession& s) {
  return s.session->controller->Mode() == app::ControllerMode::Idle && !s.session->prg->RunActive();
}

int InterruptedExit(const std::string& command) {
  Error(command + ": " + LinkSession::InterruptWord());
  return LinkSession::InterruptExitCode();
}

std::string TimeoutText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

std::string StopAtTimeout(LinkSession& s, double timeoutSeconds) {
  const std::string timedOut =
      "no end within the --timeout of " + TimeoutText(timeoutSeconds) + " s";
  // Stopped through its protocol's Finish, as an interrupted run is: nothing more goes out.
  auto& prg = *s.session->prg;
  if (prg.RunActive())
    prg.DropRun(programmer::FailReason::TimeLimit, timedOut,
                programmer::RunController::DropLog::None);
  s.session->controller->StopAll();
  s.DrainSerial(1000);
  return timedOut;
}

void LinkSession::DrainSerial(int ms) {
  loop_.RunUntil([this] { return SerialQuiet(); }, ms);
}

} // namespace vk::cli
