#include "platform/StdEventLoop.h"

#include "platform/ThreadWorker.h"

#include <algorithm>
#include <limits>
#include <thread>

#ifdef _WIN32
#include <windows.h>
// timeBeginPeriod lives in winmm; declared here so that mmsystem.h's macros stay out.
extern "C" __declspec(dllimport) unsigned __stdcall timeBeginPeriod(unsigned);
extern "C" __declspec(dllimport) unsigned __stdcall timeEndPeriod(unsigned);
#endif

namespace vk::platform {

struct StdEventLoop::TimerState {
  int interval = 0;
  bool enabled = false;
  bool alive = true;
  Millis due = 0;
  std::function<void()> handler;
};

namespace {

class StdTimer : public ITimer {
public:
  StdTimer(StdEventLoop& loop, std::shared_ptr<StdEventLoop::TimerState> state)
      : loop_(loop), state_(std::move(state)) {}
  ~StdTimer() override { state_->alive = false; }

  void SetInterval(int ms) override {
    if (ms == state_->interval) return;
    state_->interval = ms;
    if (state_->enabled) state_->due = loop_.Now() + ms;
  }
  int Interval() const override { return state_->interval; }
  void SetEnabled(bool on) override {
    if (on == state_->enabled) return;
    state_->enabled = on;
    if (on) state_->due = loop_.Now() + state_->interval;
  }
  bool Enabled() const override { return state_->enabled; }
  void SetHandler(std::function<void()> handler) override { state_->handler = std::move(handler); }

private:
  StdEventLoop& loop_;
  std::shared_ptr<StdEventLoop::TimerState> state_;
};

constexpr Millis kFar = std::numeric_limits<Millis>::max() / 2;

} // namespace

StdEventLoop::StdEventLoop() : start_(std::chrono::steady_clock::now()) {
#ifdef _WIN32
  timeBeginPeriod(1); // waits of a millisecond, not of the default 15.6 ms tick
#endif
}

StdEventLoop::~StdEventLoop() {
#ifdef _WIN32
  timeEndPeriod(1);
#endif
}

std::unique_ptr<ITimer> StdEventLoop::CreateTimer(int intervalMs, std::function<void()> handler) {
  auto state = std::make_shared<TimerState>();
  state->interval = intervalMs;
  state->handler = std::move(handler);
  timers_.push_back(state);
  return std::make_unique<StdTimer>(*this, std::move(state));
}

void StdEventLoop::Sleep(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::int64_t StdEventLoop::NowMicros() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

Millis StdEventLoop::Now() const { return NowMicros() / 1000; }

void StdEventLoop::Post(std::function<void()> fn) {
  {
    std::lock_guard lock(postMutex_);
    posted_.push_back(std::move(fn));
  }
  posted_cv_.notify_one();
}

std::unique_ptr<IWorker> StdEventLoop::CreateWorker() {
  return std::make_unique<ThreadWorker>([this] { return NowMicros(); });
}

Millis StdEventLoop::RunDue() {
  for (;;) {
    std::function<void()> fn;
    {
      std::lock_guard lock(postMutex_);
      if (posted_.empty()) break;
      fn = std::move(posted_.front());
      posted_.pop_front();
    }
    fn();
  }
  std::erase_if(timers_, [](const auto& t) { return !t->alive; });
  // The earliest due timer first; each fires at most once per pass, and an overdue one (after a
  // sleep) once, its next time counted from now.
  auto pending = timers_;
  std::stable_sort(pending.begin(), pending.end(),
                   [](const auto& a, const auto& b) { return a->due < b->due; });
  for (const auto& t : pending) {
    const Millis now = Now();
    if (!t->alive || !t->enabled || t->due > now) continue;
    t->due += std::max(t->interval, 1);
    if (t->due <= now) t->due = now + std::max(t->interval, 1);
    auto handler = t->handler; // the handler may replace itself or destroy its timer
    if (handler) handler();
  }
  Millis next = kFar;
  for (const auto& t : timers_)
    if (t->alive && t->enabled) next = std::min(next, t->due);
  return next;
}

void StdEventLoop::RunFor(int ms) {
  RunUntil([] { return false; }, ms);
}

bool StdEventLoop::RunUntil(const std::function<bool()>& done, int timeoutMs) {
  const Millis deadline = Now() + std::max(timeoutMs, 0);
  for (;;) {
    const Millis next = RunDue();
    if (done()) return true;
    const Millis now = Now();
    if (now >= deadline) return false;
    const Millis until = std::min({next, deadline, now + 1});
    std::unique_lock lock(postMutex_);
    posted_cv_.wait_for(lock, std::chrono::milliseconds(std::max<Millis>(until - now, 0)),
                        [this] { return !posted_.empty(); });
  }
}

} // namespace vk::platform
