#include "platform/SimulatedEventLoop.h"

#include <algorithm>
#include <stdexcept>

namespace vk::platform {

struct SimulatedEventLoop::TimerRecord {
  int interval = 0;
  bool enabled = false;
  Millis due = 0;
  std::uint64_t seq = 0;
  std::function<void()> handler;
};

class SimulatedEventLoop::Timer : public ITimer {
public:
  Timer(SimulatedEventLoop& loop, std::shared_ptr<TimerRecord> record)
      : loop_(loop), record_(std::move(record)) {}
  ~Timer() override {
    auto& timers = loop_.timers_;
    timers.erase(std::remove(timers.begin(), timers.end(), record_), timers.end());
  }

  void SetInterval(int ms) override {
    if (ms == record_->interval) return;
    record_->interval = ms;
    if (record_->enabled) Arm();
  }
  int Interval() const override { return record_->interval; }
  void SetEnabled(bool on) override {
    if (on == record_->enabled) return;
    record_->enabled = on;
    if (on) Arm();
  }
  bool Enabled() const override { return record_->enabled; }
  void SetHandler(std::function<void()> handler) override { record_->handler = std::move(handler); }

private:
  void Arm() { record_->due = loop_.Now() + std::max(1, record_->interval); }

  SimulatedEventLoop& loop_;
  std::shared_ptr<TimerRecord> record_;
};

class SimulatedEventLoop::Worker : public IWorker {
public:
  explicit Worker(SimulatedEventLoop& loop) : loop_(loop) {}
  ~Worker() override { Stop(); }

  void Start(std::function<bool()> step) override {
    Stop();
    step_ = std::move(step);
    running_ = true;
    pollerId_ = loop_.AddPoller([this](Millis) { RunSteps(); }, [this] { return NextDue(); });
  }
  void Stop() override {
    running_ = false;
    if (pollerId_ != 0) loop_.RemovePoller(pollerId_);
    pollerId_ = 0;
  }
  WaitResult Wait(IWaitable* what, Millis deadline) override {
    if (what != nullptr && what->HasInput()) return WaitResult::Readable;
    if (woken_.exchange(false)) return WaitResult::Woken;
    if (loop_.Now() >= deadline) return WaitResult::TimedOut;
    notYet_ = true;
    waitingFor_ = what;
    waitDeadline_ = deadline;
    return WaitResult::NotYet;
  }
  void Wake() override { woken_ = true; }

private:
  // Steps until the body waits for something that has not happened yet in this millisecond.
  void RunSteps() {
    constexpr int kMaxStepsPerMillisecond = 100000; // a body that never waits must not hang us
    waiting_ = false;
    for (int i = 0; i < kMaxStepsPerMillisecond && running_; ++i) {
      notYet_ = false;
      if (!step_()) {
        Stop();
        return;
      }
      if (notYet_) {
        waiting_ = true;
        return;
      }
    }
  }
  // The body runs again when its input or a wake-up comes, or at its deadline.
  std::optional<Millis> NextDue() const {
    if (!running_ || !waiting_ || woken_.load() ||
        (waitingFor_ != nullptr && waitingFor_->HasInput()))
      return loop_.Now() + 1;
    return waitDeadline_;
  }

