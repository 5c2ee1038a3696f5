#include "tools/cli/session.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <sstream>
#include <system_error>
#include <variant>

#include "connection/exchange.h"
#include "connection/messages.h"
#include "connection/stream_control.h"
#include "protocol/stream_packet.h"
#include "protocol/wire.h"
#include "video/snapshot.h"

namespace kestrel::cli {

namespace {

namespace c = kestrel::connection;
namespace p = kestrel::protocol;
namespace v = kestrel::video;
using Clock = std::chrono::steady_clock;
using Byte = std::uint8_t;

constexpr std::string_view kStreamClosed = "The camera closed the connection.";
// A command that waits for frames gives up when none completes for this long.
constexpr auto kFrameWait = std::chrono::seconds(10);
constexpr std::string_view kNoFrameAtAll = "No complete frame came.";
constexpr std::string_view kNoFrame = "No complete frame came within 10 seconds.";
constexpr auto kProgressInterval = std::chrono::milliseconds(250);
// The window's track bar keeps this maximum when the camera's does not fit in its int.
constexpr std::int64_t kDesignBrightnessMaximum = 10;

template <typename... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};

std::string fixed(double value, int decimals) {
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(decimals);
    text << value;
    return text.str();
}

double seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

std::string sequenceText(std::span<const Byte> request) {
    return std::string(p::requestTypeName(request[2])) + " seq " + std::to_string(request[3]);
}

class SnapshotSink final : public FrameSink {
public:
    explicit SnapshotSink(std::filesystem::path file) : file_(std::move(file)) {}

    std::string frame(std::span<const Byte> image) override {
        saved_ = true;
        const v::SnapshotResult result = v::saveSnapshot(file_, image);
        return std::string(v::snapshotMessage(result));
    }
    [[nodiscard]] bool satisfied() const override { return saved_; }
    [[nodiscard]] std::string progress() const override { return {}; }

private:
    std::filesystem::path file_;
    bool saved_ = false;
};

class RecordSink final : public FrameSink {
public:
    RecordSink(std::filesystem::path folder, std::uint64_t limit)
        : folder_(std::move(folder)), limit_(limit) {}

    std::string frame(std::span<const Byte> image) override {
        ++count_;
        std::array<char, 40> name{};
        (void)std::snprintf(name.data(), name.size(), "frame-%06llu.jpg",
                            static_cast<unsigned long long>(count_));
        const v::SnapshotResult result = v::saveSnapshot(folder_ / name.data(), image);
        return std::string(v::snapshotMessage(result));
    }
    [[nodiscard]] bool satisfied() const override { return limit_ > 0 && count_ >= limit_; }
    [[nodiscard]] std::string progress() const override {
        return std::to_string(count_) + " frames";
    }
    [[nodiscard]] std::uint64_t count() const { return count_; }

private:
    std::filesystem::path folder_;
    std::uint64_t limit_;  // 0: no limit
    std::uint64_t count_ = 0;
};

class StatsSink final : public FrameSink {
public:
    explicit StatsSink(v::JpegDecoder& decoder) : decoder_(decoder) {}

    std::string frame(std::span<const Byte> image) override {
        ++frames_;
        minSize_ = std::min<std::uint64_t>(minSize_, image.size());
        maxSize_ = std::max<std::uint64_t>(maxSize_, image.size());
        totalSize_ += image.size();
        const auto started = Clock::now();
        try {
            decoder_.decode(image, scratch_);
        } catch (const v::DecodeError&) {
            ++failures_;  // as in the window, a frame that does not decode is only passed over
        }
        const auto took = Clock::now() - started;
        totalDecode_ += took;
        maxDecode_ = std::max(maxDecode_, took);
        return {};
    }
    [[nodiscard]] bool satisfied() const override { return false; }
    [[nodiscard]] std::string progress() const override {
        return std::to_string(frames_) + " frames";
    }

    void report(std::ostream& out, const StreamTotals& totals) const {
        const double elapsed = std::max(seconds(totals.elapsed), 1e-9);
        const double perFrame = frames_ > 0 ? 1.0 / static_cast<double>(frames_) : 0.0;
        const auto ms = [](Clock::duration d) { return seconds(d) * 1000.0; };
        out << "frames           " << frames_ << " in " << fixed(seconds(totals.elapsed), 2)
            << " s, " << fixed(static_cast<double>(frames_) / elapsed, 2) << " frames/s\n";
        out << "bytes            " << totals.bytes << ", "
            << fixed(static_cast<double>(totals.bytes) / elapsed, 0) << " bytes/s\n";
        if (frames_ == 0) {
            out << "frame size       none\n";
            out << "decode time      none\n";
        } else {
            out << "frame size       min " << minSize_ << ", avg "
                << fixed(static_cast<double>(totalSize_) * perFrame, 0) << ", max " << maxSize_
                << " bytes\n";
            out << "decode time      avg " << fixed(ms(totalDecode_) * perFrame, 3) << " ms, max "
                << fixed(ms(maxDecode_), 3) << " ms\n";
        }
        out << "decode failures  " << failures_ << '\n';
    }

private:
    v::JpegDecoder& decoder_;
    v::Picture scratch_;
    std::uint64_t frames_ = 0;
    std::uint64_t minSize_ = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t maxSize_ = 0;
    std::uint64_t totalSize_ = 0;
    Clock::duration totalDecode_{};
    Clock::duration maxDecode_{};
    std::uint64_t failures_ = 0;
};

}  // namespace

