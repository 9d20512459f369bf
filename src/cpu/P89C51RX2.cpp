#include "cpu/P89C51RX2.h"

namespace vk::cpu {

const Isp8051Variant TCPU_P89C51RX2::kVariant = {
    /*initBaud=*/kLoaderBaud,
    /*sendsOscillator=*/true,
    /*fatal=*/"R",
    /*closing=*/{":020000030400F7", ":030000030601FCF7"},
    /*finishBaud=*/kNormalBaud,
    // Its display function streams the whole array until any character arrives, in a layout
    // the data sheet does not fix: no read-back.
    /*readsBack=*/false,
    // Its programming only clears bits: FF records over an older program would be refused.
    /*writesBlankBlocks=*/false,
};

TCPU_P89C51RX2::TCPU_P89C51RX2(platform::IEventLoop& loop) : TCPU_ISP8051(loop, kVariant) {}

} // namespace vk::cpu
