#include "platform/PortMap.h"

#include "platform/Settings.h"

#include <cctype>
#include <cstdlib>

namespace vk::platform {

namespace {

struct Range {
  int first;
  int last;
  const char* prefix;
};
constexpr Range kRanges[] = {
    {1, 16, "/dev/ttyS"},
    {17, 32, "/dev/ttyUSB"},
    {33, 48, "/dev/ttyACM"},
};

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// "COM5", "com5" or "5" → 5; 0 when it is none of these.
int ParsePortName(const std::string& text) {
  std::string t = Trim(text);
  if (t.size() > 3 && (t[0] == 'C' || t[0] == 'c') && (t[1] == 'O' || t[1] == 'o') &&
      (t[2] == 'M' || t[2] == 'm'))
    t = t.substr(3);
  if (t.empty() || t.size() > 6) return 0;
  for (char c : t)
    if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
  return std::atoi(t.c_str());
}

} // namespace

PortMap::PortMap(std::map<int, std::string> entries, bool ranges)
    : entries_(std::move(entries)), ranges_(ranges) {}

std::map<int, std::string> PortMap::ParseEntries(const std::string& text,
                                                 std::vector<std::string>* problems) {
  std::map<int, std::string> out;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find_first_of(";\n\r", pos);
    if (end == std::string::npos) end = text.size();
    const std::string item = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (item.empty()) continue;
    const std::size_t eq = item.find('=');
    const int number = eq == std::string::npos ? 0 : ParsePortName(item.substr(0, eq));
    const std::string path = eq == std::string::npos ? "" : Trim(item.substr(eq + 1));
    if (number <= 0 || path.empty()) {
      if (problems != nullptr)
        problems->push_back("\"" + item + "\" is not of the form COMn=/path/to/device");
      continue;
    }
    out[number] = path;
  }
  return out;
}

PortMap PortMap::FromSettingsAndEnvironment(const ISettings* settings,
                                            std::vector<std::string>* problems) {
  std::map<int, std::string> entries;
  if (settings != nullptr) {
    for (const auto& name : settings->Names(kSettingsGroup)) {
      const int number = ParsePortName(name);
      const auto path = settings->Read(std::string(kSettingsGroup) + "/" + name);
      if (number <= 0 || !path || Trim(*path).empty()) {
        if (problems != nullptr)
          problems->push_back(std::string("setting ") + kSettingsGroup + "/" + name +
                              " does not name a port and a device");
        continue;
      }
      entries[number] = Trim(*path);
    }
  }
  if (const char* env = std::getenv(kEnvironmentVariable)) {
    for (auto& [number, path] : ParseEntries(env, problems)) entries[number] = path;
  }
  return PortMap(std::move(entries));
}

std::string PortMap::DeviceOf(int portNo) const {
  if (auto it = entries_.find(portNo); it != entries_.end()) return it->second;
  return ranges_ ? RangeDevice(portNo) : std::string();
}

std::string PortMap::RangeDevice(int portNo) {
  for (const auto& r : kRanges)
    if (portNo >= r.first && portNo <= r.last) return r.prefix + std::to_string(portNo - r.first);
  return {};
}

} // namespace vk::platform
