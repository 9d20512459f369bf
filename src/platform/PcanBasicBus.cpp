#include "platform/PcanBasicBus.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vk::platform {

namespace {

// The library's own types and values (PCAN-Basic API documentation).
using TPCANStatus = DWORD;
using TPCANHandle = WORD;
struct TPCANMsg {
  DWORD ID;
  BYTE MSGTYPE;
  BYTE LEN;
  BYTE DATA[8];
};
struct TPCANTimestamp {
  DWORD millis;
  WORD millis_overflow;
  WORD micros;
};

constexpr TPCANStatus PCAN_ERROR_OK = 0x00000;
constexpr TPCANStatus PCAN_ERROR_OVERRUN = 0x00002;
constexpr TPCANStatus PCAN_ERROR_BUSHEAVY = 0x00008;
constexpr TPCANStatus PCAN_ERROR_BUSOFF = 0x00010;
constexpr TPCANStatus PCAN_ERROR_QRCVEMPTY = 0x00020;
constexpr TPCANStatus PCAN_ERROR_QOVERRUN = 0x00040;
constexpr TPCANStatus PCAN_ERROR_BUSPASSIVE = 0x40000;
constexpr BYTE PCAN_MESSAGE_RTR = 0x01;
constexpr BYTE PCAN_MESSAGE_EXTENDED = 0x02;
constexpr BYTE PCAN_MESSAGE_STATUS = 0x80;

using InitializeFn = TPCANStatus(__stdcall*)(TPCANHandle, WORD, BYTE, DWORD, WORD);
using UninitializeFn = TPCANStatus(__stdcall*)(TPCANHandle);
using ReadFn = TPCANStatus(__stdcall*)(TPCANHandle, TPCANMsg*, TPCANTimestamp*);
using WriteFn = TPCANStatus(__stdcall*)(TPCANHandle, TPCANMsg*);
using GetErrorTextFn = TPCANStatus(__stdcall*)(TPCANStatus, WORD, LPSTR);

// The four calls the link needs, and the library's own error texts where it has them.
struct Library {
  HMODULE module = nullptr;
  InitializeFn initialize = nullptr;
  UninitializeFn uninitialize = nullptr;
  ReadFn read = nullptr;
  WriteFn write = nullptr;
  GetErrorTextFn errorText = nullptr;
  std::string problem;
};

template <typename Fn> Fn Find(HMODULE m, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(m, name)));
}

const Library& Lib() {
  static const Library lib = [] {
    Library l;
    l.module = ::LoadLibraryA(PcanBasicBus::kLibrary);
    if (l.module == nullptr) {
      l.problem = std::string("PCAN needs PEAK's PCAN-Basic library (") + PcanBasicBus::kLibrary +
                  "), which is not installed.\rInstall PEAK's device driver package (PCAN-Basic "
                  "is part of it) or put " +
                  PcanBasicBus::kLibrary + " beside vkprog.exe.";
      return l;
    }
    l.initialize = Find<InitializeFn>(l.module, "CAN_Initialize");
    l.uninitialize = Find<UninitializeFn>(l.module, "CAN_Uninitialize");
    l.read = Find<ReadFn>(l.module, "CAN_Read");
    l.write = Find<WriteFn>(l.module, "CAN_Write");
    l.errorText = Find<GetErrorTextFn>(l.module, "CAN_GetErrorText");
    if (!l.initialize || !l.uninitialize || !l.read || !l.write)
      l.problem = std::string(PcanBasicBus::kLibrary) +
                  " lacks CAN_Initialize, CAN_Uninitialize, CAN_Read or CAN_Write; install a "
                  "current PCAN-Basic.";
    return l;
  }();
  return lib;
}

// Bit rates as the library's BTR0/BTR1 codes (SJA1000 at 16 MHz).
bool BusTiming(std::uint32_t bitRate, WORD& code) {
  static constexpr struct {
    std::uint32_t rate;
    WORD code;
  } kRates[] = {{1000000, 0x0014}, {800000, 0x0016}, {500000, 0x001C}, {250000, 0x011C},
                {125000, 0x031C},  {100000, 0x432F}, {50000, 0x472F},  {20000, 0x532F},
                {10000, 0x672F},   {5000, 0x7F7F}};
  for (const auto& r : kRates)
    if (r.rate == bitRate) {
      code = r.code;
      return true;
    }
  return false;
}

