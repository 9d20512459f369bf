#include "platform/ThreadWorker.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace vk::platform {

ThreadWorker::ThreadWorker(std::function<Millis()> clock) : clock_(std::move(clock)) {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) throw std::runtime_error("eventfd failed");
}

ThreadWorker::~ThreadWorker() {
  Stop();
  ::close(wakeFd_);
}

WaitResult ThreadWorker::Wait(IWaitable* what, Millis deadline) {
  for (;;) {
    const Millis left = deadline - clock_();
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, POLLIN, 0}};
    int count = 1;
    const int handle = what != nullptr ? what->PollHandle() : -1;
    if (handle >= 0) {
      fds[1].fd = handle;
      count = 2;
    }
    // A device without a descriptor is looked at every millisecond.
    int timeout = left <= 0 ? 0 : static_cast<int>(left);
    if (what != nullptr && handle < 0) {
      if (what->HasInput()) return WaitResult::Readable;
      timeout = std::min(timeout, 1);
    }
    const int r = ::poll(fds, count, timeout);
    if (r < 0) {
      if (errno == EINTR) continue;
      return WaitResult::TimedOut;
    }
    // Input first: bytes that are already waiting are older than whatever woke us.
    if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0)
      return WaitResult::Readable;
    if ((fds[0].revents & POLLIN) != 0) {
      eventfd_t value = 0;
      ::eventfd_read(wakeFd_, &value);
      return WaitResult::Woken;
    }
    if (what != nullptr && handle < 0 && what->HasInput()) return WaitResult::Readable;
    if (clock_() >= deadline) return WaitResult::TimedOut;
  }
}

void ThreadWorker::Wake() { ::eventfd_write(wakeFd_, 1); }

} // namespace vk::platform
