#include "link/SerialLink.h"

#include "link/CanLink.h"

#include <cctype>
#include <climits>
#include <set>

namespace vk::link {

std::vector<PresentPort> FindPresentPorts(platform::ISerialPorts& ports, int first, int last) {
  std::vector<PresentPort> out;
  for (int n = first; n <= last; ++n) {
    const platform::PortState state = ports.Probe(n);
    if (state != platform::PortState::Absent) out.push_back({n, ports.DeviceOf(n), state});
  }
  return out;
}

SerialLink::SerialLink(platform::IEventLoop& loop, platform::ISerialPorts& ports,
                       platform::ISettings* settings, TellUser tell, CanLink* can)
    : loop_(loop), ports_(ports), settings_(settings), can_(can),
      thread_(std::make_unique<SerialWorker>(loop, ports, std::move(tell), RxLines)) {
  SetRTS(true);
  SetDTR(true);
  SetBaudRate(platform::kNormalRate);
  SetRawMode(false);
  arrival_->link = this;
  thread_->SetOnArrival([&loop = loop_, arrival = arrival_] { PostDelivery(loop, arrival); });
}

void SerialLink::PostDelivery(platform::IEventLoop& loop, const std::shared_ptr<Arrival>& arrival) {
  if (arrival->posted.exchange(true)) return; // one posted delivery takes every line waiting
  loop.Post([arrival] {
    arrival->posted = false;
    if (arrival->link != nullptr) arrival->link->DeliverArrived();
  });
}

void SerialLink::HoldDeliveries(bool on) {
  if (held_ == on) return;
  held_ = on;
  if (!held_ && AnswerWaiting()) PostDelivery(loop_, arrival_);
}

SerialLink::~SerialLink() {
  thread_->Stop();
  arrival_->link = nullptr; // a delivery still posted finds the link gone
  if (settings_ != nullptr)
    settings_->Write(kPortSetting, "COM" + std::to_string(PortNo_)); // a failure is ignored
}

int SerialLink::ParseRememberedPort(const std::optional<std::string>& value) {
  if (!value || value->size() <= 3 || value->compare(0, 3, "COM") != 0) return 0;
  const std::string digits = value->substr(3);
  std::size_t i = 0;
  bool negative = false;
  if (digits[0] == '+' || digits[0] == '-') {
    negative = digits[0] == '-';
    i = 1;
  }
  if (i == digits.size()) return 0;
  long long number = 0;
  for (; i < digits.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(digits[i]))) return 0;
    number = number * 10 + (digits[i] - '0');
    if (number > INT_MAX) return 0;
  }
  return static_cast<int>(negative ? -number : number);
}

void SerialLink::FillPortList(ISelector& selector) {
  const int remembered =
      ParseRememberedPort(settings_ != nullptr ? settings_->Read(kPortSetting) : std::nullopt);
  if (portSelector_ != nullptr) return;
  portSelector_ = &selector;
  selector.SetOnChange([this, &selector] { PortListChange(selector); });
  if (selector.Count() == 0) selector.AddEntry(std::string(kCanPortEntry));

  // The remembered port wins when it opens; otherwise the lowest port that opens. A port that
  // is listed but busy or barred is chosen only when none opens (its message then says why).
  int chosen = 0, chosenIndex = -1;
  int fallback = 0, fallbackIndex = -1;
  std::set<int> listed;
  for (const auto& port : FindPresentPorts(ports_, kFirstListedPort, kLastListedPort)) {
    listed.insert(port.PortNo);
    selector.AddEntry("COM" + std::to_string(port.PortNo), port.PortNo, port.Device);
    int& pick = port.State == platform::PortState::Present ? chosen : fallback;
    int& pickIndex = port.State == platform::PortState::Present ? chosenIndex : fallbackIndex;
    if (pick == 0 || port.PortNo == remembered) {
      pick = port.PortNo;
      pickIndex = selector.Count() - 1;
    }
  }
  if (chosen == 0) {
    chosen = fallback;
    chosenIndex = fallbackIndex;
  }
  if (chosenIndex >= 0) selector.SetCurrentIndex(chosenIndex);
  thread_->SetListedPorts(std::move(listed));
  SelectPort(chosen);
  loop_.Sleep(10);
  delivering_ = true;
  thread_->Start();
}

