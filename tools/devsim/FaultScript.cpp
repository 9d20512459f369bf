#include "devsim/FaultScript.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace vk::devsim {

namespace {

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool ParseCount(std::string_view text, std::uint64_t& out) {
  if (text.empty()) return false;
  const auto* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, out);
  return r.ec == std::errc() && r.ptr == end && out >= 1;
}

bool ParseAction(std::string_view text, FaultAction& out) {
  const std::string a = Upper(text);
  if (a == "SILENT")
    out = FaultAction::Silent;
  else if (a == "X")
    out = FaultAction::ReplyX;
  else if (a == "E")
    out = FaultAction::ReplyE;
  else if (a == "R")
    out = FaultAction::ReplyR;
  else if (a == "GARBAGE")
    out = FaultAction::Garbage;
  else if (a == "HANGUP")
    out = FaultAction::HangUp;
  else
    return false;
  return true;
}

std::optional<Fault> Fail(std::string* error, std::string_view rule, std::string_view why) {
  if (error) *error = "fault \"" + std::string(rule) + "\": " + std::string(why);
  return std::nullopt;
}

} // namespace

const char* FaultActionName(FaultAction action) {
  switch (action) {
  case FaultAction::Silent:
    return "silent";
  case FaultAction::ReplyX:
    return "X";
  case FaultAction::ReplyE:
    return "E";
  case FaultAction::ReplyR:
    return "R";
  case FaultAction::Garbage:
    return "garbage";
  case FaultAction::HangUp:
    return "hangup";
  }
  return "?";
}

std::string CommandKey(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c != ' ' && c != '\t')
      out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  return out;
}

std::string CommandWord(std::string_view key) {
  std::size_t n = 0;
  while (n < key.size() && std::isalpha(static_cast<unsigned char>(key[n]))) ++n;
  return std::string(key.substr(0, n));
}

std::optional<Fault> ParseFault(std::string_view rule, std::string* error) {
  Fault f;
  f.rule = std::string(rule);
  if (Upper(rule) == "SILENT") {
    f.target = Fault::Target::Everything;
    f.action = FaultAction::Silent;
    return f;
  }
  const auto colon = rule.find(':');
  const auto eq = rule.rfind('=');
  if (colon == std::string_view::npos || eq == std::string_view::npos || eq < colon)
    return Fail(error, rule,
                "expected silent, record:N=ACTION, after-records:N=ACTION or "
                "command:NAME=ACTION");
  const std::string kind = Upper(rule.substr(0, colon));
  const std::string_view what = rule.substr(colon + 1, eq - colon - 1);
  if (!ParseAction(rule.substr(eq + 1), f.action))
    return Fail(error, rule, "the action must be silent, X, E, R, garbage or hangup");

  if (kind == "RECORD") {
    f.target = Fault::Target::Records;
    const auto dash = what.find('-');
    const std::string_view a = what.substr(0, dash);
    const std::string_view b = dash == std::string_view::npos ? a : what.substr(dash + 1);
    if (!ParseCount(a, f.first) || !ParseCount(b, f.last) || f.last < f.first)
      return Fail(error, rule, "records are counted from 1: give N or N-M with M >= N");
    return f;
  }
  if (kind == "AFTER-RECORDS") {
    f.target = Fault::Target::AfterRecords;
    if (!ParseCount(what, f.first)) return Fail(error, rule, "give a record count from 1");
    if (f.action != FaultAction::HangUp && f.action != FaultAction::Silent)
      return Fail(error, rule, "after-records takes hangup or silent");
    return f;
  }
  if (kind == "COMMAND") {
    const auto hash = what.find('#');
    const std::string_view name = what.substr(0, hash);
    if (hash != std::string_view::npos) {
      if (!ParseCount(what.substr(hash + 1), name.empty() ? f.first : f.occurrence))
        return Fail(error, rule, "the count after # starts at 1");
    }
    if (name.empty()) {
      if (hash == std::string_view::npos) return Fail(error, rule, "give a command name or #K");
      f.target = Fault::Target::CommandIndex;
      return f;
    }
    f.target = Fault::Target::Command;
    f.name = CommandKey(name);
    if (f.name.empty()) return Fail(error, rule, "give a command name or #K");
    return f;
  }
  return Fail(error, rule,
              "unknown kind \"" + std::string(rule.substr(0, colon)) +
                  "\" (record, after-records, command)");
}

bool FaultScript::Add(std::string_view rule, std::string* error) {
  auto f = ParseFault(rule, error);
  if (!f) return false;
  faults_.push_back(std::move(*f));
  return true;
}

bool FaultScript::EverythingSilent() const {
  return std::any_of(faults_.begin(), faults_.end(),
                     [](const Fault& f) { return f.target == Fault::Target::Everything; });
}

const Fault* FaultScript::ForRecord(std::uint64_t n) const {
  for (const auto& f : faults_) {
    if (f.target == Fault::Target::Records && n >= f.first && n <= f.last) return &f;
  }
  return nullptr;
}

const Fault* FaultScript::AfterRecord(std::uint64_t n) const {
  for (const auto& f : faults_) {
    if (f.target == Fault::Target::AfterRecords && n == f.first) return &f;
  }
  return nullptr;
}

const Fault* FaultScript::ForCommand(std::string_view line, std::uint64_t index) {
  const std::string key = CommandKey(line);
  const std::string word = CommandWord(key);
  const Fault* hit = nullptr;
  for (auto& f : faults_) {
    bool match = false;
    if (f.target == Fault::Target::CommandIndex) {
      match = index == f.first;
    } else if (f.target == Fault::Target::Command && (key == f.name || word == f.name)) {
      ++f.seen;
      match = f.occurrence == 0 || f.seen == f.occurrence;
    }
    if (match && !hit) hit = &f;
  }
  return hit;
}

} // namespace vk::devsim
