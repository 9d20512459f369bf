#pragma once
// Scripted faults of a simulated device, written as short rules on the command line or in tests:
//
//   silent                      the device answers nothing at all
//   record:N=ACTION             the N-th data record the device receives (1-based, counted over
//   record:N-M=ACTION           the device's whole life, repeats included), or records N to M
//   after-records:N=ACTION      once the N-th record has been answered: hangup, or silent from
//                               then on
//   command:NAME=ACTION         every command named NAME: the command itself without spaces
//                               ("OP7", "erase1") or its leading word ("OP", "erase", "QV")
//   command:NAME#K=ACTION       only the K-th command named NAME
//   command:#K=ACTION           the K-th command of any kind (records do not count)
//
// ACTION: silent (carried out, answer withheld), X / E / R (refused: that letter is the answer),
// garbage (carried out, answer replaced by line noise), hangup (the device goes away at once).
// Names and actions are case-insensitive. When several faults match, the first one given wins.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vk::devsim {

enum class FaultAction : std::uint8_t { Silent, ReplyX, ReplyE, ReplyR, Garbage, HangUp };

struct Fault {
  enum class Target : std::uint8_t { Everything, Records, AfterRecords, Command, CommandIndex };
  Target target = Target::Everything;
  std::uint64_t first = 0;      // Records: first of the range; AfterRecords, CommandIndex: N
  std::uint64_t last = 0;       // Records: last of the range
  std::string name;             // Command: upper case, spaces removed
  std::uint64_t occurrence = 0; // Command: 0 for every time, else only the K-th
  FaultAction action = FaultAction::Silent;
  std::string rule;       // as written
  std::uint64_t seen = 0; // Command: matching commands so far
};

// Parses one rule; on failure returns nothing and says why in `error`.
std::optional<Fault> ParseFault(std::string_view rule, std::string* error);

const char* FaultActionName(FaultAction action);

class FaultScript {
public:
  void Add(Fault fault) { faults_.push_back(std::move(fault)); }
  // Adds a parsed rule; false (and `error`) when it does not parse.
  bool Add(std::string_view rule, std::string* error = nullptr);
  bool Empty() const { return faults_.empty(); }
  const std::vector<Fault>& Faults() const { return faults_; }

  bool EverythingSilent() const;
  // The fault for the `n`-th record received, if any.
  const Fault* ForRecord(std::uint64_t n) const;
  // The fault that fires once the `n`-th record has been answered, if any.
  const Fault* AfterRecord(std::uint64_t n) const;
  // The fault for a command line; `index` is its 1-based position among all commands. Every
  // call counts the command against the faults whose name it matches.
  const Fault* ForCommand(std::string_view line, std::uint64_t index);

private:
  std::vector<Fault> faults_;
};

// Upper case without spaces, as command names are compared.
std::string CommandKey(std::string_view text);
// The leading run of letters of a command key ("OP7" -> "OP", "ERASE1" -> "ERASE").
std::string CommandWord(std::string_view key);

} // namespace vk::devsim
