// The virtual-time scheduler's ordering rules: timers in time order, blocking sleeps that let
// the worker and the devices run but no timer, overdue timers firing once, posted calls, and
// the stepped worker.

#include "platform/SimulatedEventLoop.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

using vk::platform::IWaitable;
using vk::platform::Millis;
using vk::platform::SimulatedEventLoop;
using vk::platform::WaitResult;

namespace {

struct Firing {
  std::string name;
  Millis at;
  bool operator==(const Firing&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Firing& f) { return os << f.name << "@" << f.at; }

} // namespace

TEST(SimulatedEventLoop, TimersFireInTimeOrderOlderTimerFirstOnATie) {
  SimulatedEventLoop loop;
  std::vector<Firing> log;
  auto a = loop.CreateTimer(10, [&] { log.push_back({"A", loop.Now()}); });
  auto b = loop.CreateTimer(15, [&] { log.push_back({"B", loop.Now()}); });
  auto c = loop.CreateTimer(10, [&] { log.push_back({"C", loop.Now()}); });
  auto off = loop.CreateTimer(1, [&] { log.push_back({"off", loop.Now()}); });
  c->SetEnabled(true); // enabled first, but created after A
  a->SetEnabled(true);
  b->SetEnabled(true);
  loop.RunFor(30);
  const std::vector<Firing> expected = {{"A", 10}, {"C", 10}, {"B", 15}, {"A", 20},
                                        {"C", 20}, {"A", 30}, {"B", 30}, {"C", 30}};
  EXPECT_EQ(log, expected);
  EXPECT_EQ(loop.Now(), 30);
  EXPECT_EQ(loop.EnabledTimers(), 3);
}

TEST(SimulatedEventLoop, IntervalAndEnableChanges) {
  SimulatedEventLoop loop;
  std::vector<Millis> fired;
  auto t = loop.CreateTimer(10, [&] { fired.push_back(loop.Now()); });
  t->SetEnabled(true);
  loop.RunFor(7);
  t->SetEnabled(true); // already on: no restart
  t->SetInterval(10);  // unchanged: no restart
  loop.RunFor(3);
  EXPECT_EQ(fired, (std::vector<Millis>{10}));
  loop.RunFor(5);    // now 15
  t->SetInterval(2); // a change restarts: due at 17
  loop.RunFor(4);    // to 19
  EXPECT_EQ(fired, (std::vector<Millis>{10, 17, 19}));
  t->SetEnabled(false);
  loop.RunFor(20);
  EXPECT_EQ(fired.size(), 3u);
  EXPECT_EQ(t->Interval(), 2);
  EXPECT_FALSE(t->Enabled());
}

TEST(SimulatedEventLoop, SleepRunsPollersButNoTimersAndOverdueTimersFireOnce) {
  SimulatedEventLoop loop;
  std::vector<Firing> log;
  std::vector<Millis> polled;
  loop.AddPoller([&](Millis now) { polled.push_back(now); });
  bool slept = false;
  auto a = loop.CreateTimer(10, [&] {
    log.push_back({"A", loop.Now()});
    if (!slept) {
      slept = true;
      loop.Sleep(25); // the tick thread blocks from 10 to 35
      log.push_back({"A woke", loop.Now()});
    }
  });
  auto b = loop.CreateTimer(10, [&] { log.push_back({"B", loop.Now()}); });
  a->SetEnabled(true);
  b->SetEnabled(true);
  loop.RunFor(50);
  // B was due at 10 and A again at 20; after the sleep each fires once, in due order, and then
  // both keep their interval from 35.
  const std::vector<Firing> expected = {{"A", 10}, {"A woke", 35}, {"B", 35},
                                        {"A", 35}, {"A", 45},      {"B", 45}};
  EXPECT_EQ(log, expected);
  // The poller ran at every millisecond, the sleep included.
  ASSERT_EQ(polled.size(), 50u);
  for (std::size_t i = 0; i < polled.size(); ++i) EXPECT_EQ(polled[i], static_cast<Millis>(i + 1));
}

TEST(SimulatedEventLoop, PostedCallsRunInOrderOnTheLoopThreadButNotInsideASleep) {
  SimulatedEventLoop loop;
  std::vector<std::string> log;
  const auto loopThread = std::this_thread::get_id();
  bool onLoopThread = true;
  std::thread other([&] {
    for (int i = 0; i < 3; ++i)
      loop.Post([&, i] {
        onLoopThread = onLoopThread && std::this_thread::get_id() == loopThread;
        log.push_back("posted " + std::to_string(i));
      });
  });
  other.join();
  std::unique_ptr<vk::platform::ITimer> sleeper;
  sleeper = loop.CreateTimer(5, [&] {
    sleeper->SetEnabled(false);
    loop.Post([&] { log.push_back("posted in handler at " + std::to_string(loop.Now())); });
    log.push_back("sleep from " + std::to_string(loop.Now()));
    loop.Sleep(20);
    log.push_back("sleep until " + std::to_string(loop.Now()));
  });
  sleeper->SetEnabled(true);
  loop.RunFor(5); // the handler's sleep carries the run to 25
  EXPECT_EQ(loop.Now(), 25);
  loop.RunFor(1);
  const std::vector<std::string> expected = {"posted 0",       "posted 1",
                                             "posted 2",       "sleep from 5",
                                             "sleep until 25", "posted in handler at 25"};
  EXPECT_EQ(log, expected);
  EXPECT_TRUE(onLoopThread);
}

TEST(SimulatedEventLoop, HandlersMayReplaceOrDestroyTheirTimer) {
  SimulatedEventLoop loop;
  std::vector<std::string> log;
  std::unique_ptr<vk::platform::ITimer> once;
  once = loop.CreateTimer(3, [&] {
    log.push_back("once");
    once.reset(); // a timer freed by its own handler
  });
  once->SetEnabled(true);
  std::unique_ptr<vk::platform::ITimer> swap;
  swap = loop.CreateTimer(4, [&] {
    log.push_back("first");
    swap->SetHandler([&] { log.push_back("second"); });
  });
  swap->SetEnabled(true);
  loop.RunFor(12);
  EXPECT_EQ(log, (std::vector<std::string>{"once", "first", "second", "second"}));
  EXPECT_EQ(loop.EnabledTimers(), 1);
}

TEST(SimulatedEventLoop, RunUntilStopsWhenDoneOrAtTheLimit) {
  SimulatedEventLoop loop;
  int ticks = 0;
  auto t = loop.CreateTimer(10, [&] { ++ticks; });
  t->SetEnabled(true);
  EXPECT_TRUE(loop.RunUntil([&] { return ticks == 3; }, 1000));
  EXPECT_EQ(loop.Now(), 30);
  EXPECT_FALSE(loop.RunUntil([] { return false; }, 25));
  EXPECT_EQ(loop.Now(), 55);
}

namespace {

class Inbox : public IWaitable {
public:
  bool HasInput() override { return pending > 0; }
  int pending = 0;
};

} // namespace

TEST(SimulatedEventLoop, WorkerIsSteppedInVirtualTime) {
  SimulatedEventLoop loop;
  auto worker = loop.CreateWorker();
  Inbox inbox;
  std::vector<Firing> log;
  Millis deadline = 10;
  worker->Start([&] {
    switch (worker->Wait(&inbox, deadline)) {
    case WaitResult::Readable:
      --inbox.pending;
      log.push_back({"byte", loop.Now()});
      return true;
    case WaitResult::Woken:
      log.push_back({"woken", loop.Now()});
      return true;
    case WaitResult::TimedOut:
      log.push_back({"timeout", loop.Now()});
      deadline = loop.Now() + 10;
      return loop.Now() < 40; // ends itself at 40
    case WaitResult::NotYet:
      return true;
    }
    return true;
  });
  loop.RunFor(12);
  inbox.pending = 3; // three bytes at once: all taken in the next millisecond
  loop.RunFor(1);
  worker->Wake();
  loop.RunFor(1);
  // The tick thread sleeps; the worker goes on.
  auto sleeper = loop.CreateTimer(1, [&] { loop.Sleep(30); });
  sleeper->SetEnabled(true);
  loop.RunFor(1);
  sleeper->SetEnabled(false);
  loop.RunFor(20);
  const std::vector<Firing> expected = {{"timeout", 10}, {"byte", 13},   {"byte", 13},
                                        {"byte", 13},    {"woken", 14},  {"timeout", 20},
                                        {"timeout", 30}, {"timeout", 40}};
  EXPECT_EQ(log, expected);
  // Ended by its step: no more calls.
  loop.RunFor(50);
  EXPECT_EQ(log.size(), expected.size());
}

// Skipping idle milliseconds changes when nothing happens, only how fast the run gets there: a
// timer that sleeps, a device poller that says when it is next due and feeds the worker, and a
// worker waiting with deadlines log the same times either way.
TEST(SimulatedEventLoop, SkippingIdleTimeKeepsEveryEventAtItsTime) {
  struct Run {
    std::vector<Firing> log;
    int pollerCalls = 0;
  };
  auto scenario = [](bool skip) {
    Run run;
    SimulatedEventLoop loop;
    loop.SetSkipIdle(skip);
    Inbox inbox;
    std::vector<Millis> deviceDue = {37, 420, 1999};
    loop.AddPoller(
        [&](Millis now) {
          ++run.pollerCalls;
          if (!deviceDue.empty() && now >= deviceDue.front()) {
            deviceDue.erase(deviceDue.begin());
            run.log.push_back({"device", now});
            ++inbox.pending;
          }
        },
        [&]() -> std::optional<Millis> {
          if (deviceDue.empty()) return std::nullopt;
          return deviceDue.front();
        });
    auto worker = loop.CreateWorker();
    Millis deadline = 333;
    worker->Start([&] {
      switch (worker->Wait(&inbox, deadline)) {
      case WaitResult::Readable:
        --inbox.pending;
        run.log.push_back({"byte", loop.Now()});
        return true;
      case WaitResult::TimedOut:
        run.log.push_back({"timeout", loop.Now()});
        deadline = loop.Now() + 333;
        return true;
      default:
        return true;
      }
    });
    auto timer = loop.CreateTimer(100, [&] {
      run.log.push_back({"timer", loop.Now()});
      if (loop.Now() == 300) loop.Sleep(250);
    });
    timer->SetEnabled(true);
    EXPECT_TRUE(loop.RunUntil([&] { return deviceDue.empty(); }, 5000));
    loop.RunFor(500);
    return run;
  };
  const Run stepped = scenario(false);
  const Run skipped = scenario(true);
  EXPECT_EQ(skipped.log, stepped.log);
  EXPECT_EQ(stepped.log.front(), (Firing{"device", 37}));
  EXPECT_EQ(stepped.pollerCalls, 2499);
  EXPECT_LT(skipped.pollerCalls, 200);
}