void Reporter::message(std::string_view text) const {
    err << kProgramName << ": " << text << '\n';
}

void Reporter::log(std::string_view text) const {
    if (verbose) {
        message(text);
    }
}

CameraSession::CameraSession(const Reporter& reporter)
    : reporter_(reporter), frames_(std::make_unique<v::FrameBuffers>()) {}

CameraSession::~CameraSession() {
    disconnect();
}

void CameraSession::disconnect() {
    if (sock_.isOpen()) {
        sock_.shutdownBoth();
        sock_.close();
    }
}

std::string CameraSession::logOn(const c::LogonFields& fields) {
    reporter_.log("-> Logon seq 0 to " + std::string(fields.address) + ":" +
                  std::string(fields.port) + " as \"" + std::string(fields.user) + "\"");
    const c::LogonOutcome outcome = c::logOn(sock_, fields, seqNo_);
    if (!outcome.accepted()) {
        sock_.close();
        return outcome.failure;
    }
    streamId_ = outcome.streamId;
    maxBrightness_ = outcome.maxBrightness;
    reporter_.log("<- Logon seq 0 reply: Ack, stream id " + std::to_string(streamId_) +
                  ", max brightness " + std::to_string(maxBrightness_));
    return {};
}

std::int64_t CameraSession::brightnessMaximum() const {
    const auto maximum = static_cast<std::int32_t>(maxBrightness_);
    return maximum < 0 ? kDesignBrightnessMaximum : maximum;
}

StepResult CameraSession::exchange(std::span<const Byte> request, bool readsReply) {
    const std::string what = sequenceText(request);
    reporter_.log("-> " + what + (readsReply ? "" : " (reply not read)"));
    const auto handling = readsReply ? c::ReplyHandling::Read : c::ReplyHandling::Ignore;
    std::string failure = c::exchangeRequest(sock_, request, handling, recvBuf_);
    if (readsReply && failure != c::text::FailedToSendRequest) {
        reporter_.log("<- " + what + " reply: " + (failure.empty() ? "Ack" : failure));
    }
    return {std::move(failure)};
}

StepResult CameraSession::run(const Command& next) {
    return std::visit(
        Overloaded{
            [&](const MoveCommand& move) {
                return exchange(p::buildMoveCamera(p::takeSequence(seqNo_), move.direction), true);
            },
            [&](const LightCommand& light) {
                const Byte state = light.on ? 1 : 0;
                return exchange(p::buildSetStatusLight(p::takeSequence(seqNo_), state), false);
            },
            [&](const BrightnessCommand& brightness) {
                const auto value = static_cast<std::int32_t>(brightness.value);
                return exchange(p::buildSetBrightness(p::takeSequence(seqNo_), value), true);
            },
            [&](const SizeCommand& size) {
                return exchange(p::buildSelectStream(p::takeSequence(seqNo_), size.sizeCode),
                                false);
            },
            [&](const ResetCommand&) {
                return exchange(p::buildResetCamera(p::takeSequence(seqNo_)), true);
            },
            [&](const SnapshotCommand& snap) { return snapshot(snap); },
            [&](const RecordCommand& rec) { return record(rec); },
            [&](const StatsCommand& stat) { return stats(stat); },
        },
        next);
}

std::string CameraSession::startStream() {
    const auto request = p::buildStartStream(p::takeSequence(seqNo_), streamId_);
    const std::string what = sequenceText(request);
    reporter_.log("-> " + what + " stream id " + std::to_string(streamId_));
    // Read as the window does: whatever is there up to 255 bytes, judged on its third byte. That
    // may be an earlier reply nobody read; the bytes behind the reply's own Length go to the
    // framer, which passes over anything that is not a frame packet.
    const c::StreamStart start = c::startStream(sock_, request, recvBuf_);
    reporter_.log("<- " + what + " reply: " + (start.failure.empty() ? "Ack" : start.failure));
    if (!start.failure.empty()) {
        return start.failure;
    }
    framer_.restart(start.leftover, start.toSkip);
    frames_->restartFrame();
    return {};
}

