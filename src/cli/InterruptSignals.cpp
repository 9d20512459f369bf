#include "cli/LinkSession.h"

#include <csignal>

namespace vk::cli {

namespace {
volatile std::sig_atomic_t interrupted = 0;
void OnInterrupt(int sig) { interrupted = sig; }
} // namespace

void CatchInterrupts() {
  // Interrupted, vkprog still closes the port and the trace properly (a signal the shell
  // told us to ignore stays ignored).
  for (const int sig : {SIGINT, SIGTERM})
    if (std::signal(sig, OnInterrupt) == SIG_IGN) std::signal(sig, SIG_IGN);
#ifdef SIGPIPE
  // A reader that goes away (vkprog ... | head) must not end a run half way: writes to a closed
  // pipe then fail with EPIPE, which the output ignores, and the exit code still tells.
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool LinkSession::Interrupted() { return interrupted != 0; }

std::string LinkSession::InterruptName() { return interrupted == SIGTERM ? "SIGTERM" : "SIGINT"; }

// Ctrl-C is the user's interruption; SIGTERM comes from a supervisor or a shutdown, and saying
// "interrupted" would send the operator looking for a key pressed.
std::string LinkSession::InterruptWord() {
  return interrupted == SIGTERM ? "stopped (SIGTERM)" : "interrupted";
}

int LinkSession::InterruptExitCode() { return 128 + (interrupted != 0 ? interrupted : SIGINT); }

} // namespace vk::cli
