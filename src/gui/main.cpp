// vkprogrammer: the V&K Programmer window. Files named on the command line are loaded into the
// one image, in order, shortly after the window appears.

#include "cpu/Kernels.h"
#include "gui/MainForm.h"
#include "gui/QtMessageBox.h"
#include "link/LinkSetup.h"
#include "platform/QtEventLoop.h"
#include "platform/SettingsStore.h"
#include "vk/Version.h"

#include <QApplication>
#include <QFile>

#include <cstdio>
#include <cstring>

namespace {

// Answered before QApplication exists, so that they work without a display (man pages are
// made from them).
constexpr const char* kUsage =
    "Usage: vkprogrammer [OPTIONS] [FILE...]\n"
    "\n"
    "The V&K Programmer window: loads firmware images (Intel HEX, Motorola S-records,\n"
    "V&K containers), shows them, saves them and programs them into the modules through\n"
    "the backplane programmer unit, the chips' boot loaders or a CAN adapter.\n"
    "FILE... are loaded into the one image, in order, shortly after the window appears.\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Qt's own options also apply, e.g. -platform offscreen, -style NAME.\n"
    "Environment: VK_SERIAL_PORTS, VK_SETTINGS_FILE, VK_SYSTEM_SETTINGS_FILE,\n"
    "VK_CAN_BACKEND, VK_CAN_INTERFACE and VKPROG_KERNEL_DIR, as for vkprog.\n";

} // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("vkprogrammer (V&K Programmer) %s\n", VK_VERSION);
      return 0;
    }
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("V&K Programmer"));
  QApplication::setOrganizationName(QStringLiteral("Velkor ApS."));
  QApplication::setApplicationVersion(QStringLiteral(VK_VERSION));

  vk::gui::QtMessageBox boxes;
  // The boot kernels first: missing kernel files are announced, in one box, before the window
  // appears.
  const auto folders = vk::cpu::BootKernel::DefaultFolders();
  vk::cpu::KernelSet kernels(folders);
  if (const auto notice = vk::gui::KernelWarning(kernels.Warnings(), folders); !notice.text.empty())
    boxes.Show(notice.text, notice.caption, vk::platform::MsgButtons::Ok,
               vk::platform::MsgIcon::Warning);

  vk::platform::SettingsStore settings;
  vk::link::LinkDevices devices(&settings);
  for (const auto& problem : devices.Problems())
    std::fprintf(stderr, "vkprogrammer: serial port map: %s\n", problem.c_str());

  vk::platform::QtEventLoop loop;
  vk::gui::TMainForm form(loop, boxes, kernels, {devices.Ports(), devices.CanDriver(), &settings});
  boxes.SetMainWindow(&form);
  form.show();

  // Qt has taken its own options (-style, -platform, ...) out of the arguments already.
  std::vector<std::string> files;
  const QStringList args = QApplication::arguments();
  for (qsizetype i = 1; i < args.size(); ++i)
    files.push_back(QFile::encodeName(args[i]).toStdString());
  form.Start(files);

  return app.exec();
}
