#include "cli/Args.h"

#include <cerrno>
#include <cstdlib>

namespace vk::cli {

Args::Args(const std::vector<std::string>& argv, const std::set<std::string>& valued,
           const std::set<std::string>& flags) {
  bool optionsEnded = false;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& a = argv[i];
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
        values_[name] = *inlineValue;
      } else if (i + 1 < argv.size()) {
        values_[name] = argv[++i];
      } else {
        throw UsageError("option --" + name + " needs a value");
      }
    } else if (flags.count(name)) {
      if (inlineValue) throw UsageError("option --" + name + " takes no value");
      flags_.insert(name);
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
