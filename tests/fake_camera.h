#pragma once
// A scripted camera on loopback for the tests. It accepts one connection and plays its script
// step by step on its own thread: read an exact number of bytes, send bytes (whole, split or
// slowly), pause, close. After the script it stays connected and silent. Everything it received is
// recorded for the test to check.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace kestrel::testing {

using Bytes = std::vector<std::uint8_t>;

struct Expect {  // receive exactly this many bytes (or until the client closes)
    std::size_t count;
};
struct Send {  // send these bytes in one call
    Bytes bytes;
};
struct SendSplit {  // send in pieces of `piece` bytes, pausing between them
    Bytes bytes;
    std::size_t piece = 1;
    std::chrono::milliseconds pause{0};
};
struct Pause {
    std::chrono::milliseconds duration;
};
struct Close {};      // close the connection now; without it the camera stays silent but connected
struct SendForever {  // repeat these bytes until the client closes (a camera that never stops)
    Bytes bytes;
    std::chrono::milliseconds pause{0};
};

using Step = std::variant<Expect, Send, SendSplit, Pause, Close, SendForever>;

class FakeCamera {
public:
    // Listens on 127.0.0.1 at a free port and starts playing `script` for the first client.
    explicit FakeCamera(std::vector<Step> script);
    ~FakeCamera();
    FakeCamera(const FakeCamera&) = delete;
    FakeCamera& operator=(const FakeCamera&) = delete;

    [[nodiscard]] std::uint16_t port() const { return port_; }
    [[nodiscard]] std::string portText() const { return std::to_string(port_); }

    // Everything received so far.
    [[nodiscard]] Bytes received() const;
    // Waits until `count` bytes have been received or `timeout` passed; returns what is there.
    Bytes waitForReceived(std::size_t count,
                          std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // Waits until the script has ended (or the timeout passed); true when it ended.
    bool waitFinished(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    void play();
    bool runStep(int fd, const Step& step);

    std::vector<Step> script_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Bytes received_;
    bool finished_ = false;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
};

// Helpers to write scripts.
Bytes logonReply(std::uint8_t result, std::uint32_t streamId = 42,
                 std::uint32_t maxBrightness = 10);
Bytes commandReply(std::uint8_t result, std::uint8_t sequence = 0);
Bytes concat(std::initializer_list<Bytes> parts);
// A script that takes the Logon, accepts it (stream identifier 42, maximum brightness 10) and
// then goes on with `then`.
std::vector<Step> afterLogon(std::vector<Step> then);

}  // namespace kestrel::testing
