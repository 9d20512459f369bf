#pragma once
// For the QX4T CAN tests: the CAN loader model as a node on a bus in memory, served at every
// millisecond of the simulated clock (also while the host sleeps).

#include "devsim/Qx4tCanLoader.h"
#include "platform/SimulatedEventLoop.h"
#include "support/SimulatedCanBus.h"

#include <gtest/gtest.h>

#include <memory>

namespace vk::test {

class LoaderNode {
public:
  LoaderNode(devsim::Qx4tCanLoader& loader, SimulatedCanBus& bus,
             platform::SimulatedEventLoop& loop)
      : loader_(loader), node_(bus.Join()), loop_(loop) {
    node_->Open(500000);
    poller_ = loop_.AddPoller([this](platform::Millis now) {
      if (!devsim::ServeOnBus(loader_, *node_, now)) ADD_FAILURE() << "the loader could not send";
    });
  }
  ~LoaderNode() { loop_.RemovePoller(poller_); }
  LoaderNode(const LoaderNode&) = delete;
  LoaderNode& operator=(const LoaderNode&) = delete;

  template <class F> auto Inspect(F f) {
    return f(static_cast<const devsim::Qx4tCanLoader&>(loader_));
  }

private:
  devsim::Qx4tCanLoader& loader_;
  std::unique_ptr<SimulatedCanBus::Node> node_;
  platform::SimulatedEventLoop& loop_;
  int poller_ = 0;
};

} // namespace vk::test
