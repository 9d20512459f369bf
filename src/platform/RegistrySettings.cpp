#include "platform/RegistrySettings.h"

#include <windows.h>

#include <set>

namespace vk::platform {

namespace {

void Split(const std::string& base, const std::string& name, std::string& key, std::string& value) {
  const auto slash = name.rfind('/');
  key = base;
  value = name;
  if (slash != std::string::npos) {
    key.append("\\").append(name, 0, slash);
    value = name.substr(slash + 1);
  }
  for (char& c : key)
    if (c == '/') c = '\\';
}

std::optional<std::string> ReadString(HKEY root, const std::string& key, const std::string& value) {
  DWORD type = 0, size = 0;
  if (::RegGetValueA(root, key.c_str(), value.c_str(), RRF_RT_REG_SZ, &type, nullptr, &size) !=
      ERROR_SUCCESS)
    return std::nullopt;
  std::string text(size, '\0');
  if (::RegGetValueA(root, key.c_str(), value.c_str(), RRF_RT_REG_SZ, &type, text.data(), &size) !=
      ERROR_SUCCESS)
    return std::nullopt;
  text.resize(size);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

bool WriteString(HKEY root, const std::string& key, const std::string& value,
                 const std::string& text) {
  HKEY h = nullptr;
  if (::RegCreateKeyExA(root, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                        nullptr, &h, nullptr) != ERROR_SUCCESS)
    return false;
  const LONG r =
      ::RegSetValueExA(h, value.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
  ::RegCloseKey(h);
  return r == ERROR_SUCCESS;
}

void ValueNames(HKEY root, const std::string& key, std::set<std::string>& out) {
  HKEY h = nullptr;
  if (::RegOpenKeyExA(root, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS) return;
  for (DWORD i = 0;; ++i) {
    char name[16384];
    DWORD size = sizeof name;
    if (::RegEnumValueA(h, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    out.insert(std::string(name, size));
  }
  ::RegCloseKey(h);
}

} // namespace

std::string RegistrySettings::Place() const { return "HKEY_LOCAL_MACHINE\\" + key_; }

std::optional<std::string> RegistrySettings::Read(const std::string& name) const {
  std::string key, value;
  Split(key_, name, key, value);
  if (auto user = ReadString(HKEY_CURRENT_USER, key, value)) return user;
  return ReadString(HKEY_LOCAL_MACHINE, key, value);
}

bool RegistrySettings::Write(const std::string& name, const std::string& value) {
  std::string key, valueName;
  Split(key_, name, key, valueName);
  if (WriteString(HKEY_LOCAL_MACHINE, key, valueName, value)) {
    // An older value of the user's would hide the new one.
    ::RegDeleteKeyValueA(HKEY_CURRENT_USER, key.c_str(), valueName.c_str());
    return true;
  }
  return WriteString(HKEY_CURRENT_USER, key, valueName, value);
}

std::vector<std::string> RegistrySettings::Names(const std::string& group) const {
  std::string key, unused;
  Split(key_, group + "/x", key, unused);
  std::set<std::string> names;
  ValueNames(HKEY_LOCAL_MACHINE, key, names);
  ValueNames(HKEY_CURRENT_USER, key, names);
  return {names.begin(), names.end()};
}

} // namespace vk::platform
