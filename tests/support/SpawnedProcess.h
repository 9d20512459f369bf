#pragma once
// A program of the build kept running while a test talks to it: stdout through a pipe read line
// by line, stderr into a file read after it ends. Killed on destruction if still running. And
// vkdevsim so run, serving one simulated device.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vk::test {

class SpawnedProcess {
public:
  SpawnedProcess(const std::string& program, const std::vector<std::string>& args) {
    int out[2];
    if (::pipe(out) != 0) return;
    char errName[] = "/tmp/vkdevsim.err.XXXXXX";
    const int errFd = ::mkstemp(errName);
    errPath_ = errName;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(errFd);
    stdout_ = out[0];
  }
  SpawnedProcess(const SpawnedProcess&) = delete;
  SpawnedProcess& operator=(const SpawnedProcess&) = delete;
  ~SpawnedProcess() {
    if (pid_ > 0 && !exitCode_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) ::close(stdout_);
    if (!errPath_.empty()) ::unlink(errPath_.c_str());
  }

  bool Started() const { return pid_ > 0; }

  // The next line of stdout without its line end, or nothing after `timeoutMs`.
  std::optional<std::string> ReadLine(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto nl = buffered_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffered_.substr(0, nl);
        buffered_.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return std::nullopt;
      pollfd p{stdout_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[256];
      const ssize_t n = ::read(stdout_, buf, sizeof buf);
      if (n <= 0) return std::nullopt;
      buffered_.append(buf, static_cast<std::size_t>(n));
    }
  }

  void Signal(int sig) {
    if (pid_ > 0 && !exitCode_) ::kill(pid_, sig);
  }

  // The exit code (128 + signal number when killed), or nothing if still running.
  std::optional<int> Wait(int timeoutMs) {
    if (exitCode_) return exitCode_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pid_ > 0) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exitCode_;
      }
      if (std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
  }

  std::string Stderr() const {
    std::ifstream in(errPath_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  std::string errPath_;
  std::string buffered_;
  std::optional<int> exitCode_;
};

// vkdevsim serving one device. Its first line on stdout says where: "PORT <path>" for a device
// on a pseudo-terminal, "CAN <backend> <interface> node <n>" for a node on a CAN bus.
class Simulator {
public:
  explicit Simulator(const std::vector<std::string>& args)
      : process_(std::string(VK_BIN_DIR) + "/vkdevsim", args) {
    if (!process_.Started()) return;
    if (auto line = process_.ReadLine(5000)) {
      firstLine_ = *line;
      if (line->rfind("PORT ", 0) == 0) port_ = line->substr(5);
    }
  }

  bool Started() const { return process_.Started(); }
  // Started, and said where it serves; if not, what it said on stderr.
  ::testing::AssertionResult Ready() const {
    if (!Started()) return ::testing::AssertionFailure() << "vkdevsim did not start";
    if (!port_.empty() || (firstLine_.rfind("CAN ", 0) == 0 && firstLine_.size() > 4))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no PORT or CAN line; stderr: " << Stderr();
  }
  const std::string& FirstLine() const { return firstLine_; }
  // The pseudo-terminal; empty for a device that is not on one.
  const std::string& Port() const { return port_; }

  // Ends the simulator (SIGTERM, at most 5 s) and returns its summary of what the device went
  // through.
  std::string Stop() {
    process_.Signal(SIGTERM);
    ended_ = process_.Wait(5000).has_value();
    return process_.Stderr();
  }
  // Whether Stop saw it end.
  bool Ended() const { return ended_; }
  std::string Stderr() const { return process_.Stderr(); }

private:
  SpawnedProcess process_;
  std::string firstLine_;
  std::string port_;
  bool ended_ = false;
};

} // namespace vk::test
