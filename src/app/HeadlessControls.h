#pragma once
// Every control a session drives, without a window: what vkprog runs the engine on, and what
// the tests read back. Views() hands them to a Session.

#include "app/DeviceFinder.h"
#include "app/Session.h"
#include "link/Selector.h"
#include "programmer/HeadlessViews.h"

#include <string>

namespace vk::app {

// The "Device Finder" window without a window.
class HeadlessFinderView : public IFinderView {
public:
  void Show() override { visible = true; }
  void Hide() override { visible = false; }
  bool Visible() const override { return visible; }
  void SetRateText(const std::string& t) override { rate = t; }
  void SetCommandText(const std::string& t) override { command = t; }
  bool visible = false;
  std::string rate, command;
};

struct HeadlessControls {
  // The views of all these controls; the caller adds the callbacks it wants.
  SessionViews Views() {
    SessionViews v;
    v.status = &status;
    v.terminal = &terminal;
    v.address = &address;
    v.speed = &speed;
    v.ports = &ports;
    v.canAddress = &canAddress;
    v.canSpeed = &canSpeed;
    v.tree = &tree;
    v.buttons = {&buttons[0], &buttons[1], &buttons[2], &buttons[3]};
    v.untyped = &untyped;
    v.firstBox = &firstBox;
    v.lastBox = &lastBox;
    v.info = &info;
    v.log = &log;
    v.progress = &progress;
    v.finder = &finderView;
    return v;
  }

  programmer::HeadlessStatus status;
  programmer::HeadlessText terminal, info, log;
  programmer::HeadlessCombo address, speed, firstBox, lastBox;
  link::ListSelector ports, canAddress, canSpeed;
  programmer::HeadlessTree tree;
  programmer::HeadlessButton buttons[4];
  programmer::HeadlessCheck untyped;
  programmer::HeadlessProgress progress;
  HeadlessFinderView finderView;
};

} // namespace vk::app
