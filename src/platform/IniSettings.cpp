#include "platform/IniSettings.h"

#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace vk::platform {

std::string UserIniPlace() {
  std::string base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : "") + "/.config";
  }
  return base + "/Velkor ApS./Velkor Programmer.ini";
}

namespace {

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// QSettings quotes a value with leading or trailing blanks or ",;=\"" and escapes backslashes.
std::string Unescape(const std::string& raw) {
  std::string out;
  bool quoted = false;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (c == '\\' && i + 1 < raw.size()) {
      const char n = raw[++i];
      out += n == 'n' ? '\n' : n == 'r' ? '\r' : n == 't' ? '\t' : n;
    } else if (c == ';' && !quoted) {
      break; // a comment
    } else {
      out += c;
    }
  }
  return quoted ? out : Trim(out);
}

std::string Escape(const std::string& value) {
  std::string out;
  bool quote = !value.empty() && (value.front() == ' ' || value.back() == ' ');
  for (const char c : value) {
    if (c == '\\' || c == '"')
      out += '\\';
    else if (c == ',' || c == ';' || c == '=')
      quote = true;
    if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
  return quote ? '"' + out + '"' : out;
}

void Split(const std::string& name, std::string& section, std::string& key) {
  const auto slash = name.find('/');
  section = slash == std::string::npos ? "General" : name.substr(0, slash);
  key = slash == std::string::npos ? name : name.substr(slash + 1);
}

} // namespace

IniSettings::Sections IniSettings::Load() const {
  Sections sections;
  std::ifstream in(fileName_, std::ios::binary);
  std::string line, section = "General";
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    sections[section][Trim(line.substr(0, eq))] = Unescape(Trim(line.substr(eq + 1)));
  }
  return sections;
}

std::optional<std::string> IniSettings::Read(const std::string& name) const {
  std::string section, key;
  Split(name, section, key);
  const Sections s = Load();
  const auto sec = s.find(section);
  if (sec == s.end()) return std::nullopt;
  const auto it = sec->second.find(key);
  if (it == sec->second.end()) return std::nullopt;
  return it->second;
}

bool IniSettings::Write(const std::string& name, const std::string& value) {
  std::string section, key;
  Split(name, section, key);
  Sections s = Load();
  s[section][key] = value;
  std::ostringstream text;
  // [General] first, as QSettings writes it.
  auto put = [&](const std::string& sec, const std::map<std::string, std::string>& values) {
    if (values.empty()) return;
    if (text.tellp() > 0) text << "\n";
    text << "[" << sec << "]\n";
    for (const auto& [k, v] : values) text << k << "=" << Escape(v) << "\n";
  };
  if (auto g = s.find("General"); g != s.end()) put(g->first, g->second);
  for (const auto& [sec, values] : s)
    if (sec != "General") put(sec, values);

  std::error_code ec;
  const auto folder = std::filesystem::path(fileName_).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  // Written beside and renamed over, so a failure leaves the old file whole.
  const std::string tmp = fileName_ + ".new";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text.str();
    out.flush();
    if (!out) return false;
  }
  std::filesystem::rename(tmp, fileName_, ec);
  if (!ec) return true;
  std::filesystem::remove(tmp, ec);
  return false;
}

std::vector<std::string> IniSettings::Names(const std::string& group) const {
  std::vector<std::string> out;
  const Sections s = Load();
  if (auto it = s.find(group.empty() ? "General" : group); it != s.end())
    for (const auto& [k, v] : it->second) out.push_back(k);
  return out;
}

} // namespace vk::platform
