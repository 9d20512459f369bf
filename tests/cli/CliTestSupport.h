#pragma once
// vkprog as a user runs it, against vkdevsim as a separate process on a pseudo-terminal.

#include "support/ImageTestUtil.h"
#include "support/RunProcess.h"
#include "support/SpawnedProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace vk::test {

// Settings in a folder of their own, so that no test reads or touches the user's. The
// protocols' blocking waits run at a fifth of their length: the simulators answer at once.
inline void PrepareVkprogEnvironment(int sleepPercent = 20) {
  static TempDir settingsDir;
  ::setenv("VK_SETTINGS_FILE", settingsDir.File("settings.ini").c_str(), 1);
  ::setenv("VK_SYSTEM_SETTINGS_FILE", settingsDir.File("machine.ini").c_str(), 1);
  ::unsetenv("VK_SERIAL_PORTS");
  ::unsetenv("VK_CAN_BACKEND");
  ::unsetenv("VK_CAN_INTERFACE");
  ::unsetenv("VKPROG_KERNEL_DIR");
  ::setenv("VKPROG_SLEEP_PERCENT", std::to_string(sleepPercent).c_str(), 1);
}

// env: more variables for this run.
inline ProcessResult Vkprog(const std::vector<std::string>& args, int sleepPercent = 20,
                            const std::vector<std::pair<std::string, std::string>>& env = {}) {
  PrepareVkprogEnvironment(sleepPercent);
  for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
  auto r = RunProcess(std::string(VK_BIN_DIR) + "/vkprog", args);
  for (const auto& [name, value] : env) ::unsetenv(name.c_str());
  return r;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// vkprog run by bash, with a shell redirection around it: "< FILE" feeds standard input,
// "| true" closes its stdout at once. The exit code is vkprog's own (PIPESTATUS).
inline ProcessResult VkprogShell(const std::vector<std::string>& args, const std::string& around) {
  PrepareVkprogEnvironment();
  std::vector<std::string> argv = {"-c", "\"$0\" \"$@\" " + around + "; exit ${PIPESTATUS[0]}",
                                   std::string(VK_BIN_DIR) + "/vkprog"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess("/bin/bash", argv);
}

// The lines that start with prefix, without it.
inline std::vector<std::string> Tagged(const std::string& text, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& line : Lines(text))
    if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
  return out;
}

// vkprog program prints the status texts and the log lines as they are; a log line names the
// module: "QRD14 #7 Programmed OK", "Module #8 Erased OK", "QRG19 #3 Failed", "QRD14 #3 Failed:
// why", "Cortex-M3 #0 Blank (08000000-080020FF checked), nothing written"; over CAN the node:
// "QX4T - PCAN node 5 Programmed OK".
inline bool IsLogLine(const std::string& line) {
  static const std::regex kLog(
      R"(^.+ (#|node )[0-9]+ (Programmed OK|Erased OK|Failed|Failed: .*|Verified [0-9]+ bytes|Read [0-9]+ bytes \(.*\)|Same as the image|started the program at 0x[0-9A-F]+|(Blank|Not blank)( \(.*\))?, nothing written)$)");
  return std::regex_match(line, kLog);
}
inline std::vector<std::string> LogLines(const std::string& text) {
  std::vector<std::string> out;
  for (const auto& line : Lines(text))
    if (IsLogLine(line)) out.push_back(line);
  return out;
}
// The status texts among the lines that are neither log lines nor a command's own results.
inline std::vector<std::string> StatusLines(const std::string& text) {
  std::vector<std::string> out;
  for (const auto& line : Lines(text))
    if (!IsLogLine(line) && line.rfind("type: ", 0) != 0 && line.rfind("entry: ", 0) != 0 &&
        line.rfind("rate: ", 0) != 0 && line.rfind("address: ", 0) != 0)
      out.push_back(line);
  return out;
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A V&K container around Intel HEX text, made by vkprog pack.
inline std::string Container(const TempDir& dir, const std::string& name, const std::string& hex,
                             const std::string& targets) {
  const std::string body = dir.Write(name + ".hex", hex);
  const std::string out = dir.File(name + ".vkf");
  const auto r = RunProcess(std::string(VK_BIN_DIR) + "/vkprog",
                            {"pack", "--body", body, "--targets", targets, out});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return out;
}

} // namespace vk::test
