#include "platform/QtEventLoop.h"

#include "platform/ThreadWorker.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#ifndef _WIN32
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include <stdexcept>
#include <thread>

namespace vk::platform {

// One of the loop's timers. While the loop sleeps its timeouts are held: the first one makes the
// timer due, and the loop fires it once when the outermost sleep has returned.
class QtLoopTimer : public ITimer {
public:
  QtLoopTimer(QtEventLoop& loop, int intervalMs, std::function<void()> handler)
      : state_(std::make_shared<State>()), timer_(new QTimer) {
    state_->handler = std::move(handler);
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setInterval(intervalMs);
    QTimer* timer = timer_;
    fire_ = std::make_shared<std::function<void()>>([state = state_, timer] {
      state->held = false;
      if (timer->isActive()) Fire(*state); // stopped meanwhile: no longer due
    });
    QObject::connect(timer_, &QTimer::timeout,
                     [loop = &loop, state = state_, fire = std::weak_ptr(fire_)] {
                       if (!loop->Sleeping()) {
                         Fire(*state);
                       } else if (!state->held) {
                         state->held = true;
                         loop->Hold(fire);
                       }
                     });
  }
  ~QtLoopTimer() override {
    timer_->stop();
    // Destroyed by its own handler: Qt is still inside the QTimer's event, so let it finish.
    if (state_->firing)
      timer_->deleteLater();
    else
      delete timer_;
  }

  void SetInterval(int ms) override {
    if (ms != timer_->interval()) timer_->setInterval(ms); // restarts a running timer
  }
  int Interval() const override { return timer_->interval(); }
  void SetEnabled(bool on) override {
    if (on == timer_->isActive()) return;
    if (on)
      timer_->start();
    else
      timer_->stop();
  }
  bool Enabled() const override { return timer_->isActive(); }
  void SetHandler(std::function<void()> handler) override { state_->handler = std::move(handler); }

private:
  struct State {
    std::function<void()> handler;
    bool firing = false;
    bool held = false; // fell due during a sleep, not fired yet
  };
  static void Fire(State& state) {
    auto handler = state.handler; // the handler may replace itself
    state.firing = true;
    if (handler) handler();
    state.firing = false;
  }
  std::shared_ptr<State> state_;
  QTimer* timer_;
  std::shared_ptr<std::function<void()>> fire_;
};

QtEventLoop::QtEventLoop() : start_(std::chrono::steady_clock::now()) {
  if (QCoreApplication::instance() == nullptr)
    throw std::logic_error("QtEventLoop needs a QCoreApplication made before it");
  context_ = std::make_unique<QObject>();
#ifndef _WIN32
  // Posted calls wake the loop through an eventfd rather than a Qt call from the other thread:
  // the queue itself is guarded by our own mutex, so no Qt object is shared between threads.
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) throw std::runtime_error("eventfd failed");
  notifier_ = std::make_unique<QSocketNotifier>(wakeFd_, QSocketNotifier::Read, context_.get());
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, context_.get(),
                   [this] { RunPosted(); });
#endif
}

QtEventLoop::~QtEventLoop() {
#ifndef _WIN32
  notifier_.reset();
  ::close(wakeFd_);
#endif
}

std::unique_ptr<ITimer> QtEventLoop::CreateTimer(int intervalMs, std::function<void()> handler) {
  return std::make_unique<QtLoopTimer>(*this, intervalMs, std::move(handler));
}

void QtEventLoop::Sleep(int ms) {
  if (ms <= 0) return;
  if (QCoreApplication::instance() == nullptr || QThread::currentThread() != context_->thread()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return;
  }
  ++sleepDepth_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  QEventLoop nested;
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  bool woken = false;
  QObject::connect(&wake, &QTimer::timeout, &nested, [&] {
    woken = true;
    nested.quit();
  });
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    woken = false;
    wake.start(static_cast<int>(left.count()));
    nested.exec();
    if (!woken) { // the application is quitting: its loops no longer run, so just wait
      wake.stop();
      std::this_thread::sleep_until(deadline);
      break;
    }
  }
  --sleepDepth_;
  if (sleepDepth_ > 0) return;
  if (drainDeferred_) {
    drainDeferred_ = false;
    SchedulePosted();
  }
  if (!held_.empty())
    QMetaObject::invokeMethod(
        context_.get(), [this] { FireHeld(); }, Qt::QueuedConnection);
}

void QtEventLoop::Hold(std::weak_ptr<std::function<void()>> fire) {
  held_.push_back(std::move(fire));
}

void QtEventLoop::FireHeld() {
  if (sleepDepth_ > 0) return; // inside another sleep: its end schedules this again
  auto due = std::move(held_);
  held_.clear();
  for (const auto& weak : due)
    if (const auto fire = weak.lock()) (*fire)();
}

std::int64_t QtEventLoop::NowMicros() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

Millis QtEventLoop::Now() const { return NowMicros() / 1000; }

void QtEventLoop::Post(std::function<void()> fn) {
  {
    std::lock_guard lock(postMutex_);
    posted_.push_back(std::move(fn));
  }
  SchedulePosted();
}

void QtEventLoop::SchedulePosted() {
#ifdef _WIN32
  // No eventfd on Windows: a queued call to the loop's own object.
  QMetaObject::invokeMethod(
      context_.get(), [this] { RunPosted(); }, Qt::QueuedConnection);
#else
  ::eventfd_write(wakeFd_, 1);
#endif
}

void QtEventLoop::RunPosted() {
#ifndef _WIN32
  eventfd_t count = 0;
  ::eventfd_read(wakeFd_, &count);
#endif
  if (sleepDepth_ > 0) { // not inside a sleeping handler: once it has returned
    drainDeferred_ = true;
    return;
  }
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

std::unique_ptr<IWorker> QtEventLoop::CreateWorker() {
  return std::make_unique<ThreadWorker>([this] { return NowMicros(); });
}

void QtEventLoop::RunFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

bool QtEventLoop::RunUntil(const std::function<bool()>& done, int timeoutMs) {
  if (done()) return true;
  QEventLoop loop;
  // Looked at whenever the loop has handled what woke it, rather than by a fast timer that
  // would wake the process a thousand times a second; the slow timer catches a change made by
  // another thread while nothing else happens here.
  auto look = [&] {
    if (done()) loop.quit();
  };
  QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                   &loop, look);
  QTimer slow;
  slow.setInterval(kRunUntilLookMs);
  QObject::connect(&slow, &QTimer::timeout, &loop, look);
  slow.start();
  QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
  loop.exec();
  return done();
}

} // namespace vk::platform
