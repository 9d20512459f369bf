#include "app/DeviceFinder.h"

#include "cpu/ProgrammerUnit.h"

#include <algorithm>
#include <cstdlib>

namespace vk::app {

namespace {
using programmer::ProgrammerUnit;

constexpr std::uint32_t kStartRate = platform::kNormalRate;

// The time between two probes at a rate after the first: the slower the rate, the longer a
// probe and its answer take (51 ms at 57600 bit/s, 342 ms at 9600 bit/s).
int ProbeIntervalMs(std::uint32_t rate) { return static_cast<int>(2880000 / (rate - 1200)); }

bool ParseDecimal(const std::string& text, long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  out = std::strtol(text.c_str(), &end, 10);
  return *end == '\0';
}
} // namespace

std::uint32_t DeviceFinder::SpeedAt(int index) const {
  long rate = 0;
  return speed_ && ParseDecimal(speed_->ItemText(index), rate) ? static_cast<std::uint32_t>(rate)
                                                               : 0;
}

void DeviceFinder::StopTimer() {
  if (timer_) timer_->SetEnabled(false);
  timer_.reset();
}

void DeviceFinder::StartSearch() {
  StopTimer(); // a second search replaces the first
  view_.Show();
  Found = false;
  if (!link_) return;
  // What a search that finds nothing gives back.
  addressBefore_ = address_ ? address_->ItemIndex() : -1;
  speedBefore_ = speed_ ? speed_->ItemIndex() : -1;
  rateBefore_ = link_->GetBaudRate();
  timer_ = loop_.CreateTimer(kFirstInterval, [this] { SearchTick(); });
  probeIntervalMs_ = kFirstInterval;
  rateStep_ = RateStep::None;
  timer_->SetEnabled(true);
  PortIndex = link_->IsOpen() ? -1 : 0;
  SpeedIndex = 0;
  AddressCounter = 0;
  Found = false;
}

void DeviceFinder::SelectFoundAddress() {
  // Counter - 1 is -1 when "OK" came before the first address: no entry has that text.
  const int address = AddressCounter - 1;
  if (address_ && address >= 0 && address < address_->Count()) address_->SetItemIndex(address);
}

void DeviceFinder::SearchTick() {
  if (!timer_) return;
  if (Found) {
    timer_->SetEnabled(false);
    if (OnFinished) OnFinished();
    timer_.reset();
    SelectFoundAddress();
    view_.Hide();
    return;
  }
  if (link_->IsOpen()) {
    // After a rate change the unit gets a pause, the empty command and another pause, each
    // waited for by the timer: the window goes on turning, and a close meanwhile is heard.
    if (rateStep_ == RateStep::Announce) {
      ProgrammerUnit(*link_).ProbeAfterRateChange();
      rateStep_ = RateStep::Settle;
      // The first probe at the rate: after the second pause, and no sooner than the rate's
      // interval after the change.
      const int pause = ProgrammerUnit::kTiming.finderAfterRateChangeMs;
      timer_->SetInterval(std::max(pause, probeIntervalMs_ - pause));
      return;
    }
    if (rateStep_ == RateStep::Settle) {
      rateStep_ = RateStep::None;
      timer_->SetInterval(probeIntervalMs_);
    }
    if (AddressCounter <= EndAddress) {
      ProgrammerUnit(*link_).Probe(AddressCounter);
      if (address_) address_->SetItemIndex(AddressCounter);
      if (view_.Visible()) {
        view_.SetRateText(std::to_string(link_->GetBaudRate()));
        view_.SetCommandText(ProgrammerUnit::ProbeCommand(AddressCounter));
      }
      ++AddressCounter;
    } else if (speed_ && SpeedIndex + 1 < speed_->Count()) {
      AddressCounter = 0;
      ++SpeedIndex;
      speed_->SetItemIndex(SpeedIndex);
      const std::uint32_t rate = SpeedAt(SpeedIndex);
      link_->SetBaudRate(rate);
      if (rate > 1200) probeIntervalMs_ = ProbeIntervalMs(rate);
      if (address_) address_->SetItemIndex(0);
      rateStep_ = RateStep::Announce;
      timer_->SetInterval(ProgrammerUnit::kTiming.finderAfterRateChangeMs);
    } else {
      // One full round without an answer: searching on would never end.
      AddressCounter = 0;
      SpeedIndex = 0;
      StopTimer();
      RestoreSelection();
      view_.Hide();
      if (OnNotFound) OnNotFound();
    }
    return;
  }
  SpeedIndex = 0;
  AddressCounter = 0;
  if (PortIndex == -1 || PortIndex >= kPortScanLimit) {
    StopTimer();
    RestoreSelection();
    view_.Hide();
    if (OnNotFound) OnNotFound();
    return;
  }
  link_->SelectPort(PortIndex);
  ++PortIndex;
  link_->SetBaudRate(kStartRate);
}

void DeviceFinder::LineReceived(const std::string& line) {
  LastLine = line;
  if (ProgrammerUnit::IsOk(line)) Found = true;
}

void DeviceFinder::Closed() {
  if (timer_) timer_->SetEnabled(false);
  const bool searching = timer_ != nullptr;
  timer_.reset();
  // Closed while searching (even just after an answer, before it was acted on): the address and
  // the speed go back to what they were, and nothing more is sent.
  if (searching) RestoreSelection();
  Found = Found && !searching;
  view_.Hide();
}

void DeviceFinder::RestoreSelection() {
  if (link_ && rateBefore_ != 0) link_->SetBaudRate(rateBefore_);
  if (speed_ && speedBefore_ >= 0) speed_->SetItemIndex(speedBefore_);
  if (address_ && addressBefore_ >= 0) address_->SetItemIndex(addressBefore_);
  ShowLinkRate();
}

void DeviceFinder::ShowLinkRate() {
  if (!speed_ || !link_) return;
  for (int i = 0; i < speed_->Count(); ++i)
    if (SpeedAt(i) == link_->GetBaudRate()) {
      speed_->SetItemIndex(i);
      return;
    }
}

bool DeviceFinder::SetEndAddressText(const std::string& text) {
  long value = 0;
  if (!ParseDecimal(text, value) || value < 0 || value > 255) return false;
  EndAddress = static_cast<int>(value);
  return true;
}

} // namespace vk::app
