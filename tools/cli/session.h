#pragma once
// One connection to the camera and the commands run on it, as the window runs them: the same
// requests, sequence numbers, reply handling and message texts.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "connection/logon.h"
#include "connection/socket.h"
#include "tools/cli/options.h"
#include "video/frame_assembly.h"
#include "video/jpeg_decoder.h"
#include "video/stream_framer.h"

namespace kestrel::cli {

// Where a run reports. Messages go to `err` with the program's name in front; results (stats) go
// to `out`.
struct Reporter {
    std::ostream& out;
    std::ostream& err;
    bool verbose = false;
    bool progress = false;                           // stderr is a terminal
    const std::atomic<bool>* interrupted = nullptr;  // set when the user asks to stop

    void message(std::string_view text) const;
    // Only with --verbose.
    void log(std::string_view text) const;
    [[nodiscard]] bool stopRequested() const {
        return interrupted != nullptr && interrupted->load();
    }
};

// How a step ended: a message to show (empty on success), or an interruption by the user.
struct StepResult {
    std::string failure;
    bool interrupted = false;
    [[nodiscard]] bool ok() const { return failure.empty() && !interrupted; }
};

// Receives the complete frames of a running stream.
class FrameSink {
public:
    FrameSink() = default;
    virtual ~FrameSink() = default;
    FrameSink(const FrameSink&) = delete;
    FrameSink& operator=(const FrameSink&) = delete;

    // One complete frame: the whole JPEG image as received. A message ends the stream with it.
    virtual std::string frame(std::span<const std::uint8_t> image) = 0;
    // True once no more frames are wanted.
    [[nodiscard]] virtual bool satisfied() const = 0;
    // A few words for the progress line, say "12 frames".
    [[nodiscard]] virtual std::string progress() const = 0;
};

struct StreamPlan {
    std::string_view name;  // for the progress line and the log
    // The stream runs this long at most; zero means until the sink is satisfied.
    std::chrono::milliseconds duration{0};
    // Whether a progress line is worth showing (on a terminal only).
    bool showsProgress = true;
};

struct StreamTotals {
    std::chrono::steady_clock::duration elapsed{};
    std::uint64_t bytes = 0;
};

class CameraSession {
public:
    explicit CameraSession(const Reporter& reporter);
    ~CameraSession();
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;

    // Connects and logs on with the window's code; the failure message, or empty.
    std::string logOn(const connection::LogonFields& fields);

    // The highest brightness the window's track bar offers after this logon.
    [[nodiscard]] std::int64_t brightnessMaximum() const;

    StepResult run(const Command& command);

    // Runs a stream for `sink`: start, frames, stop and drain.
    StepResult runStream(const StreamPlan& plan, FrameSink& sink, StreamTotals& totals);

    // Shuts the connection down, as the window's Disconnect does.
    void disconnect();

private:
    StepResult exchange(std::span<const std::uint8_t> request, bool readsReply);
    std::string startStream();
    std::string stopStream();
    void drain();
    StepResult snapshot(const SnapshotCommand& command);
    StepResult record(const RecordCommand& command);
    StepResult stats(const StatsCommand& command);

    const Reporter& reporter_;
    connection::Socket sock_;
    std::uint8_t seqNo_ = 0;
    std::uint32_t streamId_ = 0;
    std::uint32_t maxBrightness_ = 0;
    std::array<std::uint8_t, 4096> recvBuf_{};
    std::unique_ptr<video::FrameBuffers> frames_;
    video::StreamFramer framer_;
    video::JpegDecoder decoder_;
};

}  // namespace kestrel::cli
