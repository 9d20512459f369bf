// The real event loop: Qt timers, a sleep that holds timers and posted calls back, calls posted
// from another thread, and the worker thread's wait.

#include "platform/LinkTestSupport.h"
#include "platform/QtEventLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using vk::platform::IWaitable;
using vk::platform::QtEventLoop;
using vk::platform::WaitResult;

TEST(QtEventLoop, TimersSleepAndPostedCalls) {
  vk::test::App();
  QtEventLoop loop;
  std::vector<std::string> log;
  int ticks = 0;
  auto timer = loop.CreateTimer(2, [&] { ++ticks; });
  timer->SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return ticks >= 3; }, 5000));

  // During a sleep of the tick thread no timer fires and no posted call runs; afterwards an
  // overdue timer fires once and the posted calls run in order.
  const auto loopThread = std::this_thread::get_id();
  std::atomic<int> ranElsewhere{0};
  std::vector<std::function<void()>> calls;
  loop.Post([&] { log.push_back("before sleep"); });
  const int ticksBefore = ticks;
  timer->SetHandler([&] {
    ++ticks;
    timer->SetEnabled(false);
    std::thread other([&] {
      for (int i = 0; i < 3; ++i)
        loop.Post([&, i] {
          if (std::this_thread::get_id() != loopThread) ++ranElsewhere;
          log.push_back("posted " + std::to_string(i));
        });
    });
    other.join();
    loop.Sleep(30);
    log.push_back("slept, ticks " + std::to_string(ticks - ticksBefore));
  });
  ASSERT_TRUE(loop.RunUntil([&] { return log.size() >= 5; }, 5000));
  const std::vector<std::string> expected = {"before sleep", "slept, ticks 1", "posted 0",
                                             "posted 1", "posted 2"};
  EXPECT_EQ(log, expected);
  EXPECT_EQ(ranElsewhere.load(), 0);
  EXPECT_FALSE(timer->Enabled());

  // A timer freed by its own handler.
  std::unique_ptr<vk::platform::ITimer> once;
  bool fired = false;
  once = loop.CreateTimer(1, [&] {
    fired = true;
    once.reset();
  });
  once->SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return fired; }, 5000));
  loop.RunFor(5);
  EXPECT_EQ(once, nullptr);
}

namespace {

class NeverReady : public IWaitable {
public:
  bool HasInput() override { return false; }
};

} // namespace

TEST(QtEventLoop, WorkerWaitsUntilWokenOrTheDeadline) {
  vk::test::App();
  QtEventLoop loop;
  auto worker = loop.CreateWorker();
  NeverReady device;
  // Waiting on a descriptor-less device until the deadline: it ends at (not before) it.
  const auto start = loop.Now();
  EXPECT_EQ(worker->Wait(&device, start + 20), WaitResult::TimedOut);
  EXPECT_GE(loop.Now(), start + 20);
  // A wake given before the wait ends it at once, and only that one wait.
  worker->Wake();
  EXPECT_EQ(worker->Wait(nullptr, loop.Now() + 60000), WaitResult::Woken);
  EXPECT_EQ(worker->Wait(nullptr, loop.Now() + 5), WaitResult::TimedOut);

  // A running worker that waits for a minute is stopped at once by Stop().
  std::atomic<int> steps{0};
  std::atomic<bool> woken{false};
  worker->Start([&] {
    ++steps;
    woken = worker->Wait(nullptr, loop.Now() + 60000) == WaitResult::Woken;
    return true;
  });
  while (steps.load() == 0) std::this_thread::yield();
  worker->Stop();
  EXPECT_TRUE(woken.load());
}
