#pragma once
// The simulated world for engine tests: virtual time, one serial line COM1 with the real link
// on it, and a device model at its far end; plus a driver that ticks the run controller as
// the main controller does while a run is under way (every 10 ms and for every delivered line).

#include "app/ProgrammerPagePresenter.h"
#include "app/UserMessages.h"
#include "devsim/SerialDeviceModel.h"
#include "image/FirmwareImage.h"
#include "link/Selector.h"
#include "link/SerialLink.h"
#include "platform/RecordingMessageBox.h"
#include "platform/SimulatedEventLoop.h"
#include "platform/SimulatedSerial.h"
#include "programmer/HeadlessViews.h"
#include "programmer/RunController.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vk::test {

// A device model at the far end of a simulated line: it sees what the link writes and the
// line's settings as the link applied them; what it answers reaches the link.
class ModelOnLine {
public:
  ModelOnLine(platform::SimulatedEventLoop& loop,
              std::shared_ptr<platform::SimulatedSerialLine> line, devsim::SerialDeviceModel& model)
      : loop_(loop), line_(std::move(line)), model_(model) {
    pollerId_ = loop_.AddPoller([this](platform::Millis now) { Pump(now); });
  }
  ~ModelOnLine() { loop_.RemovePoller(pollerId_); }
  ModelOnLine(const ModelOnLine&) = delete;
  ModelOnLine& operator=(const ModelOnLine&) = delete;

private:
  void Pump(platform::Millis now) {
    const devsim::HostLine host = devsim::HostLineOf(line_->Settings());
    if (!(host == model_.CurrentHostLine())) model_.SetHostLine(host, now);
    const std::string in = line_->TakeReceived();
    if (!in.empty())
      model_.Receive(reinterpret_cast<const std::uint8_t*>(in.data()), in.size(), now);
    const auto out = model_.TakeOutput(now);
    if (!out.empty()) line_->Send(std::string(out.begin(), out.end()));
    if (model_.HungUp() && !hungUp_) {
      hungUp_ = true;
      line_->HangUp(EIO);
    }
  }

  platform::SimulatedEventLoop& loop_;
  std::shared_ptr<platform::SimulatedSerialLine> line_;
  devsim::SerialDeviceModel& model_;
  int pollerId_ = 0;
  bool hungUp_ = false;
};

// Strings a link wrote to a simulated line, one per write, in order.
inline std::vector<std::string> WrittenTo(const platform::SimulatedSerialLine& line) {
  std::vector<std::string> out;
  for (const auto& e : line.Events())
    if (e.kind == platform::SimulatedSerialLine::Event::Written) out.push_back(e.bytes);
  return out;
}

class SimWorld {
public:
  SimWorld() {
    line = ports.Add(1);
    comm = std::make_unique<link::SerialLink>(loop, ports, nullptr, app::TellInBoxes(boxes));
    portSelector.AddEntry("PCAN");
    comm->FillPortList(portSelector);
  }
  ~SimWorld() {
    attached_.reset();
    comm.reset();
  }

  void Attach(devsim::SerialDeviceModel& model) {
    attached_ = std::make_unique<ModelOnLine>(loop, line, model);
  }

  std::vector<std::string> Written() const { return WrittenTo(*line); }

  platform::SimulatedEventLoop loop;
  platform::SimulatedSerialPorts ports;
  std::shared_ptr<platform::SimulatedSerialLine> line;
  platform::RecordingMessageBox boxes;
  link::ListSelector portSelector;
  std::unique_ptr<link::SerialLink> comm;

private:
  std::unique_ptr<ModelOnLine> attached_;
};

// The run controller with headless controls, bound to a link and its own image, ticked as the
// main controller ticks it during a run.
struct Programmer {
  using RunUntilFn = std::function<bool(const std::function<bool()>&, platform::Millis)>;

  // kernels: the boot kernel of a number 1..3 (may be empty: no kernels).
  Programmer(platform::IEventLoop& loop, link::SerialLink& comm, RunUntilFn runUntil,
             programmer::CpuFactory factory = programmer::CreateBackplaneCpu,
             std::function<cpu::BootKernel*(int)> kernels = {})
      : comm_(comm), runUntil_(std::move(runUntil)), addressBox(programmer::AddressItems()),
        prg(loop, &image, &comm, std::move(kernels), std::move(factory)),
        page(prg, image, comm, PageViews(), &status, &addressBox) {
    prg.SetProgress(&progress);
    prg.BuildTargetTree(&tree);
    timer = loop.CreateTimer(10, [this] { Tick(); });
    timer->SetEnabled(true);
    comm.OnReceive = [this](link::SerialLink&, const std::string&) { Tick(); };
  }
  explicit Programmer(SimWorld& w, programmer::CpuFactory factory = programmer::CreateBackplaneCpu,
                      std::function<cpu::BootKernel*(int)> kernels = {})
      : Programmer(
            w.loop, *w.comm,
            [&w](const std::function<bool()>& done, platform::Millis limit) {
              return w.loop.RunUntil(done, limit);
            },
            std::move(factory), std::move(kernels)) {}
  ~Programmer() { comm_.OnReceive = nullptr; }

  void Select(const std::string& name) {
    ASSERT_TRUE(tree.Highlight(name)) << name;
    prg.TreeClick();
  }
  void Program(int address) {
    addressBox.SetItemIndex(address);
    prg.StartProgram();
    running = true;
  }
  void Erase(int address) {
    addressBox.SetItemIndex(address);
    prg.StartErase();
    running = true;
  }
  // Runs until the run is over; false when it did not end within limitMs.
  bool RunToEnd(platform::Millis limitMs = 120000) {
    return runUntil_([this] { return !running; }, limitMs);
  }
  std::vector<std::string> StatusTexts() const {
    std::vector<std::string> out;
    for (const auto& [panel, text] : status.history)
      if (panel == 0) out.push_back(text);
    return out;
  }
  bool LoadText(const std::string& text) {
    return image.LoadFromMemory("fw.hex", reinterpret_cast<const std::uint8_t*>(text.data()),
                                text.size()) != image::ImageFormat::Unknown;
  }

  void Tick() {
    if (running) running = prg.RunStep();
  }
  programmer::ProgrammerPageViews PageViews() {
    programmer::ProgrammerPageViews v;
    v.buttons = {&buttons[0], &buttons[1], &buttons[2], &buttons[3]};
    v.log = &log;
    v.progress = &progress;
    return v;
  }

private:
  link::SerialLink& comm_;
  RunUntilFn runUntil_;

public:
  image::FirmwareImage image;
  programmer::HeadlessStatus status;
  programmer::HeadlessCombo addressBox;
  programmer::HeadlessProgress progress;
  programmer::HeadlessText log;
  programmer::HeadlessButton buttons[4];
  programmer::HeadlessTree tree;
  programmer::RunController prg;
  programmer::ProgrammerPagePresenter page; // the status line, the address box and the log
  std::unique_ptr<platform::ITimer> timer;
  bool running = false;
};

} // namespace vk::test
