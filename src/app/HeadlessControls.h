#pragma once
// Every control a session drives, without a window: what vkprog runs the engine on, and what
// the tests read back. Views() hands them to a Session.

#include "app/DeviceFinder.h"
#include "app/PageViews.h"
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

// The Target page without a window.
struct HeadlessTargetPage {
  TargetPageViews TargetViews() {
    TargetPageViews v;
    v.ports = &ports;
    v.speed = &speed;
    v.address = &address;
    v.tree = &tree;
    v.canAddress = &canAddress;
    v.canSpeed = &canSpeed;
    return v;
  }

  link::ListSelector ports, canAddress, canSpeed;
  programmer::HeadlessCombo speed, address;
  programmer::HeadlessTree tree;
};

// Each page's controls come from its headless page; the status line, the terminal and the
// finder's window are the window's own.
struct HeadlessControls : HeadlessTargetPage, programmer::HeadlessProgrammerPage {
  // The views of all these controls; the caller adds the callbacks it wants.
  SessionViews Views() {
    SessionViews v;
    v.status = &status;
    v.terminal = &terminal;
    v.target = TargetViews();
    v.programmer = ProgrammerViews();
    v.finder = &finderView;
    return v;
  }

  programmer::HeadlessStatus status;
  programmer::HeadlessText terminal;
  HeadlessFinderView finderView;
};

} // namespace vk::app
