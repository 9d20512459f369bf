#pragma once
// The worker runner in real time: the loop body runs on a std::thread of its own; Wait is a
// poll() on the waited-on device and an eventfd that Wake() signals (on Windows a wait on an
// event, ThreadWorkerWin32.cpp), so a queued string or a stop request ends the wait at once.

#include "platform/EventLoop.h"

#include <atomic>
#include <functional>
#include <thread>

namespace vk::platform {

class ThreadWorker : public IWorker {
public:
  // clockUs: the loop's NowMicros(), readable from any thread.
  explicit ThreadWorker(std::function<std::int64_t()> clockUs);
  ~ThreadWorker() override;
  ThreadWorker(const ThreadWorker&) = delete;
  ThreadWorker& operator=(const ThreadWorker&) = delete;

  void Start(std::function<bool()> step) override;
  void Stop() override;
  WaitResult Wait(IWaitable* what, Millis deadline) override;
  WaitResult WaitMicros(IWaitable* what, std::int64_t deadlineUs) override;
  void Wake() override;

private:
  std::function<std::int64_t()> clockUs_;
#ifdef _WIN32
  void* wakeEvent_ = nullptr; // a HANDLE
#else
  int wakeFd_ = -1;
#endif
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

} // namespace vk::platform
