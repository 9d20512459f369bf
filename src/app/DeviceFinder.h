#pragma once
// The device finder: searches addresses and bit rates for a programmer unit that answers "OK" to
// its probe (programmer::ProgrammerUnit::Probe).
// One step per tick of its own timer; received lines reach it while its window is visible.

#include "link/SerialLink.h"
#include "platform/EventLoop.h"
#include "programmer/Views.h"

#include <functional>
#include <memory>
#include <string>

namespace vk::app {

// The "Device Finder" window.
class IFinderView {
public:
  virtual ~IFinderView() = default;
  virtual void Show() = 0;
  virtual void Hide() = 0;
  virtual bool Visible() const = 0;
  virtual void SetRateText(const std::string& text) = 0;    // the bit rate being tried
  virtual void SetCommandText(const std::string& text) = 0; // the command being tried
};

class DeviceFinder {
public:
  static constexpr int kDefaultEndAddress = 16;
  static constexpr int kFirstInterval = 20; // ms between the probes of the first rate
  static constexpr int kPortScanLimit = 100;

  DeviceFinder(platform::IEventLoop& loop, IFinderView& view) : loop_(loop), view_(view) {}

  void SetLink(link::SerialLink* link) { link_ = link; }
  void SetSelectors(programmer::IComboView* address, programmer::IComboView* speed) {
    address_ = address;
    speed_ = speed;
  }
  // Called when the search has found a unit; never after the user closed the window.
  std::function<void()> OnFinished;
  // Called when one full round of bit rates and addresses found nothing; the search is over.
  std::function<void()> OnNotFound;

  // A search already running is stopped and started over.
  void StartSearch();
  void SearchTick();
  void LineReceived(const std::string& line);
  // The user closed the finder window.
  void Closed();
  bool Visible() const { return view_.Visible(); }
  bool Searching() const { return timer_ != nullptr; }

  // "Device Search Settings": a decimal 0..255 becomes EndAddress; anything else is ignored.
  bool SetEndAddressText(const std::string& text);
  int EndAddress = kDefaultEndAddress;

  int PortIndex = -1;
  int SpeedIndex = 0;
  int AddressCounter = 0;
  bool Found = false;
  std::string LastLine;

private:
  void StopTimer();
  void SelectFoundAddress();
  // The speed box shows the bit rate the link really has.
  void ShowLinkRate();
  // A search that ends without a unit: the address, the speed box and the link's rate as they
  // were when it started.
  void RestoreSelection();
  int addressBefore_ = -1;
  int speedBefore_ = -1;
  std::uint32_t rateBefore_ = 0;
  std::uint32_t SpeedAt(int index) const;
  // Where the pauses after a rate change stand; the probes' interval at the rate.
  enum class RateStep : std::uint8_t { None, Announce, Settle };
  RateStep rateStep_ = RateStep::None;
  int probeIntervalMs_ = kFirstInterval;

  platform::IEventLoop& loop_;
  IFinderView& view_;
  link::SerialLink* link_ = nullptr;
  programmer::IComboView* address_ = nullptr;
  programmer::IComboView* speed_ = nullptr;
  std::unique_ptr<platform::ITimer> timer_;
};

} // namespace vk::app
