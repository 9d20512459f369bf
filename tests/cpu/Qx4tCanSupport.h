#pragma once
// For the QX4T CAN tests: the CAN loader model served on a private virtual bus
// (support/PrivateCanBus.h) from a thread of the test process.

#include "devsim/Qx4tCanLoader.h"
#include "platform/LinkTestSupport.h"
#include "platform/QtCanBus.h"
#include "support/PrivateCanBus.h"

#include <QThread>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace vk::test {

// The loader model as a node on a bus, served from a thread of its own so that the host's
// blocking waits do not hold it up. Read the model only through Inspect.
class LoaderNode {
public:
  LoaderNode(devsim::Qx4tCanLoader& loader, std::string interface)
      : loader_(loader), interface_(std::move(interface)) {
    thread_.reset(QThread::create([this] { Serve(); }));
    thread_->start();
  }
  ~LoaderNode() { Stop(); }
  LoaderNode(const LoaderNode&) = delete;
  LoaderNode& operator=(const LoaderNode&) = delete;

  // Waits until the node is on the bus; false when it could not get there.
  bool OnBus(int timeoutMs = 5000) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!onBus_ && !failed_ && std::chrono::steady_clock::now() < deadline) QThread::msleep(1);
    return onBus_;
  }
  template <class F> auto Inspect(F f) {
    std::lock_guard lock(mutex_);
    return f(static_cast<const devsim::Qx4tCanLoader&>(loader_));
  }
  // From the main thread, which serves the bus: it keeps doing so while the node leaves.
  void Stop() {
    stop_ = true;
    if (thread_) {
      while (!thread_->wait(1)) QCoreApplication::processEvents();
      thread_.reset();
    }
  }

private:
  void Serve() {
    platform::QtCanBus bus("virtualcan", interface_);
    if (!bus.Open(500000)) {
      failed_ = true;
      return;
    }
    onBus_ = true;
    const auto start = std::chrono::steady_clock::now();
    while (!stop_) {
      QCoreApplication::processEvents();
      {
        std::lock_guard lock(mutex_);
        const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
        devsim::ServeOnBus(loader_, bus, now);
      }
      QThread::msleep(1);
    }
    bus.Close();
  }

  devsim::Qx4tCanLoader& loader_;
  std::string interface_;
  std::mutex mutex_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> onBus_{false};
  std::atomic<bool> failed_{false};
  std::unique_ptr<QThread> thread_;
};

} // namespace vk::test
