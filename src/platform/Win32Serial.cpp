#include "platform/Win32Serial.h"

#include <windows.h>

#include <algorithm>
#include <cctype>

namespace vk::platform {

std::string SystemErrorText(int code) {
  char* text = nullptr;
  const DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = n != 0 && text != nullptr ? std::string(text, n) : "";
  if (text != nullptr) ::LocalFree(text);
  while (!out.empty() &&
         (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
    out.pop_back();
  return out.empty() ? "Unknown error " + std::to_string(code) : out;
}

namespace {

constexpr const char* kDevicePrefix = "\\\\.\\";

// "\\.\COM7" -> "COM7"
std::string ShortName(const std::string& device) {
  return device.rfind(kDevicePrefix, 0) == 0 ? device.substr(4) : device;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

PortState StateOfError(DWORD error) {
  switch (error) {
  case ERROR_ACCESS_DENIED: // what an open COM port answers a second open
  case ERROR_SHARING_VIOLATION:
  case ERROR_BUSY:
    return PortState::Busy;
  default:
    return PortState::Absent;
  }
}

std::string FailureMessage(int portNo, const std::string& path, PortState state, DWORD error) {
  const std::string port =
      "COM" + std::to_string(portNo) +
      (ShortName(path) == "COM" + std::to_string(portNo) ? std::string() : " (" + path + ")");
  switch (state) {
  case PortState::Busy:
    return port + " is in use by another program.\rClose the program that holds it (a terminal "
                  "program, another V&K Programmer) and choose the port again.";
  case PortState::Absent:
    return port + " is not present (" + SystemErrorText(static_cast<int>(error)) +
           ").\rConnect the device, then choose the port again.";
  default:
    break;
  }
  return "Cannot open " + port + ": " + SystemErrorText(static_cast<int>(error)) + ".";
}

class Win32SerialDevice : public ISerialDevice {
public:
  Win32SerialDevice(HANDLE h, std::string path) : h_(h), path_(std::move(path)) {}
  ~Win32SerialDevice() override { ::CloseHandle(h_); }

  bool HasInput() override {
    DWORD errors = 0;
    COMSTAT stat{};
    // A failing call means the device has gone: the read will say so.
    if (!::ClearCommError(h_, &errors, &stat)) return true;
    return stat.cbInQue > 0;
  }
  std::string Path() const override { return path_; }

  unsigned Apply(const LineSettings& s) override {
    unsigned refused = kRefusedNone;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(h_, &dcb)) return kRefusedLine | kRefusedBaudRate | kRefusedParity;
    dcb.BaudRate = s.BaudRate;
    dcb.ByteSize = 8;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE; // received parity is not tested
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fDtrControl = s.Dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = s.Rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    static constexpr BYTE kParity[] = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY};
    if (s.Parity < std::size(kParity))
      dcb.Parity = kParity[s.Parity];
    else
      refused |= kRefusedParity;
    if (!::SetCommState(h_, &dcb)) {
      // Some drivers refuse a rate; keep the line as it was and say which part failed.
      refused |= kRefusedLine;
      DCB now{};
      now.DCBlength = sizeof now;
      if (::GetCommState(h_, &now)) {
        if (now.BaudRate != s.BaudRate) refused |= kRefusedBaudRate;
        if (now.Parity != dcb.Parity) refused |= kRefusedParity;
      }
    } else {
      baud_ = s.BaudRate;
    }
    SetTimeouts();
    if (!::EscapeCommFunction(h_, s.Dtr ? SETDTR : CLRDTR)) refused |= kRefusedDtr;
    if (!::EscapeCommFunction(h_, s.Rts ? SETRTS : CLRRTS)) refused |= kRefusedRts;
    return refused;
  }

  // Reads return at once with what is there; a write may take the time its bytes need at the
  // line's rate, and a second more.
  bool SetTimeouts() {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    t.WriteTotalTimeoutMultiplier = std::max<DWORD>(1, 10000 / std::max<DWORD>(baud_, 50) + 1);
    t.WriteTotalTimeoutConstant = 1000;
    return ::SetCommTimeouts(h_, &t) != 0;
  }

  int ReadByte(std::uint8_t& byte, int& error) override {
    DWORD n = 0;
    if (!::ReadFile(h_, &byte, 1, &n, nullptr)) {
      error = static_cast<int>(::GetLastError());
      return -1;
    }
    return n == 1 ? 1 : 0;
  }

  bool Write(const std::string& bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      DWORD n = 0;
      if (!::WriteFile(h_, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n,
                       nullptr))
        return false;
      if (n == 0) return false; // the write time-out ran out
      done += n;
    }
    return true;
  }

private:
  HANDLE h_;
  std::string path_;
  DWORD baud_ = kNormalRate;
};

} // namespace

std::string Win32SerialPorts::DeviceOf(int portNo) const {
  const auto& entries = map_.Entries();
  if (auto it = entries.find(portNo); it != entries.end()) return it->second;
  if (portNo < 1 || portNo > 255) return "";
  return kDevicePrefix + std::string("COM") + std::to_string(portNo);
}

std::set<std::string> Win32SerialPorts::ListedPorts() {
  std::set<std::string> out;
  HKEY h = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kListKey, 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
    return out;
  for (DWORD i = 0;; ++i) {
    char name[1024];
    BYTE data[1024];
    DWORD nameSize = sizeof name, dataSize = sizeof data - 1, type = 0;
    const LONG r = ::RegEnumValueA(h, i, name, &nameSize, nullptr, &type, data, &dataSize);
    if (r == ERROR_MORE_DATA) continue;
    if (r != ERROR_SUCCESS) break;
    if (type != REG_SZ) continue;
    data[dataSize] = 0;
    out.insert(Upper(reinterpret_cast<const char*>(data)));
  }
  ::RegCloseKey(h);
  return out;
}

PortState Win32SerialPorts::Probe(int portNo) {
  const std::string device = DeviceOf(portNo);
  if (device.empty()) return PortState::Absent;
  // A COM name is present when the system lists it; another device an entry names is taken
  // as given.
  const std::string name = Upper(ShortName(device));
  if (name.rfind("COM", 0) != 0) return PortState::Present;
  return ListedPorts().count(name) != 0 ? PortState::Present : PortState::Absent;
}

OpenResult Win32SerialPorts::Open(int portNo) {
  OpenResult r;
  r.path = DeviceOf(portNo);
  if (r.path.empty()) {
    r.state = PortState::Absent;
    r.error = ERROR_FILE_NOT_FOUND;
    r.message = "COM" + std::to_string(portNo) + " names no device.";
    return r;
  }
  // Share mode 0: the system refuses anyone else the port while it is open.
  const HANDLE h = ::CreateFileA(r.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    r.error = static_cast<int>(error);
    r.state = StateOfError(error);
    r.message = FailureMessage(portNo, r.path, r.state, error);
    return r;
  }
  auto device = std::make_unique<Win32SerialDevice>(h, r.path);
  ::SetupComm(h, 4096, 4096);
  if (!device->SetTimeouts()) {
    const DWORD error = ::GetLastError();
    r.error = static_cast<int>(error);
    r.state = PortState::Absent;
    r.message = "COM" + std::to_string(portNo) + " is not a serial device (" +
                SystemErrorText(static_cast<int>(error)) + ").";
    return r;
  }
  ::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
  r.state = PortState::Present;
  r.device = std::move(device);
  return r;
}

} // namespace vk::platform
