// vkprog: the V&K Programmer without a window, for production lines and scripts.

#include "cli/Args.h"
#include "cli/Commands.h"
#include "vk/Version.h"

#include <cstdio>
#include <exception>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace vk::cli {

namespace {

void PrintOverview(std::FILE* out) {
  std::fprintf(out, "Usage: vkprog COMMAND [OPTIONS] [ARGS]\n\n"
                    "V&K Programmer " VK_VERSION ", command line.\n\nCommands:\n");
  for (const auto& c : Commands())
    std::fprintf(out, "  %-10.*s %.*s\n", static_cast<int>(c.name.size()), c.name.data(),
                 static_cast<int>(c.summary.size()), c.summary.data());
  std::fprintf(out, "\nRun \"vkprog COMMAND --help\" for a command's options.\n");
}

} // namespace

int Main(int argc, char** argv) {
#ifdef _WIN32
  // Output byte for byte as on Linux (no CR added before each LF), so that scripts comparing or
  // parsing it need no care for the platform.
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    PrintOverview(stderr);
    return kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintOverview(stdout);
    return kExitOk;
  }
  if (args[0] == "--version") {
    std::printf("vkprog (V&K Programmer) " VK_VERSION "\n");
    return kExitOk;
  }
  for (const auto& c : Commands()) {
    if (args[0] != c.name) continue;
    std::vector<std::string> rest(args.begin() + 1, args.end());
    for (const auto& a : rest) {
      if (a == "--") break;
      if (a == "--help" || a == "-h") {
        std::printf("%.*s", static_cast<int>(c.help.size()), c.help.data());
        return kExitOk;
      }
    }
    try {
      return c.run(rest);
    } catch (const UsageError& e) {
      Error(std::string(c.name) + ": " + e.what());
      std::fprintf(stderr, "Run \"vkprog %.*s --help\" for its usage.\n",
                   static_cast<int>(c.name.size()), c.name.data());
      return kExitUsage;
    } catch (const std::exception& e) {
      Error(std::string(c.name) + ": " + e.what());
      return kExitFailed;
    }
  }
  Error("unknown command \"" + args[0] + "\"");
  PrintOverview(stderr);
  return kExitUsage;
}

} // namespace vk::cli

int main(int argc, char** argv) { return vk::cli::Main(argc, argv); }
