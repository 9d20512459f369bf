#pragma once
// The Target page's controls, as the session and the main controller see them. The window's
// page (gui/Pages.h TTargetPage::Views) and the headless one (HeadlessControls.h) fill it.

#include "link/Selector.h"
#include "programmer/Views.h"

#include <functional>
#include <string>

namespace vk::app {

struct TargetPageViews {
  link::ISelector* ports = nullptr;          // cbxCOM, "PCAN" first
  programmer::IComboView* speed = nullptr;   // cbxSpeed
  programmer::IComboView* address = nullptr; // cbxAddr: the module a run addresses
  programmer::ITreeView* tree = nullptr;     // the catalogue
  link::ISelector* canAddress = nullptr;     // the CAN interface's selectors
  link::ISelector* canSpeed = nullptr;
  std::function<void(const std::string&)> setCanData; // the "CAN data" label
};

} // namespace vk::app
