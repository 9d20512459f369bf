#include "cli/OutputGuard.h"

#include "programmer/JsonLinesReport.h"

#include "cli/Args.h"
#include "cli/InputFiles.h"
#include "cli/LinkSession.h"
#include "cli/TraceFile.h"
#include "platform/Native.h"
#include "platform/ProgramFolder.h"

#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

namespace vk::cli {

namespace {

// The serial port the --port text leads to; none for PCAN or a text that names none.
std::optional<PortChoice> SerialPort(const std::string& port) {
  if (port.empty()) return {};
  try {
    platform::NativeSettings store;
    ReadOnlySettings settings(store);
    const auto choice = ResolvePort(port, platform::NativePortMap(&settings));
    if (!choice.OverCan()) return choice;
  } catch (const std::exception&) {
    // the session says what is wrong with the port
  }
  return {};
}

// The settings files the programs read: where VK_SETTINGS_FILE points, the default place, and
// the machine-wide file.
std::vector<std::string> SettingsFiles() {
  platform::NativeSettings store;
  std::vector<std::string> places = {store.Place(), platform::NativeSettings::DefaultPlace()};
#if VK_WITH_QT
  places.push_back(store.MachinePlace());
#endif
  return places;
}

// The running program, and the programs that lie beside it (vkprog hands its link commands to
// vkprog-link, so both are "the program").
std::vector<std::string> ProgramFiles() {
  std::vector<std::string> files;
  std::error_code ec;
#ifndef _WIN32
  if (const auto self = std::filesystem::read_symlink("/proc/self/exe", ec); !ec)
    files.push_back(self.string());
#endif
  const std::string folder = platform::ProgramFolder();
  if (!folder.empty())
    for (const char* name : {"vkprog", "vkprog-link", "vkprogrammer", "vkdevsim"})
      for (const char* ending : {"", ".exe"})
        files.push_back((std::filesystem::path(folder) / (std::string(name) + ending)).string());
  return files;
}

std::string FirstLine(const std::string& path, bool& readable) {
  std::ifstream in(path, std::ios::binary);
  readable = static_cast<bool>(in);
  std::string line;
  if (readable) std::getline(in, line);
  return line;
}

} // namespace

bool LooksLikeTrace(const std::string& firstLine) {
  return firstLine.rfind(TraceFile::kHeading, 0) == 0;
}

bool LooksLikeReport(const std::string& firstLine) { return programmer::IsReportLine(firstLine); }

void RefuseForeignOutput(const std::string& option, const std::string& path, OutputKind kind,
                         const std::string& port) {
  const std::string what = kind == OutputKind::Trace ? "trace" : "report";
  const auto refuse = [&](const std::string& why) {
    throw UsageError(option + ": " + path + " " + why + "; name a file for the " + what);
  };
  // Before the existence check: a trace must not create a settings file either.
  for (const auto& settings : SettingsFiles())
    if (!settings.empty() && SameFile(path, settings))
      refuse("is the settings file of V&K Programmer (VK_SETTINGS_FILE or its default place)");
  for (const auto& program : ProgramFiles())
    if (Exists(program) && SameFile(path, program))
      refuse("is the program " + std::filesystem::path(program).filename().string() + " itself");

  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return; // a new file (or one the open will explain)
  if (const auto serial = SerialPort(port); serial && SameFile(path, serial->device))
    refuse("is the serial port COM" + std::to_string(serial->portNo) + " (" + serial->device +
           ") itself: the " + what + " would go to the device");
  // The system's sinks hold nothing to lose: a script may throw the text away (/dev/null) or
  // see how a full disk is met (/dev/full).
  const bool sink = SameFile(path, "/dev/null") || SameFile(path, "/dev/full");
  if ((S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) && !sink)
    refuse("is a device, not a file: the " + what + " would go to the device");
  if (S_ISDIR(st.st_mode)) refuse("is a directory");
  if (!S_ISREG(st.st_mode) || st.st_size == 0) return; // a pipe, or an empty file

  bool readable = false;
  const std::string first = FirstLine(path, readable);
  if (!readable)
    refuse(std::string("cannot be read to see whether it is a vkprog ") + what + " (" +
           std::strerror(errno) + ")");
  if (kind == OutputKind::Trace && LooksLikeTrace(first)) return;
  if (kind == OutputKind::Report && LooksLikeReport(first)) return;
  if (kind == OutputKind::Trace && LooksLikeReport(first))
    refuse("is a report of vkprog; a trace would replace it");
  if (kind == OutputKind::Report && LooksLikeTrace(first))
    refuse("is a trace of vkprog; report lines would be appended to it");
  refuse(kind == OutputKind::Trace
             ? "exists and is not a trace of vkprog (its first line does not begin \"" +
                   std::string(TraceFile::kHeading) + "\"), so it would be replaced"
             : "exists and is not a report of vkprog (its first line is not a JSON object with "
               "\"time\", \"host\" and \"command\"), so lines would be appended to it");
}

} // namespace vk::cli
