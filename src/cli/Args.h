#pragma once
// A small, strict option parser for vkprog's commands: "--name value", "--name=value", flags,
// and positional arguments; "--" ends the options. The common options have one-letter forms
// ("-p COM3", "-pCOM3", "-y"); "-v" may be given twice ("-vv", "-v -v"), not more, every
// other option once. A lone "-" is a positional argument.

#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace vk::cli {

class UsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class Args {
public:
  // valued: options that take a value; flags: options that do not; optionalValue: flags that may
  // take a value, as "--name=VALUE" or as the next argument when that starts with "0x" (an
  // address). Throws UsageError.
  Args(const std::vector<std::string>& argv, const std::set<std::string>& valued,
       const std::set<std::string>& flags, const std::set<std::string>& optionalValue = {});

  bool Has(const std::string& name) const { return values_.count(name) || flags_.count(name); }
  // How often a flag was given (for -v, -vv).
  int Count(const std::string& name) const {
    auto it = counts_.find(name);
    return it == counts_.end() ? 0 : it->second;
  }
  std::optional<std::string> Value(const std::string& name) const;
  const std::vector<std::string>& Positional() const { return positional_; }

private:
  std::map<std::string, std::string> values_;
  std::set<std::string> flags_;
  std::map<std::string, int> counts_;
  std::vector<std::string> positional_;
};

// Parses an unsigned number: decimal, or hexadecimal with 0x. Throws UsageError naming what.
unsigned long long ParseNumber(const std::string& text, const std::string& what,
                               unsigned long long max);
// Parses hexadecimal digits (an optional 0x is allowed). Throws UsageError naming what.
unsigned long long ParseHex(const std::string& text, const std::string& what,
                            unsigned long long max);

} // namespace vk::cli