std::string StatusText(TPCANStatus status) {
  char text[256] = {};
  if (Lib().errorText && Lib().errorText(status, 0x09, text) == PCAN_ERROR_OK) return text;
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%05lX", static_cast<unsigned long>(status));
  return std::string("PCAN status ") + hex;
}

unsigned BusErrorsOf(TPCANStatus status) {
  unsigned e = kCanBusOk;
  if (status & PCAN_ERROR_BUSHEAVY) e |= kCanBusWarning;
  if (status & PCAN_ERROR_BUSPASSIVE) e |= kCanBusPassive;
  if (status & PCAN_ERROR_BUSOFF) e |= kCanBusOff;
  if (status & (PCAN_ERROR_OVERRUN | PCAN_ERROR_QOVERRUN)) e |= kCanBusOverrun;
  return e;
}

} // namespace

PcanBasicBus::PcanBasicBus(std::string channel) : interface_(std::move(channel)) {}

PcanBasicBus::~PcanBasicBus() { Close(); }

bool PcanBasicBus::Available(std::string* why) {
  if (why) *why = Lib().problem;
  return Lib().problem.empty();
}

bool PcanBasicBus::Open(std::uint32_t bitRate) {
  Close();
  if (!Available(&error_)) return false;
  int n = -1;
  if (interface_.rfind("usb", 0) == 0 && interface_.size() > 3)
    n = std::atoi(interface_.c_str() + 3);
  if (n < 0 || n > 15) {
    error_ = "peakcan " + interface_ + ": not a PCAN-USB channel (usb0 .. usb15)";
    return false;
  }
  channel_ = static_cast<TPCANHandle>(n < 8 ? 0x51 + n : 0x509 + (n - 8));
  WORD timing = 0;
  if (!BusTiming(bitRate, timing)) {
    error_ = "peakcan " + interface_ + ": no bus timing for " + std::to_string(bitRate) + " bit/s";
    return false;
  }
  const TPCANStatus s = Lib().initialize(channel_, timing, 0, 0, 0);
  if (s != PCAN_ERROR_OK) {
    error_ = "peakcan " + interface_ + ": " + StatusText(s);
    return false;
  }
  open_ = true;
  error_.clear();
  return true;
}

bool PcanBasicBus::Send(const CanFrame& frame) {
  if (!open_) return false;
  TPCANMsg m{};
  m.ID = frame.id;
  m.MSGTYPE = static_cast<BYTE>((frame.extended ? PCAN_MESSAGE_EXTENDED : 0) |
                                (frame.remote ? PCAN_MESSAGE_RTR : 0));
  m.LEN = std::min<std::uint8_t>(frame.length, 8);
  std::memcpy(m.DATA, frame.data.data(), m.LEN);
  const TPCANStatus s = Lib().write(channel_, &m);
  if (s != PCAN_ERROR_OK) error_ = "peakcan " + interface_ + ": " + StatusText(s);
  return s == PCAN_ERROR_OK;
}

std::optional<CanFrame> PcanBasicBus::Receive(unsigned& busErrors) {
  while (open_) {
    TPCANMsg m{};
    TPCANTimestamp t{};
    const TPCANStatus s = Lib().read(channel_, &m, &t);
    if (s & PCAN_ERROR_QRCVEMPTY) return std::nullopt;
    busErrors |= BusErrorsOf(s);
    if (s != PCAN_ERROR_OK && (s & PCAN_ERROR_QOVERRUN) == 0) return std::nullopt;
    if (m.MSGTYPE & PCAN_MESSAGE_STATUS) continue; // the bus state comes with the read's status
    CanFrame f;
    f.id = m.ID;
    f.extended = (m.MSGTYPE & PCAN_MESSAGE_EXTENDED) != 0;
    f.remote = (m.MSGTYPE & PCAN_MESSAGE_RTR) != 0;
    f.length = std::min<BYTE>(m.LEN, 8);
    std::memcpy(f.data.data(), m.DATA, f.length);
    return f;
  }
  return std::nullopt;
}

void PcanBasicBus::Close() {
  if (!open_) return;
  Lib().uninitialize(channel_);
  open_ = false;
}

} // namespace vk::platform
