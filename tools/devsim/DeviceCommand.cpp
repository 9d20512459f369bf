#include "devsim/DeviceCommand.h"

#include "devsim/FaultScript.h"
#include "devsim/PtyPort.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vk::devsim {

bool OptionReader::Flag(std::string_view name) {
  if (Done() || Current() != name) return false;
  ++pos_;
  return true;
}

bool OptionReader::Option(std::string_view name, std::string& value, bool& missing) {
  missing = false;
  if (Done()) return false;
  const std::string& a = Current();
  if (a == name) {
    ++pos_;
    if (Done()) {
      missing = true;
      return true;
    }
    value = args_[pos_++];
    return true;
  }
  if (a.size() > name.size() && a.compare(0, name.size(), name) == 0 && a[name.size()] == '=') {
    value = a.substr(name.size() + 1);
    ++pos_;
    return true;
  }
  return false;
}

bool OptionReader::Fail(std::string message) {
  failed_ = true;
  error_ = std::move(message);
  return true;
}

bool OptionReader::Set(std::string_view name, bool& into, bool value) {
  if (!Flag(name)) return false;
  into = value;
  return true;
}

bool OptionReader::NumberValue(std::string_view name, std::uint64_t min, std::uint64_t max,
                               std::uint64_t& out, std::string_view message) {
  std::string value;
  bool missing = false;
  if (!Option(name, value, missing)) return false;
  if (missing || !ParseNumber(value, max, out) || out < min) return Fail(std::string(message));
  return true;
}

bool OptionReader::Milliseconds(std::string_view name, Millis& into, std::uint64_t max) {
  return Number(name, 0, max, into, std::string(name) + " takes a number of milliseconds");
}

bool OptionReader::Text(std::string_view name, std::string& into, std::string_view message,
                        Empty empty) {
  std::string value;
  bool missing = false;
  if (!Option(name, value, missing)) return false;
  if (missing || (empty == Empty::Refused && value.empty())) return Fail(std::string(message));
  into = value;
  return true;
}

bool OptionReader::RecordAck(char& into) {
  return Choice<char>("--record-ack", {{"dot", '.'}, {"06", '\x06'}}, into,
                      "--record-ack takes dot or 06");
}

bool OptionReader::Fault(std::vector<std::string>& rules, const FaultCheck& check) {
  std::string value;
  bool missing = false;
  if (!Option("--fault", value, missing)) return false;
  if (missing) return Fail("--fault needs a rule");
  std::string error;
  const bool ok = check ? check(value, &error) : ParseFault(value, &error).has_value();
  if (!ok) return Fail(error);
  rules.push_back(value);
  return true;
}

bool ParseNumber(std::string_view text, std::uint64_t max, std::uint64_t& out) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty()) return false;
  const auto* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, out, base);
  return r.ec == std::errc() && r.ptr == end && out <= max;
}

bool ParsePositiveSeconds(const std::string& text, double& out) {
  char* end = nullptr;
  const double s = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(s) || s <= 0) return false;
  out = s;
  return true;
}

namespace {

const char* const kCommonOptionsHelp =
    "  --pace / --no-pace   bytes take as long as on a real line at the host's bit rate\n"
    "                       (10 bits per byte each way); default --pace\n"
    "  --link ideal|usb[:MS]|uart\n"
    "                       what lies between device and host: ideal (default), a USB\n"
    "                       adapter whose latency timer (16 ms unless given, 1..255) or a\n"
    "                       full 62-byte packet sends the device's bytes on in bursts, or a\n"
    "                       UART line that paces every byte at the bit rate both ways\n"
    "  --symlink PATH       also make PATH a symbolic link to the pseudo-terminal (so does\n"
    "                       --link PATH for a PATH that is no link kind)\n"
    "  --unplug-after N     pull the adapter out once the device has taken N data records\n"
    "                       (N followed by b: N bytes from the host); the port vanishes\n"
    "  --noise P            each byte towards the host gets one bit flipped with chance P\n"
    "  --noise-seed N       seed for --noise (default 1), so a run can be repeated\n"
    "  --stall MS@N         the device says nothing for MS ms from data record N on\n"
    "  --log FILE           write the transcript (every byte in and out, timed) to FILE;\n"
    "                       \"-\" for stderr\n"
    "  --exit-after S       end after S seconds (decimals allowed)\n"
    "  --flash-out FILE     at the end, write the device's flash to FILE (the backplane:\n"
    "                       each module's 64 KiB in address order)\n";

bool TakeCommonOption(OptionReader& args, CommonOptions& options) {
  if (args.Set("--pace", options.pace, true) || args.Set("--no-pace", options.pace, false))
    return true;
  std::string value;
  bool missing = false;
  if (args.Option("--link", value, missing)) {
    if (missing) return args.Fail("--link needs ideal, usb[:MS], uart or a path");
    if (const auto kind = ParseLinkKind(value)) {
      options.link = *kind;
    } else if (value.substr(0, 3) == "usb") {
      return args.Fail("--link usb:MS takes a latency of 1 to 255 ms, not \"" + value + "\"");
    } else {
      options.linkPath = value;
    }
    return true;
  }
  if (args.Text("--symlink", options.linkPath, "--symlink needs a path") ||
      args.Text("--flash-out", options.flashOutPath, "--flash-out needs a file name") ||
      args.Text("--log", options.logPath, "--log needs a value", OptionReader::Empty::Allowed))
    return true;
  if (args.Option("--unplug-after", value, missing)) {
    if (missing || !ParseUnplugAfter(value, options.faults))
      return args.Fail("--unplug-after takes a number of records, or of bytes with a b after it");
    return true;
  }
  if (args.Option("--stall", value, missing)) {
    if (missing || !ParseStall(value, options.faults))
      return args.Fail("--stall takes MS@N: milliseconds of silence at data record N");
    return true;
  }
  if (args.Option("--noise", value, missing)) {
    char* end = nullptr;
    const double p = missing ? -1 : std::strtod(value.c_str(), &end);
    if (missing || value.empty() || *end != '\0' || !(p >= 0 && p <= 1))
      return args.Fail("--noise takes a chance from 0 to 1");
    options.faults.noise = p;
    return true;
  }
  if (args.Number("--noise-seed", 0, UINT64_MAX, options.faults.noiseSeed,
                  "--noise-seed takes a number"))
    return true;
  if (args.Option("--exit-after", value, missing)) {
    if (missing) return args.Fail("--exit-after needs a number of seconds");
    if (!ParsePositiveSeconds(value, options.exitAfterSeconds))
      return args.Fail("--exit-after takes a positive number of seconds, not \"" + value + "\"");
    return true;
  }
  return false;
}

} // namespace

