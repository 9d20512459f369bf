#include "link/CanLink.h"
#include "platform/Hex.h"

#include <algorithm>

namespace vk::link {

const std::array<TCANBAUD, 9>& CanLink::BaudTable() {
  static const std::array<TCANBAUD, 9> table = {{
      {"CAN_BAUD_1M", 0x0014, 1000000},
      {"CAN_BAUD_500K", 0x001C, 500000},
      {"CAN_BAUD_250K", 0x011C, 250000},
      {"CAN_BAUD_125K", 0x031C, 125000},
      {"CAN_BAUD_100K", 0x432F, 100000},
      {"CAN_BAUD_50K", 0x472F, 50000},
      {"CAN_BAUD_20K", 0x532F, 20000},
      {"CAN_BAUD_10K", 0x672F, 10000},
      {"CAN_BAUD_5K", 0x7F7F, 5000},
  }};
  return table;
}

namespace {

struct ErrorName {
  std::uint32_t bit;
  const char* name;
};
constexpr ErrorName kErrorNames[] = {
    {CAN_ERR_XMTFULL, "CAN_ERR_XMTFULL"},   {CAN_ERR_OVERRUN, "CAN_ERR_OVERRUN"},
    {CAN_ERR_BUSLIGHT, "CAN_ERR_BUSLIGHT"}, {CAN_ERR_BUSHEAVY, "CAN_ERR_BUSHEAVY"},
    {CAN_ERR_BUSOFF, "CAN_ERR_BUSOFF"},     {CAN_ERR_QRCVEMPTY, "CAN_ERR_QRCVEMPTY"},
    {CAN_ERR_QOVERRUN, "CAN_ERR_QOVERRUN"}, {CAN_ERR_QXMTFULL, "CAN_ERR_QXMTFULL"},
    {CAN_ERR_REGTEST, "CAN_ERR_REGTEST"},   {CAN_ERR_NOVXD, "CAN_ERR_NOVXD"},
    {CAN_ERR_RESOURCE, "CAN_ERR_RESOURCE"}, {CAN_ERR_PARMTYP, "CAN_ERR_PARMTYP"},
    {CAN_ERR_PARMVAL, "CAN_ERR_PARMVAL"},
};

} // namespace

CanLink::CanLink(platform::IEventLoop& loop, IPcanUsb& driver, TellUser tell)
    : loop_(loop), driver_(driver), tell_(std::move(tell)) {
  // Polls only while the link is open: a serial run then has no CAN timer waking it.
  PollTimer = loop_.CreateTimer(kPollIntervalMs, [this] { PollTick(); });
}

CanLink::~CanLink() {
  PollTimer->SetEnabled(false);
  const std::uint32_t result = driver_.CAN_Close();
  PollTimer.reset();
  if (result != CAN_ERR_OK) ReportError(result);
}

void CanLink::FillAddressList(ISelector& selector) {
  addressSelector_ = &selector;
  selector.Clear();
  for (int node = 1; node <= kNodes; ++node) selector.AddEntry("CAN_ADDR_" + std::to_string(node));
  selector.SetCurrentIndex(0);
  selector.SetEnabled(open_);
}

void CanLink::FillSpeedList(ISelector& selector) {
  speedSelector_ = &selector;
  selector.Clear();
  for (int i = 0; i < static_cast<int>(BaudTable().size()); ++i)
    selector.AddEntry(BaudTable()[i].Name, i);
  selector.SetCurrentIndex(kDefaultSpeedIndex);
  selector.SetOnChange([this] { SpeedListChange(); });
  selector.SetEnabled(open_);
}

void CanLink::SetSelectorsEnabled(bool on) {
  if (addressSelector_ != nullptr) addressSelector_->SetEnabled(on);
  if (speedSelector_ != nullptr) speedSelector_->SetEnabled(on);
}

void CanLink::SpeedListChange() {
  driver_.CAN_Close();
  open_ = false;
  if (speedSelector_ == nullptr) return;
  const auto index = speedSelector_->EntryTag(speedSelector_->CurrentIndex());
  if (!index || *index < 0 || *index >= static_cast<int>(BaudTable().size())) return;
  const TCANBAUD& entry = BaudTable()[*index];
  if (tell_) tell_({platform::HexDigits(entry.Code, 4), entry.Name, MessageKind::Note});
}

int CanLink::NodeAddress() const {
  if (addressSelector_ == nullptr || addressSelector_->CurrentIndex() < 0) return 1;
  return addressSelector_->CurrentIndex() + 1;
}

std::uint16_t CanLink::SelectedBusTiming() const {
  if (speedSelector_ != nullptr) {
    const auto index = speedSelector_->EntryTag(speedSelector_->CurrentIndex());
    if (index && *index >= 0 && *index < static_cast<int>(BaudTable().size()))
      return BaudTable()[*index].Code;
  }
  return BaudTable()[kDefaultSpeedIndex].Code;
}

void CanLink::InitOnDemand() {
  ReportArmed = true;
  if (open_) return;
  const std::uint32_t result = driver_.CAN_Init(SelectedBusTiming(), CAN_INIT_TYPE_ST);
  if (result != CAN_ERR_OK) ReportError(result);
  started_ = result == CAN_ERR_OK;
  lostText_.clear();
  open_ = true; // also after an error: later reads and writes return the driver's errors
  PollTimer->SetEnabled(true);
  loop_.Sleep(kInitWaitMs);
}

std::uint32_t CanLink::SendMessage(std::uint16_t functionCode, const std::string& data) {
  InitOnDemand();
  CanMsg msg;
  msg.ID = static_cast<std::uint32_t>(NodeAddress()) + (functionCode & kFunctionMask);
  msg.MSGTYPE = MSGTYPE_STANDARD;
  msg.LEN = static_cast<std::uint8_t>(std::min<std::size_t>(data.size(), 8));
  std::copy(data.begin(), data.begin() + msg.LEN, msg.DATA);
  return driver_.CAN_Write(msg);
}

void CanLink::OpenLink() {
  InitOnDemand();
  if (OnOpened) OnOpened();
}

void CanLink::CloseLink() {
  if (!open_) return;
  if (OnClosing) OnClosing();
  driver_.CAN_Close();
  open_ = false;
}

std::string CanLink::ErrorText(std::uint32_t code) {
  if (code == CAN_ERR_OK || (code & CAN_ERR_ILLHANDLE) != 0) return {};
  std::string text = "Error Code = " + platform::HexDigits(code, 4) + "\r";
  for (const auto& e : kErrorNames)
    if ((code & e.bit) != 0) text += std::string(e.name) + "\r";
  return text;
}

void CanLink::ReportError(std::uint32_t code) {
  if (!ReportArmed) return;
  const std::string text = ErrorText(code);
  if (text.empty()) return;
  if (tell_) tell_({text, "USB2CAN ERROR", MessageKind::Warning});
}

void CanLink::File(const CanMsg& msg) {
  if (OnFrame && OnFrame(msg)) return;
  ReplyMsg = msg;
}

void CanLink::PollTick() {
  if (!open_) {
    PollTimer->SetEnabled(false); // until the link is opened again
    return;
  }
  CanMsg msg;                         // each tick starts from a zeroed record
  constexpr int kMostPerTick = 10000; // a flooded bus must not hold the tick thread for good
  for (int i = 0; i < kMostPerTick && open_; ++i) {
    const std::uint32_t result = driver_.CAN_Read(msg);
    if (result != CAN_ERR_OK) {
      // An interface that went down (a pulled adapter) or a controller gone bus-off takes no
      // part in a run any more: say so, and start it afresh when it is next used.
      const bool down = started_ && (result & CAN_ERR_ILLHANDLE) == CAN_ERR_ILLHW;
      if (down || (result & CAN_ERR_BUSOFF) != 0) {
        lostText_ = down ? "PCAN: the CAN interface has gone down"
                         : "PCAN: the CAN interface has gone bus-off";
        driver_.CAN_Close();
        open_ = false;
        started_ = false;
        return;
      }
      if (msg.LEN > 8) {
        driver_.CAN_Close();
        open_ = false;
      }
      return;
    }
    File(msg);
  }
}

} // namespace vk::link
