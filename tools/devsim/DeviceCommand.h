#pragma once
// What the device commands of vkdevsim share: reading options, and serving a model over a
// pseudo-terminal with the common options (--pace, --link, --log, --exit-after). A new device is
// one file with a Run function plus one line in the table of main.cpp.

#include "devsim/LinkShaper.h"
#include "devsim/SerialDeviceModel.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vk::devsim {

// Decimal, or hexadecimal after "0x"; at most `max`.
bool ParseNumber(std::string_view text, std::uint64_t max, std::uint64_t& out);
// A positive, finite number of seconds (decimals allowed); `out` is left alone otherwise.
bool ParsePositiveSeconds(const std::string& text, double& out);

// Walks the arguments of a device command; options are "--name VALUE" or "--name=VALUE".
// The option helpers each answer whether the argument at the cursor was theirs: then it has been
// taken, or refused with a message (Failed).
class OptionReader {
public:
  explicit OptionReader(std::vector<std::string> args) : args_(std::move(args)) {}
  bool Done() const { return pos_ >= args_.size(); }
  const std::string& Current() const { return args_[pos_]; }

  // Consumes the current argument when it is the flag `name`.
  bool Flag(std::string_view name);
  // Consumes the current argument (and its value) when it is the option `name`. A missing value
  // leaves `missing` set.
  bool Option(std::string_view name, std::string& value, bool& missing);

  // The flag `name` sets `into` to `value`.
  bool Set(std::string_view name, bool& into, bool value);
  // A number from `min` to `max`, decimal or 0x hex; anything else is refused with `message`.
  template <typename T>
  bool Number(std::string_view name, std::uint64_t min, std::uint64_t max, T& into,
              std::string_view message) {
    std::uint64_t n = 0;
    if (!NumberValue(name, min, max, n, message)) return false;
    if (!Failed()) into = static_cast<T>(n);
    return true;
  }
  // A number of milliseconds up to `max`: "NAME takes a number of milliseconds" otherwise.
  bool Milliseconds(std::string_view name, Millis& into, std::uint64_t max = 3600000);
  // A text; a missing one is refused with `message`, and so is an empty one unless allowed.
  enum class Empty { Refused, Allowed };
  bool Text(std::string_view name, std::string& into, std::string_view message,
            Empty empty = Empty::Refused);
  // One of the words of `choices`; anything else (or nothing) is refused with `message`.
  template <typename T>
  bool Choice(std::string_view name, std::initializer_list<std::pair<std::string_view, T>> choices,
              T& into, std::string_view message) {
    std::string value;
    bool missing = false;
    if (!Option(name, value, missing)) return false;
    for (const auto& [word, meaning] : choices) {
      if (value == word) {
        into = meaning;
        return true;
      }
    }
    return Fail(std::string(message));
  }
  // --record-ack dot|06: records are acknowledged with "." or the byte 0x06.
  bool RecordAck(char& into);
  // --fault RULE, repeatable. `check` parses a rule as the device will take it; by default as
  // FaultScript does.
  using FaultCheck = std::function<bool(const std::string& rule, std::string* error)>;
  bool Fault(std::vector<std::string>& rules, const FaultCheck& check = {});

  // Refuses the option in hand; returns true, since the option was the caller's.
  bool Fail(std::string message);
  bool Failed() const { return failed_; }
  const std::string& Error() const { return error_; }

private:
  bool NumberValue(std::string_view name, std::uint64_t min, std::uint64_t max, std::uint64_t& out,
                   std::string_view message);

  std::vector<std::string> args_;
  std::size_t pos_ = 0;
  bool failed_ = false;
  std::string error_;
};

struct CommonOptions {
  bool pace = true; // a pseudo-terminal passes bytes at once; pacing makes it behave like a line
  std::string linkPath; // --symlink PATH, or --link PATH for any value that is no link kind
  LinkConfig link;      // --link ideal|usb[:MS]|uart
  LineFaults faults;    // --unplug-after, --noise, --stall
  std::string logPath;  // "-" for stderr
  double exitAfterSeconds = 0;
  std::string flashOutPath; // at the end, the device's flash is written here
};

// Takes the options of a device command in order: --help / -h prints `help` and ends the command;
// the common options go to `common` (when the device has them: their help then follows its
// own), every other option to `own`, which answers whether it was one of the device's. Returns
// the exit code to end with (0 after the help, 2 after a usage error), or nothing when the device
// is to run.
using OwnOptions = std::function<bool(OptionReader&)>;
std::optional<int> ReadOptions(const std::vector<std::string>& args, const char* device,
                               const char* help, CommonOptions* common, const OwnOptions& own);

// Where a transcript goes: stderr for "-", a new file, or nowhere for an empty path. Closes the
// file with the object.
class LogFile {
public:
  LogFile() = default;
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
  ~LogFile();
  // False, having said why on stderr, when the file cannot be made.
  bool Open(const std::string& path);
  std::FILE* Get() const { return file_; }

private:
  std::FILE* file_ = nullptr;
};

// Opens a pseudo-terminal, prints "PORT <slave path>" on stdout, serves `model` and prints its
// summary on stderr at the end. Returns the process exit code.
int ServeOverPty(SerialDeviceModel& model, const CommonOptions& options, const char* device);

// Prints "vkdevsim <device>: <message>" and the help hint on stderr; returns exit code 2.
int UsageError(const char* device, const std::string& message);

// Device commands, one file each; `args` excludes the device name.
int RunBackplane(const std::vector<std::string>& args);

} // namespace vk::devsim
