#include "link/SerialWorker.h"

namespace vk::link {

using platform::Millis;
using platform::WaitResult;

SerialWorker::SerialWorker(platform::IEventLoop& loop, platform::ISerialPorts& ports, TellUser tell,
                           TLineQueue& receiveTarget)
    : loop_(loop), ports_(ports), tell_(std::move(tell)), receiveTarget_(receiveTarget),
      worker_(loop.CreateWorker()) {}

SerialWorker::~SerialWorker() { Stop(); }

void SerialWorker::ChoosePort(int portNo) {
  {
    std::lock_guard lock(mutex_);
    if (portNo != portNo_.load()) {
      portNo_ = portNo;
      if (portNo > 0) portName_ = "COM" + std::to_string(portNo);
    }
    // Strings meant for the old port (or for none) never reach the new one.
    TxLines.Clear();
    accepting_ = portNo > 0;
    ++requestGen_;
  }
  lost_ = false; // a new choice: what happened to the old device no longer counts
  ++requestGen_;
  worker_->Wake();
}

void SerialWorker::SetListedPorts(std::set<int> ports) {
  std::lock_guard lock(mutex_);
  listedPorts_ = std::move(ports);
}

platform::LineSettings SerialWorker::Settings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

void SerialWorker::SetSettings(const platform::LineSettings& settings) {
  std::lock_guard lock(mutex_);
  settings_ = settings;
}

void SerialWorker::MarkSettingsChanged() {
  settingsChanged_ = true;
  worker_->Wake();
}

void SerialWorker::SetRxMode(std::uint8_t mode) { rxMode_ = mode; }

void SerialWorker::Queue(std::string bytes) {
  {
    std::lock_guard lock(mutex_);
    if (!accepting_) return; // no port open or being opened: the string would go stale
    TxLines.Add(std::move(bytes));
  }
  worker_->Wake();
}

void SerialWorker::Start() {
  if (started_) return;
  started_ = true;
  running_ = true;
  worker_->Start([this] { return Step(); });
}

void SerialWorker::Stop() {
  worker_->Stop();
  running_ = false;
  // The worker has ended: its port may be closed from here.
  port_.reset();
  portOpen_ = false;
}

std::string SerialWorker::PortName() const {
  std::lock_guard lock(mutex_);
  return portName_;
}

std::string SerialWorker::LostText() const {
  std::lock_guard lock(mutex_);
  return lost_.load() ? lostText_ : std::string();
}

std::string SerialWorker::LostAdvice() const {
  std::lock_guard lock(mutex_);
  return lost_.load() ? lostAdvice_ : std::string();
}

bool SerialWorker::Step() {
  if (!running_.load()) return false;
  if (requestGen_.load() != handledGen_) return ReopenStep();
  if (!port_) {      // lost: nothing to do until a port is chosen again, which wakes us
    TxLines.Clear(); // strings for the device that went away must not reach the next one
    worker_->Wait(nullptr, loop_.Now() + kPortWaitMs);
    return true;
  }

  const std::int64_t nowUs = loop_.NowMicros();
  const bool pending = settingsChanged_.load() || !TxLines.Empty();
  // Byte by byte, each received byte is a whole answer: there is no tail to wait for.
  const std::int64_t quietUs = rxMode_.load() == TRxFraming::RawBytes ? 0 : quietUs_;
  if (pending && nowUs - lastByteAtUs_ >= quietUs && !port_->HasInput()) {
    WriteStep();
    return true;
  }
  // Idle reads count only for a partial entry; with none, the worker sleeps until a byte or a
  // wake-up instead of turning every read time-out.
  std::int64_t deadlineUs = framing_.Pending().empty() ? nowUs + kPortWaitMs * 1000 : nextIdleAtUs_;
  if (pending) deadlineUs = std::min(deadlineUs, lastByteAtUs_ + quietUs);
  switch (worker_->WaitMicros(port_.get(), deadlineUs)) {
  case WaitResult::Readable:
    return ReadStep();
  case WaitResult::TimedOut:
    if (loop_.NowMicros() >= nextIdleAtUs_) IdleStep();
    return true;
  case WaitResult::Woken:
  case WaitResult::NotYet:
    return true;
  }
  return true;
}

bool SerialWorker::ReopenStep() {
  const std::uint64_t gen = requestGen_.load();
  if (port_) ClosePort();
  const Millis now = loop_.Now();
  if (gen == failedGen_ && now < retryAt_) {
    worker_->Wait(nullptr, retryAt_); // a new choice of port wakes us
    return true;
  }
  const int portNo = portNo_.load();
  if (portNo <= 0) {
    failedGen_ = gen;
    retryAt_ = now + kPortWaitMs;
    return true;
  }
  platform::OpenResult opened = ports_.Open(portNo);
  if (!opened.device) {
    bool worthSaying = opened.state != platform::PortState::Absent;
    {
      std::lock_guard lock(mutex_);
      worthSaying = worthSaying || listedPorts_.count(portNo) != 0;
    }
    // Once per choice of port; the retries that follow stay quiet.
    if (worthSaying && reportedGen_ != gen) {
      reportedGen_ = gen;
      TellFromWorker({opened.message, "COM" + std::to_string(portNo), MessageKind::Error});
    }
    failedGen_ = gen;
    retryAt_ = now + kPortWaitMs;
    SetAccepting(gen, false);
    return true;
  }
  SetAccepting(gen, true);
  port_ = std::move(opened.device);
  portOpen_ = true;
  lost_ = false;
  handledGen_ = gen;
  settingsChanged_ = false;
  ApplySettings();
  lastByteAtUs_ = kNever;
  nextIdleAtUs_ = loop_.NowMicros() + IdleReadUs();
  return true;
}

bool SerialWorker::ReadStep() {
  std::uint8_t byte = 0;
  int error = 0;
  const int n = port_->ReadByte(byte, error);
  if (n == 0) { // said readable, gave nothing (an interrupted call): do not spin on it
    worker_->Wait(nullptr, loop_.Now() + 1);
    return true;
  }
  if (n < 0) {
    if (error == 0) return true;
    Lose(error);
    return true;
  }
  lastByteAtUs_ = loop_.NowMicros();
  nextIdleAtUs_ = lastByteAtUs_ + IdleReadUs();
  // The link may switch the mode at any time; the framing follows it with the next byte, and
  // its own moves (text → frame → text) do not undo a switch made meanwhile.
  auto mode = static_cast<std::uint8_t>(rxMode_.load());
  framing_.RxMode = static_cast<TRxFraming::Mode>(mode);
  auto entry = framing_.Byte(byte);
  if (framing_.RxMode != mode) rxMode_.compare_exchange_strong(mode, framing_.RxMode);
  Deliver(std::move(entry));
  return true;
}

void SerialWorker::IdleStep() {
  nextIdleAtUs_ = loop_.NowMicros() + IdleReadUs();
  WriteStep();
  Deliver(framing_.Idle());
}

void SerialWorker::WriteStep() {
  if (settingsChanged_.exchange(false)) ApplySettings();
  // Raised before the string leaves TxLines: AllSent finds it in one place or the other.
  writing_ = true;
  if (auto bytes = TxLines.TakeFirst()) port_->Write(*bytes); // the result is not looked at
  writing_ = false;
}

void SerialWorker::SetAccepting(std::uint64_t gen, bool on) {
  std::lock_guard lock(mutex_);
  if (requestGen_.load() != gen) return; // another port was chosen meanwhile: its rule holds
  if (!on) TxLines.Clear();
  accepting_ = on;
}

void SerialWorker::ApplySettings() {
  const platform::LineSettings s = Settings();
  lastRefused_ = port_->Apply(s);
  const std::int64_t bits = s.Parity != 0 ? 11 : 10;
  charUs_ = bits * 1000000 / std::max<std::int64_t>(s.BaudRate, 1);
  quietUs_ = kQuietChars * charUs_;
}

std::int64_t SerialWorker::IdleReadUs() const {
  return rxMode_.load() == TRxFraming::Raw ? kRawIdleChars * charUs_ : kReadTimeoutMs * 1000;
}

void SerialWorker::ClosePort() {
  // What arrived from the old port is handed over rather than joined to the new port's bytes.
  auto mode = static_cast<std::uint8_t>(rxMode_.load());
  framing_.RxMode = static_cast<TRxFraming::Mode>(mode);
  Deliver(framing_.Flush());
  if (framing_.RxMode != mode) rxMode_.compare_exchange_strong(mode, framing_.RxMode);
  port_.reset();
  portOpen_ = false;
}

void SerialWorker::Deliver(std::optional<std::string> entry) {
  if (!entry) return;
  receiveTarget_.Add(std::move(*entry));
  if (onArrival_) onArrival_();
}

void SerialWorker::Lose(int error) {
  // The device has gone (a pulled USB adapter hangs up, or reads fail with EIO). Close the
  // handle, so that the port shows as closed and the same path can be opened again when the
  // device is back; the worker stays, waiting for the port to be chosen again.
  const std::string path = port_->Path();
  ClosePort();
  TxLines.Clear(); // meant for a device that is no longer there
  {
    std::lock_guard lock(mutex_);
    lostText_ = portName_ + " (" + path + "): the device has gone (" +
                platform::SystemErrorText(error) + ")";
    lostAdvice_ = portName_ + " (" + path + ") has gone: reconnect it, then choose the port again";
  }
  lost_ = true;
  // The port's fault, not the module's: the box names the port and says what to do.
  TellFromWorker({LostAdvice() + "\r(" + platform::SystemErrorText(error) + ")", "Connection lost",
                  MessageKind::Error});
}

void SerialWorker::TellFromWorker(LinkMessage message) {
  // Told on the tick thread; it must not reach back into the link, which may be gone by then.
  if (tell_) loop_.Post([tell = tell_, message = std::move(message)] { tell(message); });
}

} // namespace vk::link
