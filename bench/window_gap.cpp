// How long the window's event loop ever stands still during a whole H8 run, boot kernel
// included: the real window (offscreen) programs a chip simulated by vkdevsim behind a
// pseudo-terminal that paces the line like 9600/19200 bit/s, while a 1 ms probe timer records
// the longest gap between two turns of the loop. Prints; asserts nothing.
// Usage: window_gap VKDEVSIM   (the environment names the port, the kernels and the settings;
// bench/window_gap.sh sets it up)

#include "cpu/Kernels.h"
#include "gui/MainForm.h"
#include "link/LinkSetup.h"
#include "platform/QtEventLoop.h"
#include "platform/RecordingMessageBox.h"
#include "platform/SettingsStore.h"
#include "programmer/RunController.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: window_gap VKDEVSIM IMAGE.hex\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  // The simulated chip: vkdevsim prints "PORT <path>" once its terminal is ready.
  QProcess sim;
  sim.start(QString::fromLocal8Bit(argv[1]), {"h8", "--pace"});
  QString port;
  for (int i = 0; i < 100 && port.isEmpty(); ++i) {
    sim.waitForReadyRead(100);
    while (sim.canReadLine()) {
      const QString line = QString::fromLocal8Bit(sim.readLine()).trimmed();
      if (line.startsWith("PORT ")) port = line.mid(5);
    }
  }
  if (port.isEmpty()) {
    std::fprintf(stderr, "window_gap: vkdevsim did not start: %s\n",
                 sim.readAllStandardError().constData());
    return 1;
  }
  qputenv("VK_SERIAL_PORTS", ("COM1=" + port).toLocal8Bit());

  vk::platform::RecordingMessageBox boxes;
  vk::cpu::KernelSet kernels;
  vk::platform::SettingsStore settings;
  vk::link::LinkDevices devices(&settings);
  vk::platform::QtEventLoop loop;
  vk::gui::TMainForm form(loop, boxes, kernels, {devices.Ports(), devices.CanDriver(), &settings});
  form.show();
  form.Start({argv[2]});
  auto& session = form.Session();
  if (!loop.RunUntil([&] { return !session.image.IsEmpty() && session.comm->IsOpen(); }, 5000)) {
    std::fprintf(stderr, "window_gap: the image did not load or COM1 did not open\n");
    return 1;
  }
  session.prg->SelectByName("H8/3664");

  QElapsedTimer clock;
  clock.start();
  qint64 last = 0, longest = 0, longestAt = 0, turns = 0;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  probe.setInterval(1);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    if (now - last > longest) {
      longest = now - last;
      longestAt = now;
    }
    last = now;
    ++turns;
  });
  probe.start();
  session.ButtonPressed(vk::programmer::RunController::kProgram);

  auto* log = form.TabSheetProgrammer->LogMemo;
  const bool ended = loop.RunUntil(
      [&] {
        const QString text = log->toPlainText();
        return text.contains("Programmed OK") || text.contains("Failed");
      },
      120000);
  probe.stop();
  const qint64 took = clock.elapsed();
  sim.terminate();
  sim.waitForFinished(3000);

  std::printf("H8/3664 run in the window (kernel and records), %s in %.1f s: %s\n",
              ended ? "ended" : "did not end", took / 1000.0,
              log->toPlainText().trimmed().replace('\n', "; ").toLocal8Bit().constData());
  std::printf("  longest gap between two turns of the window's event loop: %lld ms, at %.1f s "
              "(%lld turns; goal <= 50 ms)\n",
              static_cast<long long>(longest), longestAt / 1000.0, static_cast<long long>(turns));
  return ended ? 0 : 1;
}
