#include "app/Session.h"

#include "programmer/CpuFactory.h"
#include "programmer/HeadlessViews.h"

#include <cstdlib>

namespace vk::app {

const std::vector<std::string>& SpeedItems() {
  static const std::vector<std::string> items = {"115200", "57600", "38400", "19200", "9600"};
  return items;
}

Session::Session(platform::IEventLoop& loop, platform::IMessageBox& boxes, SessionDevices devices,
                 cpu::KernelSet& kernels, SessionViews views, programmer::CpuFactory factory)
    : image(&boxes), loop_(loop), boxes_(boxes), views_(std::move(views)) {
  can = std::make_unique<link::TUSB2CAN>(loop, devices.canDriver, boxes);

  if (views_.ports) {
    views_.ports->Clear();
    views_.ports->AddEntry("PCAN");
  }
  comm = std::make_unique<link::TComm>(loop, devices.ports, devices.settings, boxes, can.get());
  if (views_.ports) comm->FillPortList(*views_.ports);

  if (!factory) factory = programmer::MakeCpuFactory(can.get());
  prg = std::make_unique<programmer::TPrgrm>(
      loop, &image, comm.get(), [&kernels](int n) { return kernels.Get(n); }, std::move(factory));
  prg->BuildTargetTree(views_.tree);
  prg->SetProgress(views_.progress);
  programmer::ProgrammerPageViews pageViews;
  pageViews.buttons = views_.buttons;
  pageViews.untyped = views_.untyped;
  pageViews.firstBox = views_.firstBox;
  pageViews.lastBox = views_.lastBox;
  pageViews.info = views_.info;
  pageViews.log = views_.log;
  pageViews.progress = views_.progress;
  pageViews.show = views_.showProgrammerPage;
  page = std::make_unique<programmer::ProgrammerPagePresenter>(*prg, image, *comm, pageViews,
                                                               views_.status, views_.address);
  page->ImageInfo = [this] { return buffer_.info; };
  if (views_.untyped)
    programmer::ProgrammerPagePresenter::ApplyUntypedSetting(
        *views_.untyped, devices.settings ? devices.settings->Read(kUntypedSetting) : std::nullopt);

  MainViews mainViews;
  mainViews.status = views_.status;
  mainViews.terminal = views_.terminal;
  mainViews.address = views_.address;
  mainViews.speed = views_.speed;
  mainViews.firstBox = views_.firstBox;
  mainViews.lastBox = views_.lastBox;
  mainViews.ports = views_.ports;
  mainViews.setCanData = views_.setCanData;
  controller = std::make_unique<MainController>(loop, boxes, image, *comm, *prg, *page, mainViews);
  comm->OnReceive = [this](link::TComm& link, const std::string& line) {
    controller->CommReceived(link, line);
  };
  prg->ChainedTreeClick = [this] { controller->TargetTreeViewClick(); };
  controller->Quit = views_.quit;
  controller->StopTimer = [this] {
    if (timer_) timer_->SetEnabled(false);
  };
  controller->StartTimer = [this] {
    if (timer_) timer_->SetEnabled(true);
  };

  if (views_.finder) {
    finder = std::make_unique<DeviceFinder>(loop, *views_.finder);
    controller->SetDeviceFinder(finder.get());
  }

  if (views_.speed) {
    views_.speed->SetItems(SpeedItems());
    views_.speed->SetItemIndex(0);
  }
  if (views_.address) {
    views_.address->SetItems(programmer::AddressItems());
    views_.address->SetItemIndex(0);
  }
  controller->ResetController();
  if (views_.canAddress) can->FillAddressList(*views_.canAddress);
  if (views_.canSpeed) can->FillSpeedList(*views_.canSpeed);
  can->OnData = [this](const std::string& text) { controller->CanReceived(text); };
}

Session::~Session() {
  if (timer_) timer_->SetEnabled(false);
  timer_.reset();
  if (comm) comm->OnReceive = nullptr;
  finder.reset();
  controller.reset();
  page.reset();
  prg.reset();
  comm.reset(); // stops the worker before the CAN link goes
  can.reset();
}

void Session::Start(const std::vector<std::string>& files) {
  files_ = files;
  if (files_.empty()) {
    StartMainTick();
    return;
  }
  timer_ = loop_.CreateTimer(kCommandLineDelayMs, [this] { LoadCommandLineFiles(); });
  timer_->SetEnabled(true);
}

void Session::LoadCommandLineFiles() {
  timer_->SetEnabled(false);
  for (const auto& f : files_) LoadAndShow(f);
  StartMainTick();
}

void Session::StartMainTick() {
  if (!timer_) timer_ = loop_.CreateTimer(kMainTickMs, {});
  timer_->SetHandler([this] { controller->MainTick(false); });
  timer_->SetInterval(kMainTickMs);
  timer_->SetEnabled(true);
  tickPhase_ = true;
}

void Session::ShowBuffer() {
  if (views_.showBufferPage) views_.showBufferPage(buffer_);
}

bool Session::RefusedWhileBusy() {
  if (!controller->Busy()) return false;
  if (views_.status) views_.status->SetPanelText(0, kBusyText);
  return true;
}

image::ImageFormat Session::LoadAndShow(const std::string& fileName) {
  if (RefusedWhileBusy()) return image::ImageFormat::Unknown;
  const auto format =
      app::LoadAndShow(image, fileName, buffer_, [this](int code) { prg->SelectByType(code); });
  ShowBuffer();
  page->PageShow();
  return format;
}

void Session::Clear() {
  if (RefusedWhileBusy()) return;
  ShowCleared(buffer_);
  image.Clear();
  ShowBuffer();
  page->PageShow();
}

std::optional<std::string>
Session::Save(const std::function<std::optional<std::string>(const SaveProposal&)>& askFile) {
  // Save prepares the image for the target (jump table, checksum word) in place.
  if (RefusedWhileBusy()) return std::nullopt;
  return SaveClick(image, *prg, boxes_, askFile);
}

void Session::SpeedChanged() {
  if (!views_.speed) return;
  if (RefusedWhileBusy()) {
    // The box keeps showing the rate the link has.
    for (int i = 0; i < views_.speed->Count(); ++i)
      if (views_.speed->ItemText(i) == std::to_string(comm->GetBaudRate()))
        views_.speed->SetItemIndex(i);
    return;
  }
  const std::string text = views_.speed->ItemText(views_.speed->ItemIndex());
  char* end = nullptr;
  const unsigned long rate = std::strtoul(text.c_str(), &end, 10);
  if (!text.empty() && *end == '\0') comm->SetBaudRate(static_cast<std::uint32_t>(rate));
  page->ShowSummary();
}

void Session::TerminalEnter(const std::string& memoText) {
  if (RefusedWhileBusy()) return; // a typed line would land in the middle of the run's exchange
  comm->SendString(TerminalEnterText(memoText));
}

void Session::FindDevice() {
  if (!finder || RefusedWhileBusy()) return;
  if (views_.status) views_.status->SetPanelText(0, "Searching for device setting ...");
  finder->SetLink(comm.get());
  finder->SetSelectors(views_.address, views_.speed);
  // The detection that follows addresses the module the finder found (left in the address box).
  finder->OnFinished = [this] {
    controller->CurModule = controller->LastModule =
        views_.address ? views_.address->ItemIndex() : 0;
    controller->EnterStatePhase(ControllerMode::Detect, DetectPhase::Send);
  };
  finder->OnNotFound = [this] {
    if (views_.status) views_.status->SetPanelText(0, "no device found");
  };
  finder->StartSearch();
}

void Session::FinderClosed() {
  if (!finder) return;
  const bool searching = finder->Searching();
  finder->Closed();
  // Closed before it found a unit: the line must not keep saying it searches.
  if (searching && !finder->Found && views_.status)
    views_.status->SetPanelText(0, "Device search stopped");
  page->ShowSummary();
}

} // namespace vk::app