void SerialLink::PortListChange(ISelector& selector) {
  const auto tag = selector.EntryTag(selector.CurrentIndex());
  SelectPort(tag ? *tag : 0);
  if (can_ == nullptr) return;
  if (ChosenLink() == LinkKind::Serial) {
    can_->CloseLink();
    can_->SetSelectorsEnabled(false);
  } else {
    can_->SetSelectorsEnabled(true);
    can_->OpenLink();
  }
}

void SerialLink::SelectPort(int portNo) {
  PortNo_ = portNo;
  thread_->ChoosePort(portNo);
}

bool SerialLink::IsOpen() const { return thread_->IsOpen(); }

std::string SerialLink::LostAdvice() const {
  if (PortNo_ != 0) return thread_->LostAdvice();
  return can_ != nullptr ? can_->LostText() : std::string();
}

int SerialLink::CanNode() const { return can_ != nullptr ? can_->NodeAddress() : 0; }

std::string SerialLink::LostText() const {
  if (PortNo_ != 0) return thread_->LostText();
  return can_ != nullptr ? can_->LostText() : std::string();
}

void SerialLink::SendString(const std::string& text) {
  if (OnSend) OnSend(text);
  thread_->Queue(text);
}

void SerialLink::SendChar(std::uint8_t byte) {
  const std::string text(1, static_cast<char>(byte));
  if (OnSend) OnSend(text);
  thread_->Queue(text);
}

void SerialLink::SetBaudRate(std::uint32_t rate) {
  auto s = thread_->Settings();
  if (s.BaudRate == rate) return;
  s.BaudRate = rate;
  thread_->SetSettings(s);
  thread_->MarkSettingsChanged();
}

std::uint32_t SerialLink::GetBaudRate() const { return thread_->Settings().BaudRate; }

void SerialLink::SetParity(std::uint8_t parity) {
  auto s = thread_->Settings();
  if (s.Parity == parity) return;
  s.Parity = parity;
  thread_->SetSettings(s);
  thread_->MarkSettingsChanged();
}

std::uint8_t SerialLink::GetParity() const { return thread_->Settings().Parity; }

void SerialLink::SetDTR(bool on) {
  auto s = thread_->Settings();
  s.Dtr = on;
  thread_->SetSettings(s);
  thread_->MarkSettingsChanged();
}

void SerialLink::SetRTS(bool on) {
  auto s = thread_->Settings();
  s.Rts = on;
  thread_->SetSettings(s);
  thread_->MarkSettingsChanged();
}

void SerialLink::SetRawMode(bool on) {
  thread_->SetRxMode(on ? TRxFraming::Raw : TRxFraming::Text);
}

void SerialLink::SetByteMode(bool on) {
  thread_->SetRxMode(on ? TRxFraming::RawBytes : TRxFraming::Text);
}

bool SerialLink::IsRawMode() const {
  const auto mode = thread_->RxMode();
  return mode == TRxFraming::Raw || mode == TRxFraming::RawBytes;
}

bool SerialLink::DeliverFirst() {
  // Before FillPortList nothing is delivered: the window is not wired yet.
  if (PortNo_ == 0 || !delivering_) return false;
  const auto first = RxLines.FirstWithId();
  if (!first) return false;
  if (OnReceive) OnReceive(*this, first->second);
  // The handler may have taken the line itself; a line that arrived meanwhile is not this one
  // and is delivered after it.
  RxLines.DeleteFirstIf(first->first);
  return true;
}

void SerialLink::DeliverArrived() {
  if (held_) return; // the lines wait for the release
  // Bounded by what waits now: a handler that leaves lines, or lines that arrive meanwhile, are
  // the next delivery's.
  for (int n = RxLines.Count(); n > 0; --n)
    if (!DeliverFirst()) return;
}

} // namespace vk::link
