#pragma once
// The program's objects, created and wired in the order the window's start-up gives them, for
// any face: the window supplies Qt controls as views, vkprog and the tests headless ones. After
// Start, everything runs from the event loop: the main tick, the links' timers, the finder.

#include "app/BufferView.h"
#include "app/DeviceFinder.h"
#include "app/FileCommands.h"
#include "app/MainController.h"
#include "app/PageViews.h"
#include "app/ProgrammerPagePresenter.h"
#include "app/WindowReport.h"
#include "cpu/Kernels.h"
#include "image/FirmwareImage.h"
#include "link/CanLink.h"
#include "link/Selector.h"
#include "link/SerialLink.h"
#include "platform/EventLoop.h"
#include "platform/MessageBox.h"
#include "platform/SerialDevice.h"
#include "platform/Settings.h"
#include "programmer/RunController.h"
#include "programmer/Views.h"

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vk::app {

// The window's controls, one views structure per page.
struct SessionViews {
  programmer::IStatusView* status = nullptr;                 // the status line
  programmer::ITextView* terminal = nullptr;                 // the Communication page
  TargetPageViews target;                                    // the Target page
  programmer::ProgrammerPageViews programmer;                // the Programmer page
  std::function<void(const BufferPageText&)> showBufferPage; // the Buffer page
  // The "Device Finder" window.
  IFinderView* finder = nullptr;
  // Asked to end the program (after the "ID Mismatch" error).
  std::function<void()> quit;
  // A run started (true) or ended (false): the commands that would change the image or talk
  // over the link meanwhile are shown disabled.
  std::function<void(bool busy)> busyChanged;
};

struct SessionDevices {
  platform::ISerialPorts& ports;
  link::IPcanUsb& canDriver;
  // "PORT", "AllowUntypedProgram", "DirectBootLoader"; may be null
  platform::ISettings* settings = nullptr;
};

class Session {
public:
  static constexpr int kCommandLineDelayMs = 200;
  static constexpr int kMainTickMs = 10;
  static constexpr const char* kUntypedSetting = "AllowUntypedProgram";
  // "True": boot-loader chips are wired straight to the port (MainController::DirectBootLoader).
  static constexpr const char* kDirectSetting = "DirectBootLoader";

  // kernels: the boot kernels, created before (their warnings come before any window).
  Session(platform::IEventLoop& loop, platform::IMessageBox& boxes, SessionDevices devices,
          cpu::KernelSet& kernels, SessionViews views, programmer::CpuFactory factory = {});
  ~Session();

  // Starts the main timer: files named on the command line are loaded loadDelayMs later (the
  // window shows itself first), then the 10 ms main tick runs; without files the tick starts at
  // once.
  void Start(const std::vector<std::string>& files, int loadDelayMs = kCommandLineDelayMs);

  // While a module is being programmed the image must not change under the run: Open, Save,
  // Clear and drops are refused with a status text. True when refused.
  bool RefusedWhileBusy();
  static constexpr const char* kBusyText = "Not now: a module is being programmed";
  static constexpr const char* kSearchRunningText = "Device search already running";

  // File commands (each refused while a module is being programmed).
  image::ImageFormat LoadAndShow(const std::string& fileName);
  void Clear();
  // File > Read from Module: the selected entry's region read from the module at the address
  // box's address; the image read replaces the image as a file load does. False when refused
  // (busy, or an entry that cannot be read back).
  bool ReadFromModule();
  // Save: see SaveClick. Throws image::FileWriteError.
  std::optional<std::string>
  Save(const std::function<std::optional<std::string>(const SaveProposal&)>& askFile);

  // Target page and Communication page (speed, terminal and Find Device are refused while a
  // module is being programmed).
  void SpeedChanged(); // the speed selector changed: the link takes its rate
  // Sends a typed line followed by "\r"; the terminal shows it marked with kTypedMark.
  void TerminalEnter(const std::string& typedLine);
  static constexpr const char* kTypedMark = "typed> ";
  void FindDevice();
  void FinderClosed();
  // Refused while busy: the entry's protocol and settings are the run's.
  void TreeClicked() {
    if (!RefusedWhileBusy()) prg->TreeClick();
  }
  void ProgrammerPageShown() { page->PageShow(); }
  void ButtonPressed(int tag) {
    if (!controller->Busy()) report->Begin(); // a record's duration counts from the press
    controller->ProgrammerAction(tag);
    NoteBusy();
  }

  const BufferPageText& BufferPage() const { return buffer_; }
  bool TickRunning() const { return timer_ && timer_->Enabled() && tickPhase_; }

  image::FirmwareImage image;
  std::unique_ptr<link::CanLink> can;
  std::unique_ptr<link::SerialLink> comm;
  std::unique_ptr<programmer::RunController> prg;
  std::unique_ptr<programmer::ProgrammerPagePresenter> page;
  std::unique_ptr<MainController> controller;
  std::unique_ptr<DeviceFinder> finder;
  // Each module's run ends as a record in the report's sinks (none until one is opened).
  std::unique_ptr<WindowReport> report;

private:
  void LoadCommandLineFiles();
  void StartMainTick();
  void ShowBuffer();
  // Tells busyChanged when the controller became busy or idle since the last call.
  void NoteBusy();
  bool busy_ = false;

  platform::IEventLoop& loop_;
  platform::IMessageBox& boxes_;
  SessionViews views_;
  std::unique_ptr<platform::ITimer> timer_;
  std::vector<std::string> files_;
  bool tickPhase_ = false;
  BufferPageText buffer_;
};

// The speed selector's entries, in order.
const std::vector<std::string>& SpeedItems();

} // namespace vk::app
