// vkprogrammer: the V&K Programmer window. Files named on the command line are loaded into the
// one image, in order, shortly after the window appears.

#include "cpu/Kernels.h"
#include "gui/MainForm.h"
#include "gui/QtMessageBox.h"
#include "link/LinkSetup.h"
#include "platform/QtEventLoop.h"
#include "platform/RecordingMessageBox.h"
#include "platform/SettingsStore.h"

#include <QApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("V&K Programmer"));
  QApplication::setOrganizationName(QStringLiteral("Velkor ApS."));
  QApplication::setApplicationVersion(QStringLiteral("2.4"));

  vk::gui::QtMessageBox boxes;
  // The boot kernels first: missing kernel files are announced, in one box, before the window
  // appears.
  const auto folders = vk::cpu::TProgKernel::DefaultFolders();
  vk::platform::RecordingMessageBox kernelBoxes;
  vk::cpu::KernelSet kernels(&kernelBoxes, folders);
  std::vector<std::string> texts, captions;
  for (const auto& box : kernelBoxes.boxes) {
    texts.push_back(box.text);
    captions.push_back(box.caption);
  }
  if (const auto notice = vk::gui::KernelWarning(texts, captions, folders); !notice.text.empty())
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
