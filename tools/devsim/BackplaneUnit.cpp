#include "devsim/BackplaneUnit.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace vk::devsim {

namespace {

constexpr std::string_view kOk = "OK\r\n";
constexpr std::string_view kAccepted = ".\r\n";
constexpr std::string_view kRepeat = "X\r\n";
constexpr std::string_view kFatal = "E\r\n";
} // namespace

BackplaneUnit::BackplaneUnit(BackplaneConfig config) : config_(std::move(config)) {}

bool BackplaneUnit::AddModule(std::uint8_t address, std::uint8_t type) {
  if (modules_.count(address)) return false;
  auto m = std::make_unique<Module>();
  m->address = address;
  m->type = type;
  m->flash.fill(0xFF);
  modules_.emplace(address, std::move(m));
  return true;
}

const BackplaneUnit::Module* BackplaneUnit::FindModule(int address) const {
  const auto it = modules_.find(address);
  return it == modules_.end() ? nullptr : it->second.get();
}

std::vector<const BackplaneUnit::Module*> BackplaneUnit::Modules() const {
  std::vector<const Module*> out;
  for (const auto& [address, m] : modules_) out.push_back(m.get());
  return out;
}

std::optional<int> BackplaneUnit::SelectedAddress() const {
  if (!selected_) return std::nullopt;
  return selected_->address;
}

bool BackplaneUnit::ListensAt(std::uint32_t baud) const {
  return baud == config_.baseBaud || (fastRate_ && baud == kFastBaud);
}

void BackplaneUnit::OnByte(std::uint8_t b, Micros at, std::uint32_t baud) {
  bool cut = false;
  const std::optional<std::string> line = line_.Add(b, &cut);
  if (cut) {
    ++unit_.overlong;
    Note(at, "line longer than " + std::to_string(kMaxLine) + " bytes: the rest is dropped");
  }
  if (line && !line->empty()) HandleLine(*line, at, baud);
}

void BackplaneUnit::HandleLine(const std::string& line, Micros at, std::uint32_t baud) {
  answerFault_ = nullptr;
  if (loadMode_ && line[0] == ':') {
    HandleRecord(line, at, baud);
  } else {
    loadMode_ = false;
    const std::string command(TrimBlanks(line));
    if (!command.empty()) HandleCommand(command, at, baud);
  }
  answerFault_ = nullptr;
}

void BackplaneUnit::HandleCommand(const std::string& line, Micros at, std::uint32_t baud) {
  ++unit_.commands;
  if (RefusesCommand(line, unit_.commands, at, baud)) return;
  const std::string key = CommandKey(line);
  const std::string word = CommandWord(key);

  if (word == "OP" && key.size() > 2 && std::all_of(key.begin() + 2, key.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
      })) {
    const std::string digits = key.substr(2);
    const unsigned long address = digits.size() > 3 ? 1000 : std::stoul(digits);
    const auto it = modules_.find(static_cast<int>(address));
    if (it != modules_.end()) {
      selected_ = it->second.get();
      Answer(kOk, at, baud);
    } else {
      selected_ = nullptr;
      Note(at, "no module at address " + digits);
      if (!config_.absentReply.empty()) Answer(config_.absentReply + "\r\n", at, baud);
    }
    return;
  }
  if (key == "ID") {
    if (!selected_) {
      Note(at, "ID with no module selected: no answer");
      return;
    }
    char answer[16];
    std::snprintf(answer, sizeof answer, "ID%02X\r\n", selected_->type);
    Answer(answer, at, baud);
    return;
  }
  if (key == "QV550274") {
    if (!fastRate_) Note(at, "the unit listens at 115200 bit/s as well from now on");
    fastRate_ = true;
    return;
  }
  if (key == "ERASE1" || key == "ERASE2") {
    if (!selected_) {
      Note(at, line + " with no module selected: no answer");
      return;
    }
    const bool whole = key == "ERASE1";
    const std::uint32_t from = whole ? 0 : kErase2Start;
    Erase(*selected_, from, kFlashSize - 1);
    ++(whole ? selected_->erase1Count : selected_->erase2Count);
    Note(at, "module " + std::to_string(selected_->address) + ": " + line + " erases " +
                 Hex4(from) + "-" + Hex4(kFlashSize - 1));
    const Micros done = at + MsToUs(config_.eraseMs);
    BusyUntil(done);
    Answer(kOk, done, baud);
    return;
  }
  if (key == "L") {
    loadMode_ = true;
    if (selected_)
      ++selected_->loads;
    else
      Note(at, "load mode with no module selected: records will be refused");
    return;
  }
  if (key == "G") {
    if (selected_) {
      ++selected_->starts;
      Note(at, "module " + std::to_string(selected_->address) + " started");
      selected_ = nullptr;
    }
    return;
  }
  ++unit_.unknown;
  Note(at, "unknown command, ignored");
}

