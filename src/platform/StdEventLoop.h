#pragma once
// The real event loop on the standard library alone, for vkprog built without Qt (always on
// Windows): timers, posted calls and sleeps on the thread that runs it, the worker on a
// std::thread. It runs only inside RunFor/RunUntil, which is all vkprog needs.

#include "platform/EventLoop.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace vk::platform {

class StdEventLoop : public IEventLoop {
public:
  StdEventLoop();
  ~StdEventLoop() override;
  StdEventLoop(const StdEventLoop&) = delete;
  StdEventLoop& operator=(const StdEventLoop&) = delete;

  std::unique_ptr<ITimer> CreateTimer(int intervalMs, std::function<void()> handler) override;
  // Blocks the tick thread: no timers and no posted calls run meanwhile; a timer that fell due
  // fires once afterwards.
  void Sleep(int ms) override;
  Millis Now() const override;
  std::int64_t NowMicros() const override;
  void Post(std::function<void()> fn) override;
  std::unique_ptr<IWorker> CreateWorker() override;

  // Runs timers and posted calls for ms milliseconds.
  void RunFor(int ms);
  // Runs them until done() holds (looked at every millisecond, and after each handler) or
  // timeoutMs have passed; returns done().
  bool RunUntil(const std::function<bool()>& done, int timeoutMs);

  struct TimerState;

private:
  // Runs what is due; returns the time of the next timer (or a far time).
  Millis RunDue();

  std::chrono::steady_clock::time_point start_;
  std::vector<std::shared_ptr<TimerState>> timers_; // the loop thread's alone
  std::mutex postMutex_;
  std::condition_variable posted_cv_;
  std::deque<std::function<void()>> posted_;
};

} // namespace vk::platform
