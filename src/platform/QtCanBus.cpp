#include "platform/QtCanBus.h"

#include "platform/Settings.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QVariant>

#include <cstdlib>

namespace vk::platform {

QtCanBus::QtCanBus(std::string backend, std::string interface)
    : backend_(std::move(backend)), interface_(std::move(interface)) {}

QtCanBus::~QtCanBus() { Close(); }

std::vector<std::string> QtCanBus::Backends() {
  std::vector<std::string> names;
  for (const QString& name : QCanBus::instance()->plugins()) names.push_back(name.toStdString());
  return names;
}

bool QtCanBus::Open(std::uint32_t bitRate) {
  Close();
  const std::string name = backend_ + " " + interface_;
  QString why;
  device_.reset(QCanBus::instance()->createDevice(QString::fromStdString(backend_),
                                                  QString::fromStdString(interface_), &why));
  if (!device_) {
    error_ =
        name + ": " + (why.isEmpty() ? std::string("no such CAN back end") : why.toStdString());
    return false;
  }
  if (backend_ != "socketcan")
    device_->setConfigurationParameter(QCanBusDevice::BitRateKey, QVariant(bitRate));
  if (!device_->connectDevice()) {
    error_ = name + ": " + device_->errorString().toStdString();
    device_.reset();
    return false;
  }
  // Some back ends (virtualcan) connect through a socket: let Qt finish that, but run no
  // timers meanwhile.
  QElapsedTimer waited;
  waited.start();
  while (device_->state() == QCanBusDevice::ConnectingState && waited.elapsed() < 2000 &&
         QCoreApplication::instance() != nullptr) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                    QEventLoop::X11ExcludeTimers);
    QThread::msleep(1);
  }
  if (device_->state() != QCanBusDevice::ConnectedState) {
    error_ = name + ": " +
             (device_->errorString().isEmpty() ? std::string("could not connect")
                                               : device_->errorString().toStdString());
    device_.reset();
    return false;
  }
  error_.clear();
  return true;
}

bool QtCanBus::IsOpen() const {
  return device_ && device_->state() == QCanBusDevice::ConnectedState;
}

bool QtCanBus::Send(const CanFrame& frame) {
  if (!IsOpen()) return false;
  QCanBusFrame f(frame.remote ? QCanBusFrame::RemoteRequestFrame : QCanBusFrame::DataFrame);
  f.setFrameId(frame.id);
  f.setExtendedFrameFormat(frame.extended);
  if (!frame.remote)
    f.setPayload(QByteArray(reinterpret_cast<const char*>(frame.data.data()),
                            std::min<int>(frame.length, 8)));
  if (!device_->writeFrame(f)) {
    error_ = backend_ + " " + interface_ + ": " + device_->errorString().toStdString();
    return false;
  }
  return true;
}

std::optional<CanFrame> QtCanBus::Receive(unsigned& busErrors) {
  busErrors = kCanBusOk;
  while (device_ && device_->framesAvailable() > 0) {
    const QCanBusFrame f = device_->readFrame();
    if (!f.isValid()) continue;
    if (f.frameType() == QCanBusFrame::ErrorFrame) {
      const auto e = f.error();
      if (e & QCanBusFrame::BusOffError) busErrors |= kCanBusOff;
      if (e & QCanBusFrame::ControllerError) busErrors |= kCanBusWarning | kCanBusOverrun;
      continue;
    }
    if (f.frameType() != QCanBusFrame::DataFrame &&
        f.frameType() != QCanBusFrame::RemoteRequestFrame)
      continue;
    CanFrame out;
    out.id = f.frameId();
    out.extended = f.hasExtendedFrameFormat();
    out.remote = f.frameType() == QCanBusFrame::RemoteRequestFrame;
    const QByteArray payload = f.payload();
    out.length = static_cast<std::uint8_t>(std::min<qsizetype>(payload.size(), 8));
    for (int i = 0; i < out.length; ++i) out.data[i] = static_cast<std::uint8_t>(payload[i]);
    return out;
  }
  return std::nullopt;
}

void QtCanBus::Close() {
  if (!device_) return;
  // Frames still on their way (the stop message, for one) go out before the connection ends:
  // let Qt finish the writes and the disconnection, running no timers meanwhile.
  auto settle = [this](auto done) {
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < 1000 && QCoreApplication::instance() != nullptr &&
           QThread::currentThread() == device_->thread()) {
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                      QEventLoop::X11ExcludeTimers);
      QThread::msleep(1);
    }
  };
  if (device_->state() == QCanBusDevice::ConnectedState) {
    settle([this] { return device_->framesToWrite() == 0; });
    device_->disconnectDevice();
  }
  settle([this] { return device_->state() == QCanBusDevice::UnconnectedState; });
  device_.reset();
}

} // namespace vk::platform
