#include "devsim/DeviceCommand.h"

#include "devsim/PtyPort.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace vk::devsim {

bool ArgCursor::Flag(std::string_view name) {
  if (Done() || Current() != name) return false;
  ++pos_;
  return true;
}

bool ArgCursor::Option(std::string_view name, std::string& value, bool& missing) {
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

const char* const kCommonOptionsHelp =
    "  --pace / --no-pace   bytes take as long as on a real line at the host's bit rate\n"
    "                       (10 bits per byte each way); default --pace\n"
    "  --link PATH          also make PATH a symbolic link to the pseudo-terminal\n"
    "  --log FILE           write the transcript (every byte in and out, timed) to FILE;\n"
    "                       \"-\" for stderr\n"
    "  --exit-after S       end after S seconds (decimals allowed)\n";

OptionResult TakeCommonOption(ArgCursor& args, CommonOptions& options, std::string& error) {
  if (args.Flag("--pace")) {
    options.pace = true;
    return OptionResult::Taken;
  }
  if (args.Flag("--no-pace")) {
    options.pace = false;
    return OptionResult::Taken;
  }
  std::string value;
  bool missing = false;
  const std::string name = args.Current();
  auto taken = [&](std::string& into) {
    if (missing) {
      error = name + " needs a value";
      return OptionResult::Bad;
    }
    into = value;
    return OptionResult::Taken;
  };
  if (args.Option("--link", value, missing)) return taken(options.linkPath);
  if (args.Option("--log", value, missing)) return taken(options.logPath);
  if (args.Option("--exit-after", value, missing)) {
    if (missing) {
      error = "--exit-after needs a number of seconds";
      return OptionResult::Bad;
    }
    char* end = nullptr;
    const double s = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !std::isfinite(s) || s <= 0) {
      error = "--exit-after takes a positive number of seconds, not \"" + value + "\"";
      return OptionResult::Bad;
    }
    options.exitAfterSeconds = s;
    return OptionResult::Taken;
  }
  return OptionResult::NotMine;
}

int UsageError(const char* device, const std::string& message) {
  std::fprintf(stderr, "vkdevsim %s: %s\nTry 'vkdevsim %s --help'.\n", device, message.c_str(),
               device);
  return 2;
}

int ServeOverPty(SerialDeviceModel& model, const CommonOptions& options, const char* device) {
  model.SetPacing(options.pace);
  std::FILE* log = nullptr;
  if (options.logPath == "-") {
    log = stderr;
  } else if (!options.logPath.empty()) {
    log = std::fopen(options.logPath.c_str(), "w");
    if (!log) {
      std::perror(("vkdevsim: " + options.logPath).c_str());
      return 1;
    }
  }
  auto closeLog = [&] {
    if (log && log != stderr) std::fclose(log);
  };

  PtyPort port;
  std::string error;
  if (!port.Open(model.CurrentHostLine().baud, &error)) {
    std::fprintf(stderr, "vkdevsim %s: %s\n", device, error.c_str());
    closeLog();
    return 1;
  }
  if (!options.linkPath.empty() && !port.CreateLink(options.linkPath, &error)) {
    std::fprintf(stderr, "vkdevsim %s: %s\n", device, error.c_str());
    closeLog();
    return 1;
  }
  std::printf("PORT %s\n", port.SlavePath().c_str());
  std::fflush(stdout);

  PtyServeOptions serve;
  serve.exitAfterSeconds = options.exitAfterSeconds;
  serve.log = log;
  const ServeEnd end = port.Serve(model, serve, &error);
  port.Close();
  closeLog();

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
