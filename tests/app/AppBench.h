#pragma once
// A whole session in virtual time with headless controls: the serial link on simulated COM1,
// optionally with the programmer unit model at its far end.

#include "app/HeadlessControls.h"
#include "app/Session.h"
#include "devsim/BackplaneUnit.h"
#include "programmer/HeadlessViews.h"
#include "support/ImageTestUtil.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <map>

namespace vk::test {

// A CAN adapter that is always there and hears only what a test puts in its inbox.
class QuietCan : public link::IPcanUsb {
public:
  std::uint32_t CAN_Init(std::uint16_t, int) override { return initResult; }
  std::uint32_t CAN_Write(const link::CanMsg& msg) override {
    written.push_back(msg);
    return link::CAN_ERR_OK;
  }
  std::uint32_t CAN_Read(link::CanMsg& msg) override {
    if (inbox.empty()) return link::CAN_ERR_QRCVEMPTY;
    msg = inbox.front();
    inbox.erase(inbox.begin());
    return link::CAN_ERR_OK;
  }
  std::uint32_t CAN_Close() override { return link::CAN_ERR_OK; }
  std::vector<link::CanMsg> written;
  std::vector<link::CanMsg> inbox;
  std::uint32_t initResult = link::CAN_ERR_OK;
};

class MapSettings : public platform::ISettings {
public:
  std::optional<std::string> Read(const std::string& name) const override {
    auto it = values.find(name);
    return it == values.end() ? std::nullopt : std::optional<std::string>(it->second);
  }
  bool Write(const std::string& name, const std::string& value) override {
    values[name] = value;
    return true;
  }
  std::vector<std::string> Names(const std::string&) const override { return {}; }
  std::map<std::string, std::string> values;
};

struct AppBench : app::HeadlessControls {
  explicit AppBench(devsim::BackplaneConfig unitConfig = FastUnit(),
                    std::optional<std::string> untypedSetting = std::nullopt)
      : line(serialPorts.Add(1)), kernels(std::vector<std::string>{"/nonexistent"}),
        unit(unitConfig) {
    if (untypedSetting) settings.values["AllowUntypedProgram"] = *untypedSetting;
    app::SessionViews v = Views();
    v.target.setCanData = [this](const std::string& t) { canData = t; };
    v.programmer.show = [this] { ++programmerPageShown; };
    v.quit = [this] { quitAsked = true; };
    session = std::make_unique<app::Session>(
        loop, boxes, app::SessionDevices{serialPorts, can, &settings}, kernels, v);
  }
  ~AppBench() {
    bridge.reset();
    session.reset();
  }
  static devsim::BackplaneConfig FastUnit() {
    devsim::BackplaneConfig c;
    c.eraseMs = 200;
    return c;
  }

  void AttachUnit() { bridge = std::make_unique<ModelOnLine>(loop, line, unit); }
  void Load(const std::string& name, const std::string& bytes) {
    const std::string path = dir.Write(name, bytes);
    session->LoadAndShow(path);
  }
  void Select(const std::string& name) {
    ASSERT_TRUE(tree.Highlight(name)) << name;
    session->TreeClicked();
  }
  bool RunUntilIdle(platform::Millis limit = 60000) {
    return loop.RunUntil(
        [this] {
          return session->controller->Mode() == app::ControllerMode::Idle &&
                 !session->prg->RunActive();
        },
        limit);
  }
  std::vector<std::string> Written() const { return WrittenTo(*line); }
  std::vector<std::string> StatusTexts() const {
    std::vector<std::string> out;
    for (const auto& [panel, text] : status.history)
      if (panel == 0) out.push_back(text);
    return out;
  }

  platform::SimulatedEventLoop loop;
  platform::SimulatedSerialPorts serialPorts;
  std::shared_ptr<platform::SimulatedSerialLine> line;
  platform::RecordingMessageBox boxes;
  QuietCan can;
  MapSettings settings;
  cpu::KernelSet kernels;
  TempDir dir;

  std::string canData;
  int programmerPageShown = 0;
  bool quitAsked = false;

  devsim::BackplaneUnit unit;
  std::unique_ptr<ModelOnLine> bridge;
  std::unique_ptr<app::Session> session;
};

} // namespace vk::test
