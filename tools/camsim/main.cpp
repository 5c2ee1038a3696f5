// kestrel-camsim: a simulated pan/tilt camera on the network, for trying Kestrel without one.

#include <csignal>
#include <iostream>

#include "tools/camsim/simulator.h"

namespace {
std::atomic<bool> stopRequested{false};
extern "C" void onSignal(int /*signal*/) {
    stopRequested.store(true);
}
}  // namespace

int main(int argc, char* argv[]) {
    kestrel::camsim::SimulatorOptions options;
    std::string message;
    if (!kestrel::camsim::parseSimulatorOptions({argv + 1, argv + argc}, options, message)) {
        const bool help = message.rfind("Usage:", 0) == 0;
        (help ? std::cout : std::cerr) << message;
        return help ? 0 : 2;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    kestrel::camsim::Simulator simulator(options, std::cerr);
    if (const std::string error = simulator.listen(); !error.empty()) {
        std::cerr << "kestrel-camsim: cannot listen on " << error << '\n';
        return 1;
    }
    std::cerr << "kestrel-camsim: listening on " << options.address << ':' << simulator.port()
              << " (user \"" << options.user << "\")\n";
    simulator.serve(stopRequested);
    return 0;
}
