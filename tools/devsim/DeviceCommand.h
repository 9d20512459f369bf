#pragma once
// What the device commands of vkdevsim share: reading options, and serving a model over a
// pseudo-terminal with the common options (--pace, --link, --log, --exit-after). A new device is
// one file with a Run function plus one line in the table of main.cpp.

#include "devsim/SerialDeviceModel.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vk::devsim {

// Walks the arguments of a device command; options are "--name VALUE" or "--name=VALUE".
class ArgCursor {
public:
  explicit ArgCursor(std::vector<std::string> args) : args_(std::move(args)) {}
  bool Done() const { return pos_ >= args_.size(); }
  const std::string& Current() const { return args_[pos_]; }
  // Consumes the current argument when it is the flag `name`.
  bool Flag(std::string_view name);
  // Consumes the current argument (and its value) when it is the option `name`. A missing value
  // leaves `missing` set.
  bool Option(std::string_view name, std::string& value, bool& missing);

private:
  std::vector<std::string> args_;
  std::size_t pos_ = 0;
};

// Decimal, or hexadecimal after "0x"; at most `max`.
bool ParseNumber(std::string_view text, std::uint64_t max, std::uint64_t& out);

struct CommonOptions {
  bool pace = true; // a pseudo-terminal passes bytes at once; pacing makes it behave like a line
  std::string linkPath;
  std::string logPath; // "-" for stderr
  double exitAfterSeconds = 0;
};

enum class OptionResult { NotMine, Taken, Bad };
// Takes one of the common options at the cursor; on Bad, `error` says why.
OptionResult TakeCommonOption(ArgCursor& args, CommonOptions& options, std::string& error);
extern const char* const kCommonOptionsHelp;

// Opens a pseudo-terminal, prints "PORT <slave path>" on stdout, serves `model` and prints its
// summary on stderr at the end. Returns the process exit code.
int ServeOverPty(SerialDeviceModel& model, const CommonOptions& options, const char* device);

// Prints "vkdevsim <device>: <message>" and the help hint on stderr; returns exit code 2.
int UsageError(const char* device, const std::string& message);

// Device commands, one file each; `args` excludes the device name.
int RunBackplane(const std::vector<std::string>& args);

} // namespace vk::devsim
