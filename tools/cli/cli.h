#pragma once
// kestrel-cli: the window's jobs from a shell. The whole program is here, so that tests run it
// in-process; main.cpp only adds what belongs to a real process (its streams, the terminal,
// Ctrl-C).

#include <atomic>
#include <ostream>
#include <span>
#include <string>

namespace kestrel::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

struct CliEnvironment {
    // Show a progress line for record and stats; only when standard error is a terminal.
    bool progress = false;
    // Set (from a signal handler) when the user asks to stop; a running stream is then stopped
    // and drained before the program ends.
    const std::atomic<bool>* interrupted = nullptr;
};

// Runs the program with `args`, the words after its name. Results go to `out`, messages to `err`.
// Returns the exit status.
int runCli(std::span<const std::string> args, std::ostream& out, std::ostream& err);
int runCli(std::span<const std::string> args, std::ostream& out, std::ostream& err,
           const CliEnvironment& environment);

}  // namespace kestrel::cli
