#pragma once
// Time as the engine sees it: periodic timers, a blocking sleep of the tick thread, and a
// millisecond clock. The window and vkprog run on Qt's event loop; tests run on a
// deterministic virtual-time scheduler in which a protocol's sleeps cost no wall clock.

#include <cstdint>
#include <functional>
#include <memory>

namespace vk::platform {

using Millis = std::int64_t;

class ITimer {
public:
  virtual ~ITimer() = default;
  virtual void SetInterval(int ms) = 0;
  virtual int Interval() const = 0;
  virtual void SetEnabled(bool on) = 0;
  virtual bool Enabled() const = 0;
  // Replaces the handler; it runs on the loop's thread each time the timer fires.
  virtual void SetHandler(std::function<void()> handler) = 0;
};

class IEventLoop {
public:
  virtual ~IEventLoop() = default;
  // A new timer, disabled until SetEnabled(true).
  virtual std::unique_ptr<ITimer> CreateTimer(int intervalMs, std::function<void()> handler) = 0;
  // Blocks the calling (tick) thread; timers of that thread do not fire meanwhile and an
  // overdue timer fires once afterwards, as window timers coalesce.
  virtual void Sleep(int ms) = 0;
  // Milliseconds on a monotonic clock.
  virtual Millis Now() const = 0;
};

} // namespace vk::platform
