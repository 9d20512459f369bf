// vkprogrammer: the V&K Programmer window. Files named on the command line are loaded into the
// one image, in order, shortly after the window appears.

#include "cpu/Kernels.h"
#include "gui/MainForm.h"
#include "gui/QtMessageBox.h"
#include "link/LinkSetup.h"
#include "platform/QtEventLoop.h"
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
  // The boot kernels first: a missing kernel file is announced before the window appears.
  vk::cpu::KernelSet kernels(&boxes);

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
