#pragma once
// The window's run report: off by default; the setting ReportFile (File > Report...) names a
// JSON Lines file, and every module's run then ends as a line in it, the same fields in the same
// order as vkprog's --report. The records go to a list of sinks: the file is one, and another
// place is one more sink (programmer/RunRecord.h).

#include "image/FirmwareImage.h"
#include "link/SerialLink.h"
#include "platform/EventLoop.h"
#include "platform/SerialDevice.h"
#include "programmer/RunController.h"
#include "programmer/RunRecord.h"

#include <functional>
#include <string>
#include <vector>

namespace vk::app {

class WindowReport {
public:
  static constexpr const char* kSetting = "ReportFile";

  WindowReport(platform::IEventLoop& loop, platform::ISerialPorts& ports,
               image::FirmwareImage& image, link::SerialLink& comm, programmer::RunController& prg)
      : loop_(loop), ports_(ports), image_(image), comm_(comm), prg_(prg) {}

  // Records from now on go to path (appended); "" turns the report off. Throws
  // std::runtime_error when the file cannot be opened or holds something else than a report
  // (the report stays as it was).
  void Open(const std::string& path);
  const std::string& Path() const { return path_; }
  bool On() const { return !sinks.Empty(); }
  // Why a record did not reach its place ("" while all did).
  std::string Failure() const { return sinks.Failure(); }

  // A sequence of runs begins: the first module's duration counts from here.
  void Begin() { mark_ = loop_.Now(); }
  // A module's run ended. detectedType: a backplane module's answer to "ID" (0: none).
  void Record(const programmer::RunOutcome& outcome, int detectedType);
  // The files whose data the image holds (the Buffer page's list).
  std::function<std::vector<std::string>()> Files;

  programmer::RunSinks sinks;

private:
  platform::IEventLoop& loop_;
  platform::ISerialPorts& ports_;
  image::FirmwareImage& image_;
  link::SerialLink& comm_;
  programmer::RunController& prg_;
  std::string path_;
  platform::Millis mark_ = 0;
};

} // namespace vk::app