std::string CameraSession::stopStream() {
    const auto request = p::buildStopStream(p::takeSequence(seqNo_));
    reporter_.log("-> " + sequenceText(request));
    c::WaitWritable(sock_);
    if (sock_.send(request) == -1) {
        return std::string(c::text::FailedToSendRequest);
    }
    drain();
    return {};
}

void CameraSession::drain() {
    // Its reply is not judged: it goes with the frames still on their way.
    const std::uint64_t dropped = c::drainStream(sock_, recvBuf_);
    reporter_.log("<- stream drained: " + std::to_string(dropped) + " bytes dropped");
}

StepResult CameraSession::runStream(const StreamPlan& plan, FrameSink& sink, StreamTotals& totals) {
    if (std::string failure = startStream(); !failure.empty()) {
        return {std::move(failure)};
    }
    const auto started = Clock::now();
    auto lastFrame = started;
    auto nextProgress = started + kProgressInterval;
    bool progressShown = false;
    bool closed = false;
    std::uint64_t completed = 0;
    std::uint64_t passedOver = 0;
    StepResult result;
    while (!sink.satisfied()) {
        if (reporter_.stopRequested()) {
            result.interrupted = true;
            break;
        }
        const auto now = Clock::now();
        const bool timed = plan.duration.count() > 0;
        const auto end = timed ? started + plan.duration : lastFrame + kFrameWait;
        if (now >= end) {
            // A camera that sends no frame at all fails a timed run too, so that a health check
            // can go by the exit status.
            if (!timed || completed == 0) {
                result.failure = timed ? std::string(kNoFrameAtAll) : std::string(kNoFrame);
            }
            break;
        }
        const auto wait = std::min<std::chrono::milliseconds>(
            c::kWaitTimeout, std::chrono::ceil<std::chrono::milliseconds>(end - now));
        switch (framer_.next(sock_, wait)) {
            case v::FramerEvent::Packet:
                if (v::assemblePacket(*frames_, framer_.packet(), false) ==
                    v::AssemblyResult::Published) {
                    ++completed;
                    lastFrame = Clock::now();
                    result.failure = sink.frame(frames_->image());
                }
                break;
            case v::FramerEvent::Oversized:
                frames_->dropFrame();
                ++passedOver;
                break;
            case v::FramerEvent::Idle:
                break;
            case v::FramerEvent::Closed:
                closed = true;
                result.failure = kStreamClosed;
                break;
        }
        if (!result.failure.empty()) {
            break;
        }
        if (plan.showsProgress && reporter_.progress && Clock::now() >= nextProgress) {
            nextProgress = Clock::now() + kProgressInterval;
            progressShown = true;
            reporter_.err << '\r' << kProgramName << ": " << plan.name << ": " << sink.progress()
                          << ", " << fixed(seconds(Clock::now() - started), 1) << " s   "
                          << std::flush;
        }
    }
    totals.elapsed = Clock::now() - started;
    totals.bytes = framer_.bytesReceived();
    if (progressShown) {
        reporter_.err << '\n';
    }
    reporter_.log(std::string(plan.name) + ": " + std::to_string(completed) + " complete frames, " +
                  std::to_string(passedOver) + " oversized packets passed over");
    if (!closed) {
        std::string failure = stopStream();
        if (result.failure.empty()) {
            result.failure = std::move(failure);
        }
    }
    return result;
}

StepResult CameraSession::snapshot(const SnapshotCommand& command) {
    SnapshotSink sink(command.file);
    StreamTotals totals;
    // It usually takes a fraction of a second: no progress line.
    return runStream({"snapshot", {}, false}, sink, totals);
}

StepResult CameraSession::record(const RecordCommand& command) {
    std::error_code error;
    std::filesystem::create_directories(command.folder, error);
    if (error || !std::filesystem::is_directory(command.folder, error)) {
        return {"Failed to create the folder " + command.folder.string() + "."};
    }
    RecordSink sink(command.folder, command.frames);
    StreamTotals totals;
    StepResult result = runStream({"record", command.duration}, sink, totals);
    reporter_.log("record: " + std::to_string(sink.count()) + " frames written to " +
                  command.folder.string());
    return result;
}

StepResult CameraSession::stats(const StatsCommand& command) {
    StatsSink sink(decoder_);
    StreamTotals totals;
    StepResult result = runStream({"stats", command.duration}, sink, totals);
    if (result.failure.empty()) {
        sink.report(reporter_.out, totals);
    }
    return result;
}

}  // namespace kestrel::cli
