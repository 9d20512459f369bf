#pragma once
// The PEAK PCAN-USB driver's calls as the CAN link uses them: CAN_Init at a bus-timing code,
// CAN_Write, CAN_Read, CAN_Close, their 16-byte message record and their error bits.
// PcanUsbOverCanBus carries them out over a CAN back end of the platform (socketcan, peakcan,
// virtualcan).

#include "platform/CanBus.h"

#include <cstdint>
#include <string>

namespace vk::link {

// The driver's message record.
struct CanMsg {
  std::uint32_t ID = 0;     // 11-bit standard identifiers are used
  std::uint8_t MSGTYPE = 0; // MSGTYPE_STANDARD: a data frame
  std::uint8_t LEN = 0;     // valid data bytes, 0..8
  std::uint8_t DATA[8] = {};
  std::uint8_t Reserved[2] = {};
};
static_assert(sizeof(CanMsg) == 16, "the driver's record is 16 bytes");

inline constexpr std::uint8_t MSGTYPE_STANDARD = 0x00;
inline constexpr std::uint8_t MSGTYPE_RTR = 0x01;
inline constexpr std::uint8_t MSGTYPE_EXTENDED = 0x02;
inline constexpr std::uint8_t MSGTYPE_STATUS = 0x80;

inline constexpr int CAN_INIT_TYPE_ST = 0; // standard 11-bit identifiers
inline constexpr int CAN_INIT_TYPE_EX = 1; // extended 29-bit identifiers

inline constexpr std::uint32_t CAN_ERR_OK = 0x0000;
inline constexpr std::uint32_t CAN_ERR_XMTFULL = 0x0001;
inline constexpr std::uint32_t CAN_ERR_OVERRUN = 0x0002;
inline constexpr std::uint32_t CAN_ERR_BUSLIGHT = 0x0004;
inline constexpr std::uint32_t CAN_ERR_BUSHEAVY = 0x0008;
inline constexpr std::uint32_t CAN_ERR_BUSOFF = 0x0010;
inline constexpr std::uint32_t CAN_ERR_QRCVEMPTY = 0x0020;
inline constexpr std::uint32_t CAN_ERR_QOVERRUN = 0x0040;
inline constexpr std::uint32_t CAN_ERR_QXMTFULL = 0x0080;
inline constexpr std::uint32_t CAN_ERR_REGTEST = 0x0100;
inline constexpr std::uint32_t CAN_ERR_NOVXD = 0x0200;
inline constexpr std::uint32_t CAN_ERR_HWINUSE = 0x0400;
inline constexpr std::uint32_t CAN_ERR_NETINUSE = 0x0800;
inline constexpr std::uint32_t CAN_ERR_ILLHW = 0x1400;
inline constexpr std::uint32_t CAN_ERR_ILLNET = 0x1800;
inline constexpr std::uint32_t CAN_ERR_ILLCLIENT = 0x1C00;
inline constexpr std::uint32_t CAN_ERR_ILLHANDLE = 0x1C00; // the handle-error field
inline constexpr std::uint32_t CAN_ERR_RESOURCE = 0x2000;
inline constexpr std::uint32_t CAN_ERR_PARMTYP = 0x4000;
inline constexpr std::uint32_t CAN_ERR_PARMVAL = 0x8000;

class IPcanUsb {
public:
  virtual ~IPcanUsb() = default;
  // btr0btr1: the SJA1000 bus-timing code; msgType: CAN_INIT_TYPE_ST or _EX.
  virtual std::uint32_t CAN_Init(std::uint16_t btr0btr1, int msgType) = 0;
  virtual std::uint32_t CAN_Write(const CanMsg& msg) = 0;
  // CAN_ERR_OK: one message was taken from the queue into msg; otherwise msg is untouched.
  virtual std::uint32_t CAN_Read(CanMsg& msg) = 0;
  virtual std::uint32_t CAN_Close() = 0;
};

// The bit rate a bus-timing code gives on the adapter's 16 MHz SJA1000; 0 for a code that
// gives none.
std::uint32_t BitRateOfBusTiming(std::uint16_t btr0btr1);

// The driver calls over a platform CAN bus. Results:
//   CAN_Init   CAN_ERR_NOVXD when the back end or its interface cannot be opened,
//              CAN_ERR_PARMVAL for a code that gives no bit rate
//   CAN_Write  CAN_ERR_ILLHW before CAN_Init (or after the bus went away), CAN_ERR_PARMVAL
//              for LEN above 8, CAN_ERR_QXMTFULL when the back end refuses the frame
//   CAN_Read   CAN_ERR_ILLHW before CAN_Init (or after the bus went away), CAN_ERR_QRCVEMPTY when
//   nothing is waiting, with
//              the bus-state bits (BUSLIGHT, BUSHEAVY, BUSOFF, OVERRUN) of error frames seen
//   CAN_Close  CAN_ERR_ILLHW when not initialised
class PcanUsbOverCanBus : public IPcanUsb {
public:
  explicit PcanUsbOverCanBus(platform::ICanBus& bus) : bus_(bus) {}

  std::uint32_t CAN_Init(std::uint16_t btr0btr1, int msgType) override;
  std::uint32_t CAN_Write(const CanMsg& msg) override;
  std::uint32_t CAN_Read(CanMsg& msg) override;
  std::uint32_t CAN_Close() override;

  // The back end's words for the last failure (the driver codes carry no text).
  std::string LastErrorText() const { return bus_.ErrorText(); }

private:
  platform::ICanBus& bus_;
  bool initialised_ = false;
};

} // namespace vk::link
