#include "platform/ThreadWorker.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace vk::platform {

ThreadWorker::ThreadWorker(std::function<std::int64_t()> clockUs) : clockUs_(std::move(clockUs)) {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) throw std::runtime_error("eventfd failed");
}

ThreadWorker::~ThreadWorker() {
  Stop();
  ::close(wakeFd_);
}

WaitResult ThreadWorker::Wait(IWaitable* what, Millis deadline) {
  return WaitMicros(what, deadline * 1000);
}

WaitResult ThreadWorker::WaitMicros(IWaitable* what, std::int64_t deadlineUs) {
  for (;;) {
    const std::int64_t left = deadlineUs - clockUs_();
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, POLLIN, 0}};
    nfds_t count = 1;
    const int handle = what != nullptr ? what->PollHandle() : -1;
    if (handle >= 0) {
      fds[1].fd = handle;
      count = 2;
    }
    // A device without a descriptor is looked at every millisecond.
    std::int64_t timeoutUs = std::max<std::int64_t>(left, 0);
    if (what != nullptr && handle < 0) {
      if (what->HasInput()) return WaitResult::Readable;
      timeoutUs = std::min<std::int64_t>(timeoutUs, 1000);
    }
    const timespec timeout{static_cast<time_t>(timeoutUs / 1000000),
                           static_cast<long>(timeoutUs % 1000000) * 1000};
    const int r = ::ppoll(fds, count, &timeout, nullptr);
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
    if (clockUs_() >= deadlineUs) return WaitResult::TimedOut;
  }
}

void ThreadWorker::Wake() { ::eventfd_write(wakeFd_, 1); }

} // namespace vk::platform
