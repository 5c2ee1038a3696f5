// kestrel-cli: see `kestrel-cli --help`.

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "tools/cli/cli.h"

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void onInterrupt(int /*signal*/) {
    interrupted.store(true);
}

}  // namespace

int main(int argc, char** argv) {
    // The first Ctrl-C stops a running stream cleanly; a second one ends the program at once.
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const std::vector<std::string> args(argv + 1, argv + argc);
    kestrel::cli::CliEnvironment environment;
    environment.progress = ::isatty(STDERR_FILENO) == 1;
    environment.interrupted = &interrupted;
    const int status = kestrel::cli::runCli(args, std::cout, std::cerr, environment);
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "kestrel-cli: Cannot write the results.\n";
        return status == 0 ? 1 : status;
    }
    return status;
}
