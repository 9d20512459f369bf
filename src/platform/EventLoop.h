#pragma once
// Time as the engine sees it: periodic timers, a blocking sleep of the tick thread, a
// millisecond clock, calls handed to the tick thread from elsewhere, and the runner of the one
// worker (the serial link's). The window and vkprog run on Qt's event loop (QtEventLoop.h);
// tests run on a deterministic virtual-time scheduler (SimulatedEventLoop.h) in which a
// protocol's sleeps cost no wall clock and the worker is stepped in virtual time.

#include <cstdint>
#include <functional>
#include <memory>

namespace vk::platform {

using Millis = std::int64_t;

class ITimer {
public:
  virtual ~ITimer() = default;
  // A changed interval restarts an enabled timer; the same interval changes nothing.
  virtual void SetInterval(int ms) = 0;
  virtual int Interval() const = 0;
  // Enabling an enabled timer changes nothing.
  virtual void SetEnabled(bool on) = 0;
  virtual bool Enabled() const = 0;
  // Replaces the handler; it runs on the loop's thread each time the timer fires. A handler may
  // change or destroy its own timer.
  virtual void SetHandler(std::function<void()> handler) = 0;
};

// Something a worker can wait on: a serial device, for one.
class IWaitable {
public:
  virtual ~IWaitable() = default;
  // A descriptor that poll() reports readable when input is waiting; -1 when there is none.
  virtual int PollHandle() const { return -1; }
  // True when a read would return at once (a byte, or the failure of a hung-up device).
  virtual bool HasInput() = 0;
};

enum class WaitResult {
  Readable, // the waited-on device has input
  Woken,    // IWorker::Wake was called
  TimedOut, // the deadline has passed
  NotYet,   // virtual time only: none of these yet; return from the step, it is called again
};

// The runner of a worker's loop body. In real time the body runs on a thread of its own; in
// virtual time the scheduler calls it at every millisecond (and again while it makes progress),
// so the same body serves both.
class IWorker {
public:
  virtual ~IWorker() = default; // stops the worker
  // Calls step again and again until it returns false or Stop() is called.
  virtual void Start(std::function<bool()> step) = 0;
  // Ends the worker after its current step and waits for that. Not from the step itself.
  virtual void Stop() = 0;
  // From the step: waits until what has input, Wake() is called, or the loop's clock reaches
  // deadline. what may be null. Virtual time never blocks: it answers NotYet instead.
  virtual WaitResult Wait(IWaitable* what, Millis deadline) = 0;
  // As Wait, to the microsecond of the loop's NowMicros (virtual time: whole milliseconds).
  virtual WaitResult WaitMicros(IWaitable* what, std::int64_t deadlineUs) {
    return Wait(what, (deadlineUs + 999) / 1000);
  }
  // Any thread: ends the current or the next Wait early.
  virtual void Wake() = 0;
};

class IEventLoop {
public:
  virtual ~IEventLoop() = default;
  // A new timer, disabled until SetEnabled(true).
  virtual std::unique_ptr<ITimer> CreateTimer(int intervalMs, std::function<void()> handler) = 0;
  // Blocks the calling (tick) thread; timers of that thread do not fire meanwhile and an
  // overdue timer fires once afterwards, as window timers coalesce. The worker goes on.
  virtual void Sleep(int ms) = 0;
  // Milliseconds on a monotonic clock. Any thread may read it.
  virtual Millis Now() const = 0;
  // The same clock in microseconds (Now() is this divided by 1000). Virtual time moves in whole
  // milliseconds.
  virtual std::int64_t NowMicros() const { return Now() * 1000; }
  // Any thread: runs fn on the tick thread soon, in the order posted, never inside Sleep.
  virtual void Post(std::function<void()> fn) = 0;
  // Tick thread: inside Sleep. A loop that lets the window's input through while the engine
  // sleeps says so here; a command from the window then goes through Post, so that it runs
  // after the engine's step rather than in the middle of it.
  virtual bool Sleeping() const { return false; }
  // A runner for the serial worker that keeps this loop's time.
  virtual std::unique_ptr<IWorker> CreateWorker() = 0;
  // How long a protocol's pause of `ms` lasts: `ms`, unless the loop shortens the protocols'
  // waits for simulated devices as it shortens Sleep.
  virtual int PauseMs(int ms) const { return ms; }
};

} // namespace vk::platform
