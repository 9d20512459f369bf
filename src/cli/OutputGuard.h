#pragma once
// What --trace and --report may write into. Both are evidence of a run, so they go into a file
// of their own: a new one, an empty one, or one that already holds a trace (for --trace, which
// starts it afresh) or a report (for --report, which appends). Everything else is refused
// before anything is sent, with the reason: the serial port itself or any other device (the
// text would go to the device), the settings file (the window would read a trace as its
// settings), the programs themselves, and any other existing file (it would be lost).
//
// A trace is recognised by its first line, "# V&K Programmer link trace: ..."; a report by its
// first line being a JSON object with the "time", "host" and "command" that every line of
// vkprog's reports carries. A pipe (FIFO) is taken as it is: whatever reads it wanted the text;
// so are /dev/null and /dev/full, which keep nothing.

#include <string>

namespace vk::cli {

enum class OutputKind { Trace, Report };

// option: "--trace" or "--report"; port: the --port text ("" when there is none). Throws
// UsageError naming the option, the path and the reason.
void RefuseForeignOutput(const std::string& option, const std::string& path, OutputKind kind,
                         const std::string& port);

// Whether text begins as a trace or a report of vkprog does.
bool LooksLikeTrace(const std::string& firstLine);
bool LooksLikeReport(const std::string& firstLine);

} // namespace vk::cli
