// The link commands as vkprog itself has them: it hands the command over to vkprog-link, the
// program beside it that holds them. vkprog then starts without loading the link's libraries
// (Qt SerialBus, Network), which file conversions do not need.

#include "cli/Commands.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace vk::cli {

namespace {

int HandOver(const char* command, const std::vector<std::string>& args) {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::string program =
      ec ? std::string("vkprog-link") : (self.parent_path() / "vkprog-link").string();
  std::vector<std::string> argv = {program, command};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  ::execv(program.c_str(), raw.data());
  Error(std::string(command) + ": cannot start " + program + ": " + std::strerror(errno));
  return kExitFailed;
}

} // namespace

int RunPorts(const std::vector<std::string>& args) { return HandOver("ports", args); }
int RunProgram(const std::vector<std::string>& args) { return HandOver("program", args); }
int RunDetect(const std::vector<std::string>& args) { return HandOver("detect", args); }
int RunFind(const std::vector<std::string>& args) { return HandOver("find", args); }
int RunScan(const std::vector<std::string>& args) { return HandOver("scan", args); }
int RunRead(const std::vector<std::string>& args) { return HandOver("read", args); }
int RunVerify(const std::vector<std::string>& args) { return HandOver("verify", args); }
int RunIdentify(const std::vector<std::string>& args) { return HandOver("identify", args); }

} // namespace vk::cli
