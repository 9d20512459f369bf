#pragma once
// A CAN bus in memory, for tests on the simulated clock: a frame one node sends is at once in
// the queue of every other node that is open (a real controller does not hear its own frames
// either). Nodes that disagree on the bit rate do not hear each other, as on a real bus where
// such frames are only errors. Everything runs on the test's thread.

#include "platform/CanBus.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace vk::test {

class SimulatedCanBus {
public:
  class Node : public platform::ICanBus {
  public:
    explicit Node(SimulatedCanBus& bus) : bus_(bus) {}
    ~Node() override { bus_.Leave(this); }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    bool Open(std::uint32_t bitRate) override {
      rate_ = bitRate;
      open_ = true;
      received_.clear();
      return true;
    }
    bool IsOpen() const override { return open_; }
    bool Send(const platform::CanFrame& frame) override {
      if (!open_) return false;
      bus_.Deliver(this, frame);
      return true;
    }
    std::optional<platform::CanFrame> Receive(unsigned& busErrors) override {
      busErrors = platform::kCanBusOk;
      if (!open_ || received_.empty()) return std::nullopt;
      const platform::CanFrame f = received_.front();
      received_.pop_front();
      return f;
    }
    void Close() override {
      open_ = false;
      received_.clear();
    }
    std::string ErrorText() const override { return ""; }

  private:
    friend class SimulatedCanBus;
    SimulatedCanBus& bus_;
    bool open_ = false;
    std::uint32_t rate_ = 0;
    std::deque<platform::CanFrame> received_;
  };

  // A node on this bus; it outlives neither the bus nor is shared between threads.
  std::unique_ptr<Node> Join() {
    auto node = std::make_unique<Node>(*this);
    nodes_.push_back(node.get());
    return node;
  }

private:
  void Deliver(const Node* from, const platform::CanFrame& frame) {
    for (Node* n : nodes_)
      if (n != from && n->open_ && n->rate_ == from->rate_) n->received_.push_back(frame);
  }
  void Leave(const Node* node) { nodes_.erase(std::find(nodes_.begin(), nodes_.end(), node)); }

  std::vector<Node*> nodes_;
};

} // namespace vk::test
