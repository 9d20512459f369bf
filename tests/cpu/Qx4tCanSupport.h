#pragma once
// For the QX4T CAN tests: a virtual CAN bus of their own, and the CAN loader model served on it
// from a thread of the test process.
//
// Qt's virtual bus has two interfaces (can0, can1) on one TCP port that every process of the
// machine shares, and an interface it does not know silently becomes can0. Tests that ran at the
// same time (another build's, the link tests') would hear each other there, so each test process
// takes a port of its own: tcp://127.0.0.1:PORT/can0. The first client of a port in a process
// serves it, on the thread it was opened from; BusOfThisProcess opens it once from the main
// thread, whose event loop the tests keep running. A process serves one port at most: later
// ports are reached as a client only.

#include "devsim/Qx4tCanLoader.h"
#include "platform/LinkTestSupport.h"
#include "platform/QtCanBus.h"

#include <QLoggingCategory>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace vk::test {

inline int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  if (fd >= 0) ::close(fd);
  return port;
}

// A bus nobody uses yet: whoever opens it first serves it.
inline std::string NewPrivateBus() {
  App();
  QLoggingCategory::setFilterRules("qt.canbus.plugins.virtualcan.info=false");
  return "tcp://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/can0";
}

// The interface name of this process's private bus; the bus is served from the main thread.
inline const std::string& BusOfThisProcess() {
  static const std::string name = [] {
    std::string url = NewPrivateBus();
    platform::QtCanBus first("virtualcan", url);
    first.Open(500000);
    return url;
  }();
  return name;
}

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