std::optional<int> ReadOptions(const std::vector<std::string>& argv, const char* device,
                               const char* help, CommonOptions* common, const OwnOptions& own) {
  OptionReader args(argv);
  while (!args.Done()) {
    if (args.Flag("--help") || args.Flag("-h")) {
      std::fputs(help, stdout);
      if (common) std::fputs(kCommonOptionsHelp, stdout);
      return 0;
    }
    const std::string name = args.Current();
    const bool taken = (common && TakeCommonOption(args, *common)) || own(args);
    if (args.Failed()) return UsageError(device, args.Error());
    if (!taken) return UsageError(device, "unknown option \"" + name + "\"");
  }
  return std::nullopt;
}

LogFile::~LogFile() {
  if (file_ && file_ != stderr) std::fclose(file_);
}

bool LogFile::Open(const std::string& path) {
  if (path == "-") {
    file_ = stderr;
  } else if (!path.empty()) {
    file_ = std::fopen(path.c_str(), "w");
    if (!file_) {
      std::perror(("vkdevsim: " + path).c_str());
      return false;
    }
  }
  return true;
}

int UsageError(const char* device, const std::string& message) {
  std::fprintf(stderr, "vkdevsim %s: %s\nTry 'vkdevsim %s --help'.\n", device, message.c_str(),
               device);
  return 2;
}

int ServeOverPty(SerialDeviceModel& model, const CommonOptions& options, const char* device) {
  // A real adapter or line takes its time for every byte, whatever --pace says.
  model.SetPacing(options.pace || options.link.Paced());
  LogFile log;
  if (!log.Open(options.logPath)) return 1;

  PtyPort port;
  std::string error;
  if (!port.Open(model.CurrentHostLine().baud, &error) ||
      (!options.linkPath.empty() && !port.CreateLink(options.linkPath, &error))) {
    std::fprintf(stderr, "vkdevsim %s: %s\n", device, error.c_str());
    return 1;
  }
  std::printf("PORT %s\n", port.SlavePath().c_str());
  std::fflush(stdout);

  PtyServeOptions serve;
  serve.exitAfterSeconds = options.exitAfterSeconds;
  serve.log = log.Get();
  LinkShaper shaper(options.link, options.faults);
  const ServeEnd end = port.Serve(model, shaper, serve, &error);
  port.Close();

  const char* why = end == ServeEnd::Signal      ? "stopped by a signal"
                    : end == ServeEnd::TimeLimit ? "time limit reached"
                    : end == ServeEnd::HangUp    ? "hung up"
                    : end == ServeEnd::Unplugged ? "adapter unplugged"
                                                 : "failed";
  std::fprintf(stderr, "vkdevsim %s: %s%s%s\n%s", device, why, error.empty() ? "" : ": ",
               error.c_str(), (model.Summary() + shaper.Summary()).c_str());
  std::fflush(stderr);
  int code = end == ServeEnd::Error ? 1 : 0;
  if (!options.flashOutPath.empty()) {
    const auto flash = model.FlashImage();
    std::FILE* f = std::fopen(options.flashOutPath.c_str(), "wb");
    const bool ok = f && std::fwrite(flash.data(), 1, flash.size(), f) == flash.size();
    if (!f || std::fclose(f) != 0 || !ok) {
      std::fprintf(stderr, "vkdevsim %s: cannot write %s\n", device, options.flashOutPath.c_str());
      code = 1;
    }
  }
  return code;
}

} // namespace vk::devsim
