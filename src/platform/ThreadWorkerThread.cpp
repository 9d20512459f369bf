#include "platform/ThreadWorker.h"

// The thread itself is the same everywhere; only the wake-up and the wait differ per system.

namespace vk::platform {

void ThreadWorker::Start(std::function<bool()> step) {
  Stop();
  stop_ = false;
  thread_ = std::thread([this, step = std::move(step)] {
    while (!stop_.load() && step()) {
    }
  });
}

void ThreadWorker::Stop() {
  stop_ = true;
  Wake();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

} // namespace vk::platform
