#pragma once
// End to end over a real pseudo-terminal: a device simulated by a separate vkdevsim process, the
// real serial link opened on its terminal as COM1, Qt's event loop in real time, and the headless
// run controller (SimWorld.h) to drive over it.

#include "app/UserMessages.h"
#include "platform/PosixSerial.h"
#include "platform/QtEventLoop.h"
#include "support/QtApp.h"
#include "support/SimWorld.h"
#include "support/SpawnedProcess.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vk::test {

// The run controller's waits, on Qt's loop in real time.
inline Programmer::RunUntilFn RunUntilOn(platform::QtEventLoop& loop) {
  return [&loop](const std::function<bool()>& done, platform::Millis limit) {
    return loop.RunUntil(done, static_cast<int>(limit));
  };
}

class PtyBench {
public:
  // Starts vkdevsim with `args` (a device on a pseudo-terminal).
  explicit PtyBench(const std::vector<std::string>& args) : sim(args) {}
  PtyBench(const PtyBench&) = delete;
  PtyBench& operator=(const PtyBench&) = delete;

  // Opens the link on the simulator's terminal; if it cannot, says why.
  ::testing::AssertionResult Open() {
    if (!sim.Started()) return ::testing::AssertionFailure() << "vkdevsim did not start";
    if (sim.Port().empty())
      return ::testing::AssertionFailure() << "no PORT line; stderr: " << sim.Stderr();
    ports =
        std::make_unique<platform::PosixSerialPorts>(platform::PortMap({{1, sim.Port()}}, false));
    comm = std::make_unique<link::SerialLink>(loop, *ports, nullptr, app::TellInBoxes(boxes));
    comm->FillPortList(selector);
    if (!loop.RunUntil([this] { return comm->IsOpen(); }, 3000))
      return ::testing::AssertionFailure() << "the link did not open " << sim.Port();
    return ::testing::AssertionSuccess();
  }
  link::SerialLink& Comm() { return *comm; }
  Programmer::RunUntilFn RunUntil() { return RunUntilOn(loop); }

private:
  struct AppFirst {
    AppFirst() { EnsureApp(); }
  } app_;

public:
  Simulator sim;
  platform::QtEventLoop loop;
  platform::RecordingMessageBox boxes;
  std::unique_ptr<platform::PosixSerialPorts> ports;
  std::unique_ptr<link::SerialLink> comm;
  link::ListSelector selector;
};

} // namespace vk::test
