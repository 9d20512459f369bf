#include "cpu/P89C51RX2.h"

namespace vk::cpu {

const Isp8051Variant TCPU_P89C51RX2::kVariant = {
    /*initBaud=*/kLoaderBaud,
    /*sendsOscillator=*/true,
    /*fatal=*/"R",
    /*closing=*/{":020000030400F7", ":030000030601FCF7"},
    /*finishBaud=*/kNormalBaud,
};

TCPU_P89C51RX2::TCPU_P89C51RX2(platform::IEventLoop& loop) : TCPU_ISP8051(loop, kVariant) {}

} // namespace vk::cpu
