#pragma once
// The real event loop: Qt's, on the thread that creates it (the window's, or vkprog's main
// thread). Timers are QTimers; the worker runs on a std::thread. A QCoreApplication (or
// QApplication) must exist before the loop is made. QtCore only.

#include "platform/EventLoop.h"

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class QObject;
class QSocketNotifier;

namespace vk::platform {

class QtEventLoop : public IEventLoop {
public:
  QtEventLoop();
  ~QtEventLoop() override;
  QtEventLoop(const QtEventLoop&) = delete;
  QtEventLoop& operator=(const QtEventLoop&) = delete;

  std::unique_ptr<ITimer> CreateTimer(int intervalMs, std::function<void()> handler) override;
  // Holds the engine for ms while the window lives on: Qt's own loop turns meanwhile (painting,
  // input, sockets, timers that are not this loop's), but this loop's timers and posted calls
  // wait until the outermost sleep has returned to the loop; an overdue timer then fires once.
  // A window command arriving meanwhile must not reach the engine mid-step: see Sleeping().
  void Sleep(int ms) override;
  bool Sleeping() const override { return sleepDepth_ > 0; }
  Millis Now() const override;
  std::int64_t NowMicros() const override;
  void Post(std::function<void()> fn) override;
  std::unique_ptr<IWorker> CreateWorker() override;

  // Runs Qt's event loop for ms milliseconds (vkprog, tests).
  void RunFor(int ms);
  // Runs Qt's event loop until done() holds (looked at after every turn of the loop, and every
  // kRunUntilLookMs) or timeoutMs have passed; returns done().
  bool RunUntil(const std::function<bool()>& done, int timeoutMs);
  static constexpr int kRunUntilLookMs = 100;

private:
  friend class QtLoopTimer;
  void RunPosted();
  void SchedulePosted();
  // Fires the timers that fell due during a sleep, once each, from the loop itself.
  void FireHeld();
  void Hold(std::weak_ptr<std::function<void()>> fire);

  std::chrono::steady_clock::time_point start_;
  std::unique_ptr<QObject> context_; // lives on the loop's thread
  int wakeFd_ = -1;                  // signalled by Post
  std::unique_ptr<QSocketNotifier> notifier_;
  std::mutex postMutex_;
  std::deque<std::function<void()>> posted_;
  int sleepDepth_ = 0;
  bool drainDeferred_ = false;
  std::vector<std::weak_ptr<std::function<void()>>> held_; // timers that fell due in a sleep
};

} // namespace vk::platform
