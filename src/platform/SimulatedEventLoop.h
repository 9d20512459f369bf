#pragma once
// A deterministic virtual-time scheduler for tests and the simulated world. Time moves only in
// RunFor/RunUntil and in blocking sleeps of the tick thread, one millisecond at a time. At each
// millisecond, in this order:
//   1. calls posted with Post, in the order posted (not during a blocking Sleep);
//   2. pollers, in the order added: device models and the stepped worker (also during Sleep);
//   3. calls the pollers posted (not during a blocking Sleep), so that a line that arrives is
//      acted on in the millisecond it arrives in, as the real loop wakes for it at once;
//   4. due timers in time order (equal times: the older timer first). A timer that fires is due
//      again one interval later, counted from the moment it fired; a handler that sleeps lets
//      other timers fall overdue, and each overdue timer then fires once.
// Everything runs on the thread that calls RunFor; only Post and IWorker::Wake may come from
// other threads.

#include "platform/EventLoop.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace vk::platform {

class SimulatedEventLoop : public IEventLoop {
public:
  explicit SimulatedEventLoop(Millis start = 0);
  ~SimulatedEventLoop() override;
  SimulatedEventLoop(const SimulatedEventLoop&) = delete;
  SimulatedEventLoop& operator=(const SimulatedEventLoop&) = delete;

  std::unique_ptr<ITimer> CreateTimer(int intervalMs, std::function<void()> handler) override;
  void Sleep(int ms) override;
  Millis Now() const override { return now_.load(); }
  void Post(std::function<void()> fn) override;
  std::unique_ptr<IWorker> CreateWorker() override;

  // Lets ms of virtual time pass (posted calls and overdue timers first). A timer handler that
  // sleeps past the end lets the run end later.
  void RunFor(Millis ms);
  // Lets time pass until done() holds (checked before each millisecond) or limitMs have
  // passed; returns done().
  bool RunUntil(const std::function<bool()>& done, Millis limitMs);

  // poller(now) is called at every millisecond, also while the tick thread sleeps.
  int AddPoller(std::function<void(Millis now)> poller);
  // The same for a poller that can say when it next has work: nextDue() gives the earliest
  // millisecond it must run at (none: only when something else happens first).
  int AddPoller(std::function<void(Millis now)> poller,
                std::function<std::optional<Millis>()> nextDue);
  // With skipping on, milliseconds in which nothing can happen pass at once: no call posted, no
  // timer due, and every poller (the stepped worker included) saying it has nothing to do yet.
  // What runs, and when, is the same as without; only faster over long waits. Off by default:
  // a poller added without nextDue keeps every millisecond anyway.
  void SetSkipIdle(bool on) { skipIdle_ = on; }
  // Safe from within a poller.
  void RemovePoller(int id);

  // How many timers are enabled (tests check that nothing is left running).
  int EnabledTimers() const;

  struct TimerRecord; // internal

private:
  class Timer;
  class Worker;
  struct Poller {
    int id;
    std::function<void(Millis)> fn;
    std::function<std::optional<Millis>()> nextDue; // empty: due every millisecond
  };
  // The last millisecond before anything can happen, at most `limit`; now when something may
  // happen at the next one.
  Millis IdleUntil(Millis limit, bool sleeping);

  void Tick(bool sleeping);
  void RunPosted();
  void RunPollers();
  void FireDueTimers();

  std::atomic<Millis> now_;
  std::uint64_t nextSeq_ = 0;
  std::vector<std::shared_ptr<TimerRecord>> timers_;
  std::vector<Poller> pollers_;
  int nextPollerId_ = 1;
  int sleepDepth_ = 0;
  Millis runTarget_ = 0; // where the current RunFor/RunUntil ends
  bool skipIdle_ = false;
  std::mutex postMutex_;
  std::deque<std::function<void()>> posted_;
};

} // namespace vk::platform
