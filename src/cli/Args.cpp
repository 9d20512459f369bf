#include "cli/Args.h"

#include <cerrno>
#include <cstdlib>

namespace vk::cli {

namespace {

// The one-letter forms; a command accepts one only where it has the long option.
const std::map<char, std::string>& ShortNames() {
  static const std::map<char, std::string> names = {
      {'p', "port"},  {'t', "target"}, {'a', "address"}, {'r', "range"},
      {'s', "speed"}, {'y', "yes"},    {'q', "quiet"},   {'v', "verbose"}};
  return names;
}

// How often a flag may be given: -v and -vv are the two levels of detail; a third -v would
// promise more than there is.
int MostTimes(const std::string& name) { return name == "verbose" ? 2 : 1; }

} // namespace

Args::Args(const std::vector<std::string>& argv, const std::set<std::string>& valued,
           const std::set<std::string>& flags, const std::set<std::string>& optionalValue) {
  bool optionsEnded = false;
  auto setFlag = [&](const std::string& name) {
    const int times = ++counts_[name];
    if (times > MostTimes(name))
      throw UsageError(MostTimes(name) == 1
                           ? "option --" + name + " is given twice"
                           : "option --" + name + " is given " + std::to_string(times) +
                                 " times; -v and -vv are the levels there are");
    flags_.insert(name);
  };
  auto setValue = [&](const std::string& name, const std::string& value) {
    // A second value would silently win over the first; a script with both is a mistake.
    if (values_.count(name)) throw UsageError("option --" + name + " is given twice");
    values_[name] = value;
  };
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& a = argv[i];
    if (!optionsEnded && a.size() >= 2 && a[0] == '-' && a[1] != '-') {
      // -p VALUE, -pVALUE, -y, -vv, -yq
      for (std::size_t k = 1; k < a.size(); ++k) {
        const auto it = ShortNames().find(a[k]);
        const bool known = it != ShortNames().end();
        if (known && valued.count(it->second)) {
          if (k + 1 < a.size())
            setValue(it->second, a.substr(k + 1));
          else if (i + 1 < argv.size())
            setValue(it->second, argv[++i]);
          else
            throw UsageError("option -" + std::string(1, a[k]) + " (--" + it->second +
                             ") needs a value");
          break;
        }
        if (known && flags.count(it->second)) {
          setFlag(it->second);
          continue;
        }
        throw UsageError("unknown option -" + std::string(1, a[k]));
      }
      continue;
    }
    if (optionsEnded || a.size() < 2 || a.compare(0, 2, "--") != 0) {
      positional_.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = a.substr(2);
    std::optional<std::string> inlineValue;
    if (auto eq = name.find('='); eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    if (valued.count(name)) {
      if (inlineValue) {
        setValue(name, *inlineValue);
      } else if (i + 1 < argv.size()) {
        setValue(name, argv[++i]);
      } else {
        throw UsageError("option --" + name + " needs a value");
      }
    } else if (optionalValue.count(name)) {
      setFlag(name);
      if (inlineValue)
        values_[name] = *inlineValue;
      else if (i + 1 < argv.size() && argv[i + 1].rfind("0x", 0) == 0)
        values_[name] = argv[++i];
    } else if (flags.count(name)) {
      if (inlineValue) throw UsageError("option --" + name + " takes no value");
      setFlag(name);
    } else {
      throw UsageError("unknown option --" + name);
    }
  }
}

std::optional<std::string> Args::Value(const std::string& name) const {
  auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

namespace {
unsigned long long Parse(const std::string& text, int base, const std::string& what,
                         unsigned long long max) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
    base = 16;
  }
  if (digits.empty() || digits[0] == '-' || digits[0] == '+' || digits[0] == ' ')
    throw UsageError(what + ": \"" + text + "\" is not a number");
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(digits.c_str(), &end, base);
  if (*end != '\0') throw UsageError(what + ": \"" + text + "\" is not a number");
  if (errno == ERANGE || v > max) throw UsageError(what + ": \"" + text + "\" is too large");
  return v;
}
} // namespace

unsigned long long ParseNumber(const std::string& text, const std::string& what,
                               unsigned long long max) {
  return Parse(text, 10, what, max);
}

unsigned long long ParseHex(const std::string& text, const std::string& what,
                            unsigned long long max) {
  return Parse(text, 16, what, max);
}

} // namespace vk::cli
