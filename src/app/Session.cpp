#include "app/Session.h"

#include "app/UserMessages.h"

#include "cpu/QX4T.h"

#include "programmer/CpuFactory.h"
#include "programmer/HeadlessViews.h"

#include <cstdlib>

namespace vk::app {

const std::vector<std::string>& SpeedItems() {
  static const std::vector<std::string> items = [] {
    std::vector<std::string> texts;
    for (const std::uint32_t rate : platform::kLineRates) texts.push_back(std::to_string(rate));
    return texts;
  }();
  return items;
}

Session::Session(platform::IEventLoop& loop, platform::IMessageBox& boxes, SessionDevices devices,
                 cpu::KernelSet& kernels, SessionViews views, programmer::CpuFactory factory)
    : loop_(loop), boxes_(boxes), views_(std::move(views)) {
  // The window tells the driver's bare code for a missing interface as what it means (vkprog
  // keeps its output).
  const auto* overBus = dynamic_cast<const link::PcanUsbOverCanBus*>(&devices.canDriver);
  can = std::make_unique<link::CanLink>(
      loop, devices.canDriver,
      [this, tell = TellInBoxes(boxes), choice = platform::ReadCanBusChoice(devices.settings),
       overBus](const link::LinkMessage& m) {
        const bool window = controller && controller->Policy.inWindow;
        tell(window ? ExplainCanMessage(m, choice, overBus ? overBus->LastErrorText() : "") : m);
      });
  // The QX4T controller's start and stop messages go with the link from its first opening; its
  // value texts reach the window's value label.
  cpu::qx4t_can::Attach(*can, [this](const std::string& text) {
    if (controller) controller->CanReceived(text);
  });

  if (views_.target.ports) {
    views_.target.ports->Clear();
    views_.target.ports->AddEntry(std::string(link::kCanPortEntry));
  }
  comm = std::make_unique<link::SerialLink>(loop, devices.ports, devices.settings,
                                            TellInBoxes(boxes), can.get());
  if (views_.target.ports) comm->FillPortList(*views_.target.ports);

  if (!factory) factory = programmer::MakeCpuFactory(can.get());
  prg = std::make_unique<programmer::RunController>(
      loop, &image, comm.get(), [&kernels](int n) { return kernels.Get(n); }, std::move(factory));
  prg->BuildTargetTree(views_.target.tree);
  prg->SetProgress(views_.programmer.progress);
  page = std::make_unique<programmer::ProgrammerPagePresenter>(
      *prg, image, *comm, views_.programmer, views_.status, views_.target.address);
  // Every file in the image and its whole range, then what the Buffer page says of them.
  page->ImageInfo = [this] {
    std::vector<std::string> lines;
    if (image.IsEmpty()) return lines;
    lines.push_back(buffer_.source.substr(buffer_.source.find(' ') + 1));
    lines.push_back(buffer_.range);
    lines.insert(lines.end(), buffer_.info.begin(), buffer_.info.end());
    return lines;
  };
  if (views_.programmer.untyped)
    programmer::ProgrammerPagePresenter::ApplyUntypedSetting(
        *views_.programmer.untyped,
        devices.settings ? devices.settings->Read(kUntypedSetting) : std::nullopt,
        devices.settings && devices.settings->DecidedByMachine(kUntypedSetting));

  MainViews mainViews;
  mainViews.status = views_.status;
  mainViews.terminal = views_.terminal;
  mainViews.address = views_.target.address;
  mainViews.speed = views_.target.speed;
  mainViews.firstBox = views_.programmer.firstBox;
  mainViews.lastBox = views_.programmer.lastBox;
  mainViews.ports = views_.target.ports;
  mainViews.setCanData = views_.target.setCanData;
  controller = std::make_unique<MainController>(loop, boxes, image, *comm, *prg, *page, mainViews);
  if (devices.settings)
    controller->DirectBootLoader = devices.settings->Read(kDirectSetting).value_or("") == "True";
  comm->OnReceive = [this](link::SerialLink& link, const std::string& line) {
    controller->CommReceived(link, line);
  };
  comm->OnSend = [this](const std::string& bytes) { controller->Echo().Sent(*comm, bytes); };
  prg->ChainedTreeClick = [this] { controller->TargetTreeViewClick(); };
  report = std::make_unique<WindowReport>(loop, devices.ports, image, *comm, *prg);
  report->Files = [this] { return buffer_.files; };
  prg->OnModuleDone = [this](const programmer::RunOutcome& o) {
    report->Record(o, controller->DetectedType);
  };
  prg->OnImageRead = [this] {
    buffer_.source = "Source= " + prg->Node().Name + " #" + std::to_string(controller->CurModule);
    buffer_.info = {"Read from the module."};
    buffer_.files = {prg->Node().Name + " #" + std::to_string(controller->CurModule)};
    buffer_.range = RangeText(image.MemStart(), image.MemEnd());
    ShowBuffer();
    page->PageShow();
  };
  controller->Quit = views_.quit;
  controller->Questions().StopTimer = [this] {
    if (timer_) timer_->SetEnabled(false);
  };
  controller->Questions().StartTimer = [this] {
    if (timer_) timer_->SetEnabled(true);
  };
  controller->SetTickInterval = [this](int ms) {
    if (timer_ && tickPhase_) timer_->SetInterval(ms); // not the command line's delay
  };

  if (views_.finder) {
    finder = std::make_unique<DeviceFinder>(loop, *views_.finder);
    controller->SetDeviceFinder(finder.get());
  }

  if (views_.target.speed) {
    views_.target.speed->SetItems(SpeedItems());
    views_.target.speed->SetItemIndex(0);
  }
  if (views_.target.address) {
    views_.target.address->SetItems(programmer::AddressItems());
    views_.target.address->SetItemIndex(0);
  }
  controller->ResetController();
  if (views_.target.canAddress) can->FillAddressList(*views_.target.canAddress);
  if (views_.target.canSpeed) can->FillSpeedList(*views_.target.canSpeed);
}

Session::~Session() {
  if (timer_) timer_->SetEnabled(false);
  timer_.reset();
  if (comm) comm->OnReceive = nullptr;
  if (comm) comm->OnSend = nullptr;
  finder.reset();
  controller.reset();
  report.reset();
  page.reset();
  prg.reset();
  comm.reset(); // stops the worker before the CAN link goes
  can.reset();
}

void Session::Start(const std::vector<std::string>& files, int loadDelayMs) {
  files_ = files;
  if (files_.empty()) {
    StartMainTick();
    return;
  }
  timer_ = loop_.CreateTimer(loadDelayMs, [this] { LoadCommandLineFiles(); });
  timer_->SetEnabled(true);
}

void Session::LoadCommandLineFiles() {
  timer_->SetEnabled(false);
  for (const auto& f : files_) LoadAndShow(f);
  StartMainTick();
}

void Session::StartMainTick() {
  if (!timer_) timer_ = loop_.CreateTimer(kMainTickMs, {});
  timer_->SetHandler([this] {
    controller->MainTick(false);
    NoteBusy();
  });
  timer_->SetInterval(kMainTickMs);
  timer_->SetEnabled(true);
  tickPhase_ = true;
}

void Session::ShowBuffer() {
  if (views_.showBufferPage) views_.showBufferPage(buffer_);
}

void Session::NoteBusy() {
  if (controller->Busy() == busy_) return;
  busy_ = controller->Busy();
  if (views_.status) views_.status->SetPanelText(MainController::kNoticePanel, "");
  if (views_.busyChanged) views_.busyChanged(busy_);
}

bool Session::RefusedWhileBusy() {
  if (!controller->Busy()) return false;
  if (views_.status) views_.status->SetPanelText(MainController::kNoticePanel, kBusyText);
  return true;
}

image::ImageFormat Session::LoadAndShow(const std::string& fileName) {
  if (RefusedWhileBusy()) return image::ImageFormat::Unknown;
  const BufferPageText before = buffer_;
  const bool merging = !image.IsEmpty() && !before.files.empty();
  auto result =
      app::LoadAndShow(image, fileName, buffer_, [this](int code) { prg->SelectByType(code); });
  if (result.format == image::ImageFormat::Container ||
      (!merging && result.format != image::ImageFormat::Unknown))
    buffer_.files = {BareFileName(fileName)};
  else if (result.format != image::ImageFormat::Unknown) {
    // Text files add to what is there: the page and the log say so, and what the image holds.
    auto fileOnly = std::make_unique<image::FirmwareImage>();
    fileOnly->LoadFromMemory(fileName, image.FileData(), image.CodeSize());
    page->Log(ShowMerged(buffer_, before, fileName, *fileOnly));
  }
  if (result.format == image::ImageFormat::Unknown) {
    // Nothing was loaded: the page goes on describing the image that is still there.
    buffer_ = before;
    // One box that names the file, rather than a second box with only its name.
    std::erase_if(result.messages, [](const image::ImageMessage& m) {
      return m.caption == image::msg::kUnknownFileType;
    });
    for (auto& m : result.messages)
      if (m.caption == image::msg::kUnknownFormat) m.text = fileName + "\r" + m.text;
  }
  ShowMessages(boxes_, result.messages);
  ShowBuffer();
  page->PageShow();
  return result.format;
}

bool Session::ReadFromModule() {
  if (RefusedWhileBusy()) return false;
  if (!image.IsEmpty()) {
    // The read replaces the image: what was loaded (and perhaps merged) would be gone unasked.
    std::string loaded;
    for (const auto& f : buffer_.files) loaded += (loaded.empty() ? "" : " + ") + f;
    const auto answer = boxes_.Ask(
        "Reading the module replaces the image in the program buffer (" + loaded + ", " +
            buffer_.range + ").\rRead " + prg->Node().Name + " #" +
            std::to_string(views_.target.address ? views_.target.address->ItemIndex() : 0) +
            " and replace it?",
        "Read from Module", platform::MsgButtons::YesNo, platform::MsgIcon::Warning,
        platform::MsgAnswer::No);
    if (answer != platform::MsgAnswer::Yes) {
      if (views_.status) views_.status->SetPanelText(0, "Read cancelled: the image is kept");
      return false;
    }
  }
  const auto [from, end] = prg->RegionInImage();
  if (!controller->Busy()) report->Begin();
  return controller->ReadModule(from, end);
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
  if (!views_.target.speed) return;
  if (RefusedWhileBusy()) {
    // The box keeps showing the rate the link has.
    for (int i = 0; i < views_.target.speed->Count(); ++i)
      if (views_.target.speed->ItemText(i) == std::to_string(comm->GetBaudRate()))
        views_.target.speed->SetItemIndex(i);
    return;
  }
  const std::string text = views_.target.speed->ItemText(views_.target.speed->ItemIndex());
  char* end = nullptr;
  const unsigned long rate = std::strtoul(text.c_str(), &end, 10);
  if (!text.empty() && *end == '\0') comm->SetBaudRate(static_cast<std::uint32_t>(rate));
  page->ShowSummary();
}

void Session::TerminalEnter(const std::string& typedLine) {
  if (RefusedWhileBusy()) return; // a typed line would land in the middle of the run's exchange
  // The user's line in the history, told apart from the program's own commands ("> ").
  if (views_.terminal) views_.terminal->AddLine(kTypedMark + typedLine);
  const auto echo = std::exchange(comm->OnSend, nullptr);
  comm->SendString(typedLine + "\r");
  comm->OnSend = echo;
}

void Session::FindDevice() {
  if (!finder || RefusedWhileBusy()) return;
  if (finder->Searching()) {
    // A second press would start the round again from the first address.
    if (views_.status) views_.status->SetPanelText(0, kSearchRunningText);
    return;
  }
  if (views_.status) views_.status->SetPanelText(0, "Searching for device setting ...");
  finder->SetLink(comm.get());
  finder->SetSelectors(views_.target.address, views_.target.speed);
  // The detection that follows addresses the module the finder found (left in the address box).
  finder->OnFinished = [this] {
    controller->CurModule = controller->LastModule =
        views_.target.address ? views_.target.address->ItemIndex() : 0;
    controller->StartDetection(true);
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