void BackplaneUnit::Erase(Module& m, std::uint32_t from, std::uint32_t to) {
  std::fill(m.flash.begin() + from, m.flash.begin() + to + 1, std::uint8_t{0xFF});
}

void BackplaneUnit::HandleRecord(const std::string& line, Micros at, std::uint32_t baud) {
  const HexRecord rec = ParseHexRecord(line);
  if (rec.status == HexRecord::Status::Ok && rec.type == 1) {
    loadMode_ = false;
    if (selected_) ++selected_->endRecords;
    return;
  }
  const std::uint64_t n = ++unit_.records;
  if (RefusesRecord(n, at, baud)) {
    if (selected_) ++selected_->refused;
    return;
  }
  auto refuse = [&](std::string_view answer, std::string why) {
    Note(at, "record " + std::to_string(n) + ": " + why);
    if (selected_) ++selected_->refused;
    AfterRecordAnswered(n, Answer(answer, at, baud));
  };
  if (rec.status == HexRecord::Status::Malformed) return refuse(kRepeat, "malformed");
  if (rec.status == HexRecord::Status::BadChecksum) return refuse(kRepeat, "bad checksum");
  if (rec.type != 0)
    return refuse(kFatal, "record type " + std::to_string(rec.type) + " is not supported");
  if (!selected_) return refuse(kFatal, "no module selected");

  Module& m = *selected_;
  std::optional<std::uint32_t> notErased;
  for (std::size_t i = 0; i < rec.data.size(); ++i) {
    // Addresses wrap within the 64 KiB of the module, as 16-bit Intel HEX does.
    const std::uint32_t a = (rec.address + i) & (kFlashSize - 1);
    // Flash programming only clears bits.
    m.flash[a] &= rec.data[i];
    if (m.flash[a] != rec.data[i] && !notErased) notErased = a;
    m.lowestWritten = std::min(m.lowestWritten, a);
    m.highestWritten = std::max(m.highestWritten, a);
  }
  if (notErased) return refuse(kFatal, "verify failed: flash not erased at " + Hex4(*notErased));
  ++m.records;
  m.bytesProgrammed += rec.data.size();
  const Micros done = at + MsToUs(config_.recordMs);
  BusyUntil(done);
  AfterRecordAnswered(n, Answer(kAccepted, done, baud));
}

std::string BackplaneUnit::Summary() const {
  std::string out;
  char buf[256];
  for (const auto& [address, m] : modules_) {
    std::snprintf(buf, sizeof buf, "module %d (type %d = 0x%02X): ", m->address, m->type, m->type);
    out += buf;
    if (m->erase1Count + m->erase2Count + m->loads + m->starts == 0 && m->records == 0) {
      out += "untouched\n";
      continue;
    }
    std::snprintf(buf, sizeof buf,
                  "erase1 x%d, erase2 x%d, %d load(s), %llu record(s) programmed, %llu byte(s)",
                  m->erase1Count, m->erase2Count, m->loads,
                  static_cast<unsigned long long>(m->records),
                  static_cast<unsigned long long>(m->bytesProgrammed));
    out += buf;
    if (m->bytesProgrammed > 0)
      out += " in " + Hex4(m->lowestWritten) + "-" + Hex4(m->highestWritten);
    std::snprintf(buf, sizeof buf, ", %llu refused, end record x%d, started x%d\n",
                  static_cast<unsigned long long>(m->refused), m->endRecords, m->starts);
    out += buf;
  }
  std::snprintf(buf, sizeof buf, "unit: %llu command(s) (%llu unknown), %llu record(s); ",
                static_cast<unsigned long long>(unit_.commands),
                static_cast<unsigned long long>(unit_.unknown),
                static_cast<unsigned long long>(unit_.records));
  out += buf + LineSummary("a rate mismatch") + "\n";
  return out;
}

std::vector<std::uint8_t> BackplaneUnit::FlashImage() const {
  std::vector<std::uint8_t> out;
  for (const Module* m : Modules()) out.insert(out.end(), m->flash.begin(), m->flash.end());
  return out;
}

} // namespace vk::devsim
