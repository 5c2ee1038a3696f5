#pragma once
// The simulated camera: a TCP server that speaks the camera's protocol to one client at a time,
// answers logon and commands, and streams live JPEG frames of a moving scene.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace kestrel::camsim {

// Error numbers the simulator answers with. Any non-Ack result is an error number to the client.
inline constexpr std::uint8_t kErrorUnknownRequest = 1;
inline constexpr std::uint8_t kErrorBadCredentials = 2;
inline constexpr std::uint8_t kErrorBadStreamId = 3;
inline constexpr std::uint8_t kErrorBadArgument = 5;
inline constexpr std::uint8_t kErrorNotLoggedOn = 6;

struct SimulatorOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 1600;
    std::string user = "admin";
    std::string password = "lanterns";
    std::uint32_t streamId = 0x4B53;
    std::uint32_t maxBrightness = 10;
    double framesPerSecond = 15.0;
    bool unpaced = false;       // send the next frame as soon as the last one has left
    bool stillPicture = false;  // code one picture per size and send it again and again
    std::uint8_t sizeCode = 1;  // 0 = 160x120, 1 = 320x240, 2 = 640x480
    std::map<std::uint8_t, std::uint8_t> refusals;  // request type -> error number to answer
    bool verbose = false;
    // Where to log, per frame, its fingerprint and when its last byte was sent (for benchmarks).
    std::string timingLog;
};

struct StreamSize {
    std::uint16_t width;
    std::uint16_t height;
};
inline constexpr StreamSize kStreamSizes[3] = {{160, 120}, {320, 240}, {640, 480}};

// Parses the command line; on error or --help returns false and fills `message`.
bool parseSimulatorOptions(const std::vector<std::string>& args, SimulatorOptions& options,
                           std::string& message);
std::string simulatorUsage();

class Simulator {
public:
    Simulator(SimulatorOptions options, std::ostream& log);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Binds and listens; an empty text on success, otherwise what went wrong.
    std::string listen();
    [[nodiscard]] std::uint16_t port() const { return port_; }

    // Serves clients one after the other until `stop` becomes true.
    void serve(const std::atomic<bool>& stop);

    // Frames sent over the simulator's life, for reports.
    [[nodiscard]] std::uint64_t framesSent() const { return framesSent_.load(); }

private:
    struct Session;
    void serveClient(int fd, const std::atomic<bool>& stop);
    void handle(Session& session, std::uint8_t type, std::uint8_t sequence,
                const std::vector<std::uint8_t>& body);
    void queueFrame(Session& session);
    void logSentFrames(Session& session);
    void restoreDefaults(Session& session) const;

    SimulatorOptions options_;
    std::ostream& log_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<std::uint64_t> framesSent_{0};
    std::chrono::steady_clock::time_point started_;
    std::unique_ptr<std::ofstream> timingLog_;
};

}  // namespace kestrel::camsim
