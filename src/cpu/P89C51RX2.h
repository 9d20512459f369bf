#pragma once
// The P89C51RX2 boot loader: the shared 8051 loader protocol at 19200 bit/s, with the
// oscillator command after the echo of "U" and two closing commands (boot vector and status
// byte). No catalogue entry selects it; CpuKind 4 does.

#include "cpu/AT89C51RX2.h"
#include "platform/SerialDevice.h"

namespace vk::cpu {

class TCPU_P89C51RX2 : public TCPU_ISP8051 {
public:
  explicit TCPU_P89C51RX2(platform::IEventLoop& loop);

  static constexpr std::uint32_t kLoaderBaud = 19200;
  static constexpr std::uint32_t kNormalBaud = platform::kNormalRate;
  static const Isp8051Variant kVariant;
};

} // namespace vk::cpu
