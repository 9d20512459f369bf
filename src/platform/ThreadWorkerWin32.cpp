#include "platform/ThreadWorker.h"

#include <windows.h>

#include <algorithm>
#include <stdexcept>

namespace vk::platform {

ThreadWorker::ThreadWorker(std::function<std::int64_t()> clockUs) : clockUs_(std::move(clockUs)) {
  wakeEvent_ = ::CreateEventA(nullptr, FALSE, FALSE, nullptr); // auto-reset
  if (wakeEvent_ == nullptr) throw std::runtime_error("CreateEvent failed");
}

ThreadWorker::~ThreadWorker() {
  Stop();
  ::CloseHandle(wakeEvent_);
}

WaitResult ThreadWorker::Wait(IWaitable* what, Millis deadline) {
  for (;;) {
    // Input first: bytes that are already waiting are older than whatever woke us. A serial
    // device has no handle to wait on together with the event, so it is looked at every
    // millisecond.
    if (what != nullptr && what->HasInput()) return WaitResult::Readable;
    const Millis left = deadline - (clockUs_() / 1000);
    DWORD timeout = left <= 0 ? 0 : static_cast<DWORD>(left);
    if (what != nullptr) timeout = std::min<DWORD>(timeout, 1);
    if (::WaitForSingleObject(wakeEvent_, timeout) == WAIT_OBJECT_0) return WaitResult::Woken;
    if ((clockUs_() / 1000) >= deadline) {
      if (what != nullptr && what->HasInput()) return WaitResult::Readable;
      return WaitResult::TimedOut;
    }
  }
}

// Windows waits to the millisecond.
WaitResult ThreadWorker::WaitMicros(IWaitable* what, std::int64_t deadlineUs) {
  return Wait(what, (deadlineUs + 999) / 1000);
}

void ThreadWorker::Wake() { ::SetEvent(wakeEvent_); }

} // namespace vk::platform
