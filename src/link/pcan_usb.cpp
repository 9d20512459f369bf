#include "link/pcan_usb.h"

#include <algorithm>

namespace vk::link {

std::uint32_t BitRateOfBusTiming(std::uint16_t btr0btr1) {
  constexpr std::uint32_t kClock = 16000000;
  const std::uint32_t btr0 = btr0btr1 >> 8, btr1 = btr0btr1 & 0xFF;
  const std::uint32_t prescaler = (btr0 & 0x3F) + 1;
  const std::uint32_t tseg1 = (btr1 & 0x0F) + 1, tseg2 = ((btr1 >> 4) & 0x07) + 1;
  const std::uint32_t quanta = 1 + tseg1 + tseg2;
  if (tseg1 < 2 || quanta < 8) return 0; // no real controller samples with fewer
  return kClock / (2 * prescaler * quanta);
}

std::uint32_t PcanUsbOverCanBus::CAN_Init(std::uint16_t btr0btr1, int) {
  const std::uint32_t rate = BitRateOfBusTiming(btr0btr1);
  if (rate == 0) return CAN_ERR_PARMVAL;
  initialised_ = false;
  if (!bus_.Open(rate)) return CAN_ERR_NOVXD;
  initialised_ = true;
  return CAN_ERR_OK;
}

std::uint32_t PcanUsbOverCanBus::CAN_Write(const CanMsg& msg) {
  if (!initialised_ || !bus_.IsOpen()) return CAN_ERR_ILLHW;
  if (msg.LEN > 8) return CAN_ERR_PARMVAL;
  if ((msg.MSGTYPE & MSGTYPE_STATUS) != 0) return CAN_ERR_PARMTYP;
  platform::CanFrame frame;
  frame.id = msg.ID;
  frame.extended = (msg.MSGTYPE & MSGTYPE_EXTENDED) != 0;
  frame.remote = (msg.MSGTYPE & MSGTYPE_RTR) != 0;
  frame.length = msg.LEN;
  std::copy(msg.DATA, msg.DATA + msg.LEN, frame.data.begin());
  return bus_.Send(frame) ? CAN_ERR_OK : CAN_ERR_QXMTFULL;
}

std::uint32_t PcanUsbOverCanBus::CAN_Read(CanMsg& msg) {
  if (!initialised_ || !bus_.IsOpen()) return CAN_ERR_ILLHW;
  unsigned busErrors = platform::kCanBusOk;
  const auto frame = bus_.Receive(busErrors);
  std::uint32_t state = 0;
  if (busErrors & platform::kCanBusWarning) state |= CAN_ERR_BUSLIGHT;
  if (busErrors & platform::kCanBusPassive) state |= CAN_ERR_BUSHEAVY;
  if (busErrors & platform::kCanBusOff) state |= CAN_ERR_BUSOFF;
  if (busErrors & platform::kCanBusOverrun) state |= CAN_ERR_OVERRUN;
  if (!frame) return state | CAN_ERR_QRCVEMPTY;
  msg = CanMsg{};
  msg.ID = frame->id;
  msg.MSGTYPE = static_cast<std::uint8_t>((frame->extended ? MSGTYPE_EXTENDED : 0) |
                                          (frame->remote ? MSGTYPE_RTR : 0));
  msg.LEN = frame->length;
  std::copy(frame->data.begin(), frame->data.begin() + frame->length, msg.DATA);
  return CAN_ERR_OK;
}

std::uint32_t PcanUsbOverCanBus::CAN_Close() {
  if (!initialised_) return CAN_ERR_ILLHW;
  bus_.Close();
  initialised_ = false;
  return CAN_ERR_OK;
}

} // namespace vk::link