  SimulatedEventLoop& loop_;
  std::function<bool()> step_;
  bool running_ = false;
  bool notYet_ = false;
  bool waiting_ = false; // the last round ended in a wait that had not come true
  IWaitable* waitingFor_ = nullptr;
  Millis waitDeadline_ = 0;
  std::atomic<bool> woken_{false};
  int pollerId_ = 0;
};

SimulatedEventLoop::SimulatedEventLoop(Millis start) : now_(start) {}
SimulatedEventLoop::~SimulatedEventLoop() = default;

std::unique_ptr<ITimer> SimulatedEventLoop::CreateTimer(int intervalMs,
                                                        std::function<void()> handler) {
  auto record = std::make_shared<TimerRecord>();
  record->interval = intervalMs;
  record->handler = std::move(handler);
  record->seq = nextSeq_++;
  timers_.push_back(record);
  return std::make_unique<Timer>(*this, std::move(record));
}

void SimulatedEventLoop::Sleep(int ms) {
  ++sleepDepth_;
  const Millis end = now_.load() + ms;
  while (now_.load() < end) {
    now_ = IdleUntil(end - 1, true);
    Tick(true);
  }
  --sleepDepth_;
}

void SimulatedEventLoop::Post(std::function<void()> fn) {
  std::lock_guard lock(postMutex_);
  posted_.push_back(std::move(fn));
}

std::unique_ptr<IWorker> SimulatedEventLoop::CreateWorker() {
  return std::make_unique<Worker>(*this);
}

void SimulatedEventLoop::RunFor(Millis ms) {
  if (sleepDepth_ > 0) throw std::logic_error("RunFor inside a blocking Sleep");
  runTarget_ = now_.load() + ms;
  RunPosted();
  FireDueTimers();
  while (now_.load() < runTarget_) {
    now_ = IdleUntil(runTarget_ - 1, false);
    Tick(false);
  }
}

bool SimulatedEventLoop::RunUntil(const std::function<bool()>& done, Millis limitMs) {
  if (sleepDepth_ > 0) throw std::logic_error("RunUntil inside a blocking Sleep");
  runTarget_ = now_.load() + limitMs;
  RunPosted();
  FireDueTimers();
  while (now_.load() < runTarget_) {
    if (done()) return true;
    now_ = IdleUntil(runTarget_ - 1, false);
    Tick(false);
  }
  return done();
}

int SimulatedEventLoop::AddPoller(std::function<void(Millis)> poller) {
  return AddPoller(std::move(poller), {});
}

int SimulatedEventLoop::AddPoller(std::function<void(Millis)> poller,
                                  std::function<std::optional<Millis>()> nextDue) {
  const int id = nextPollerId_++;
  pollers_.push_back({id, std::move(poller), std::move(nextDue)});
  return id;
}

Millis SimulatedEventLoop::IdleUntil(Millis limit, bool sleeping) {
  const Millis now = now_.load();
  if (!skipIdle_ || limit <= now) return now;
  if (!sleeping) {
    std::lock_guard lock(postMutex_);
    if (!posted_.empty()) return now;
  }
  Millis next = limit + 1; // the first millisecond something happens at
  for (const auto& p : pollers_) {
    if (!p.nextDue) return now;
    if (const auto due = p.nextDue()) next = std::min(next, *due);
  }
  if (!sleeping)
    for (const auto& t : timers_)
      if (t->enabled) next = std::min(next, t->due);
  return std::max(now, next - 1);
}

void SimulatedEventLoop::RemovePoller(int id) {
  pollers_.erase(std::remove_if(pollers_.begin(), pollers_.end(),
                                [id](const Poller& p) { return p.id == id; }),
                 pollers_.end());
}

int SimulatedEventLoop::EnabledTimers() const {
  return static_cast<int>(
      std::count_if(timers_.begin(), timers_.end(), [](const auto& t) { return t->enabled; }));
}

void SimulatedEventLoop::Tick(bool sleeping) {
  ++now_;
  if (!sleeping) RunPosted();
  RunPollers();
  if (sleeping) return;
  RunPosted(); // what the devices and the worker posted is acted on in the same millisecond
  FireDueTimers();
}

void SimulatedEventLoop::RunPosted() {
  for (;;) {
    std::function<void()> fn;
    {
      std::lock_guard lock(postMutex_);
      if (posted_.empty()) return;
      fn = std::move(posted_.front());
      posted_.pop_front();
    }
    fn();
  }
}

void SimulatedEventLoop::RunPollers() {
  // A poller may add or remove pollers; those removed in this round are not called.
  std::vector<int> ids;
  ids.reserve(pollers_.size());
  for (const auto& p : pollers_) ids.push_back(p.id);
  const Millis now = now_.load();
  for (int id : ids) {
    auto it = std::find_if(pollers_.begin(), pollers_.end(),
                           [id](const Poller& p) { return p.id == id; });
    if (it == pollers_.end()) continue;
    auto fn = it->fn; // the poller may remove itself while it runs
    fn(now);
  }
}

void SimulatedEventLoop::FireDueTimers() {
  const Millis start = now_.load();
  for (;;) {
    const Millis now = now_.load();
    // A handler that slept past the end of this run leaves the rest for the next run (a timer
    // whose handler always sleeps longer than its interval would otherwise never let go).
    if (now > start && now >= runTarget_) return;
    std::shared_ptr<TimerRecord> next;
    for (const auto& t : timers_) {
      if (!t->enabled || t->due > now) continue;
      if (!next || t->due < next->due || (t->due == next->due && t->seq < next->seq)) next = t;
    }
    if (!next) return;
    next->due = now + std::max(1, next->interval);
    auto handler = next->handler; // the handler may replace itself or destroy its timer
    if (handler) handler();
  }
}

} // namespace vk::platform
