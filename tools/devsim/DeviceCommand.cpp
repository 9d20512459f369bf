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
    "  --link PATH          also make PATH a symbolic link to the pseudo-terminal\n"
    "  --log FILE           write the transcript (every byte in and out, timed) to FILE;\n"
    "                       \"-\" for stderr\n"
    "  --exit-after S       end after S seconds (decimals allowed)\n";

bool TakeCommonOption(OptionReader& args, CommonOptions& options) {
  if (args.Set("--pace", options.pace, true) || args.Set("--no-pace", options.pace, false))
    return true;
  std::string value;
  bool missing = false;
  if (args.Text("--link", options.linkPath, "--link needs a value", OptionReader::Empty::Allowed) ||
      args.Text("--log", options.logPath, "--log needs a value", OptionReader::Empty::Allowed))
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
  model.SetPacing(options.pace);
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
  const ServeEnd end = port.Serve(model, serve, &error);
  port.Close();

  const char* why = end == ServeEnd::Signal      ? "stopped by a signal"
                    : end == ServeEnd::TimeLimit ? "time limit reached"
                    : end == ServeEnd::HangUp    ? "hung up"
                                                 : "failed";
  std::fprintf(stderr, "vkdevsim %s: %s%s%s\n%s", device, why, error.empty() ? "" : ": ",
               error.c_str(), model.Summary().c_str());
  std::fflush(stderr);
  return end == ServeEnd::Error ? 1 : 0;
}

} // namespace vk::devsim
