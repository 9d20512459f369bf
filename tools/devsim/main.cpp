// vkdevsim: simulated devices for V&K Programmer, served on a pseudo-terminal or a CAN bus.

#include "devsim/CortexBootLoader.h"
#include "devsim/DeviceCommand.h"
#include "devsim/H8BootMode.h"
#include "devsim/Isp8051Loader.h"
#include "devsim/Qx4tBootLoader.h"
#include "devsim/Qx4tCanLoader.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Device {
  const char* name;
  const char* summary;
  int (*run)(const std::vector<std::string>& args);
};

// One line per device; each lives in a file of its own.
const Device kDevices[] = {
    {"backplane", "the backplane programmer unit with modules at addresses",
     vk::devsim::RunBackplane},
    {"h8", "an H8 chip in boot mode, and the kernel downloaded into it", vk::devsim::RunH8},
    {"cortex", "the serial boot loader of a Cortex-M3 chip", vk::devsim::RunCortex},
    {"isp8051", "the ISP boot loader of an 8051 (AT89C51RX2 or P89C51RX2)", vk::devsim::RunIsp8051},
    {"qx4t-boot", "the serial boot loader of the QX4T controller", vk::devsim::RunQx4tBoot},
    {"qx4t-can", "the QX4T controller's CAN loader, a node on the virtual CAN bus",
     vk::devsim::RunQx4tCan},
};

void PrintHelp(std::FILE* to) {
  std::fputs("Usage: vkdevsim DEVICE [options]\n"
             "       vkdevsim DEVICE --help\n"
             "\n"
             "Simulated devices for V&K Programmer, for tests, training and demonstrations\n"
             "without hardware. Serial devices are served on a pseudo-terminal whose path is\n"
             "printed as \"PORT <path>\" on stdout; the CAN loader joins a (virtual) CAN bus.\n"
             "\n"
             "Devices:\n",
             to);
  for (const auto& d : kDevices) std::fprintf(to, "  %-12s %s\n", d.name, d.summary);
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintHelp(stderr);
    return 2;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    PrintHelp(stdout);
    return 0;
  }
  for (const auto& d : kDevices) {
    if (std::strcmp(argv[1], d.name) == 0)
      return d.run(std::vector<std::string>(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "vkdevsim: unknown device \"%s\"\nTry 'vkdevsim --help'.\n", argv[1]);
  return 2;
}
