#pragma once
// CanLink: the CAN link. Sends single standard data frames to the selected node, polls the
// driver every 50 ms, keeps the last reply in the ReplyMsg mailbox for the CAN controller
// protocol, and reports driver errors in a message box. Active while the port selector's "PCAN"
// entry is chosen. It carries frames only: what the node's loader says when the link opens and
// closes, and which received frames are not replies, belong to the conversation above it
// (OnOpened, OnClosing, OnFrame). Everything runs on the tick thread.

#include "link/CanChannel.h"
#include "link/LinkMessage.h"
#include "link/Selector.h"
#include "link/pcan_usb.h"
#include "platform/EventLoop.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vk::link {

struct TCANBAUD {
  const char* Name;
  std::uint16_t Code;    // bus-timing code for CAN_Init
  std::uint32_t BitRate; // the bus's bit rate the code sets, in bit/s
};

class CanLink : public ICanChannel {
public:
  static constexpr int kPollIntervalMs = 50;
  static constexpr int kInitWaitMs = 200;
  static constexpr int kNodes = 126;
  static constexpr int kDefaultSpeedIndex = 1; // CAN_BAUD_500K
  static constexpr std::uint16_t kFunctionMask = 0x780;

  static const std::array<TCANBAUD, 9>& BaudTable();

  CanLink(platform::IEventLoop& loop, IPcanUsb& driver, TellUser tell);
  // Stops polling, closes the driver and reports a failed close.
  ~CanLink() override;
  CanLink(const CanLink&) = delete;
  CanLink& operator=(const CanLink&) = delete;

  // "CAN_ADDR_1" .. "CAN_ADDR_126", the first selected; left disabled until "PCAN" is chosen.
  void FillAddressList(ISelector& selector);
  // The nine bit rates, "CAN_BAUD_500K" selected, SpeedListChange as the change event; left
  // disabled until "PCAN" is chosen.
  void FillSpeedList(ISelector& selector);
  // The user picked another bit rate: the interface is closed until it is next used, and a box
  // names the rate and its code.
  void SpeedListChange();
  void SetSelectorsEnabled(bool on);

  // Initialises the interface if needed, then OnOpened.
  void OpenLink();
  // If open: OnClosing, then the interface is closed.
  void CloseLink();
  // A frame as it is, on the interface as it is; the driver's result.
  std::uint32_t WriteFrame(const CanMsg& msg) { return driver_.CAN_Write(msg); }
  // Identifier = node address + (functionCode & 0x780); at most 8 data bytes. Returns the
  // driver's result.
  std::uint32_t SendMessage(std::uint16_t functionCode, const std::string& data);
  // The channel a protocol sees: SendMessage, the ReplyMsg mailbox, CloseLink.
  bool SendToNode(std::uint16_t functionCode, const std::string& data) override {
    return SendMessage(functionCode, data) == CAN_ERR_OK;
  }
  std::optional<std::uint8_t> ReplyResult() const override {
    if (ReplyMsg.LEN == 0) return std::nullopt;
    return ReplyMsg.DATA[0];
  }
  void ClearReply() override { ReplyMsg.LEN = 0; }
  void Restart() override { CloseLink(); }
  // Shows a driver error, once armed, unless it is a handle error.
  void ReportError(std::uint32_t code);

  // What the poll timer does.
  void PollTick();

  bool IsOpen() const { return open_; }
  // The interface went down or bus-off while in use: "PCAN: the CAN interface has gone ...".
  // Empty otherwise; cleared when the interface is started again.
  const std::string& LostText() const { return lostText_; }
  // The selected node, 1..126 (1 when no address selector is bound).
  int NodeAddress() const override;
  // The bus-timing code of the selected bit rate.
  std::uint16_t SelectedBusTiming() const;

  // "Error Code = 0011\rCAN_ERR_XMTFULL\rCAN_ERR_BUSOFF\r"; "" for a handle error or 0.
  static std::string ErrorText(std::uint32_t code);

  bool ReportArmed = false;
  // The conversation above the link: after the interface is opened by OpenLink, before
  // CloseLink closes it, and for each received frame (true: taken, not a reply).
  std::function<void()> OnOpened;
  std::function<void()> OnClosing;
  std::function<bool(const CanMsg& msg)> OnFrame;
  // The last received message OnFrame did not take. The CAN controller protocol clears LEN
  // before a request and takes a non-zero LEN as the reply.
  CanMsg ReplyMsg{};

private:
  void InitOnDemand();
  void File(const CanMsg& msg);

  platform::IEventLoop& loop_;
  IPcanUsb& driver_;
  TellUser tell_;
  bool open_ = false;
  bool started_ = false; // CAN_Init succeeded: a read that finds no bus means it has gone
  std::string lostText_;
  std::unique_ptr<platform::ITimer> PollTimer;
  ISelector* addressSelector_ = nullptr;
  ISelector* speedSelector_ = nullptr;
};

} // namespace vk::link
