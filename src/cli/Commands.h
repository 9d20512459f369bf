#pragma once
// vkprog's commands. Each takes the arguments after its name and returns the exit code:
// 0 success, 1 failure, 2 usage error (more codes where a command says so).

#include <string>
#include <string_view>
#include <vector>

namespace vk::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct Command {
  std::string_view name;
  std::string_view summary;
  std::string_view help; // full usage text
  int (*run)(const std::vector<std::string>& args);
};

const std::vector<Command>& Commands();

// The file commands.
int RunInfo(const std::vector<std::string>& args);
int RunConvert(const std::vector<std::string>& args);
int RunDump(const std::vector<std::string>& args);
int RunPack(const std::vector<std::string>& args);
int RunTargets(const std::vector<std::string>& args);
int RunPorts(const std::vector<std::string>& args);
// The link commands (ProgramCommands.cpp); they also exit 3 when their --timeout runs out.
int RunProgram(const std::vector<std::string>& args);
int RunDetect(const std::vector<std::string>& args);
int RunFind(const std::vector<std::string>& args);
int RunScan(const std::vector<std::string>& args); // ScanCommand.cpp
int RunRead(const std::vector<std::string>& args); // ReadVerifyCommands.cpp
int RunVerify(const std::vector<std::string>& args);
int RunIdentify(const std::vector<std::string>& args); // IdentifyCommand.cpp

// Prints "vkprog: WHAT" on stderr.
void Error(const std::string& what);

} // namespace vk::cli
