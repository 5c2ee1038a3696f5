#include "video/stream_framer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrel::video {

namespace c = kestrel::connection;
namespace p = kestrel::protocol;

StreamFramer::StreamFramer() : own_(kFramerBufferSize), buffer_(own_) {}

StreamFramer::StreamFramer(std::span<Byte> buffer) : buffer_(buffer) {}

void StreamFramer::restart(std::span<const Byte> alreadyReceived, std::size_t toSkip) {
    const auto kept = alreadyReceived.first(std::min(alreadyReceived.size(), buffer_.size()));
    // The bytes may already lie in the buffer, further on.
    if (!kept.empty()) {
        std::memmove(buffer_.data(), kept.data(), kept.size());
    }
    begin_ = 0;
    end_ = kept.size();
    skip_ = toSkip;
    packetStart_ = 0;
    packetLength_ = 0;
    received_ = kept.size();
}

std::span<const Byte> StreamFramer::packet() const {
    return buffer_.subspan(packetStart_, packetLength_);
}

std::size_t StreamFramer::needed() const {
    const std::size_t inHand = end_ - begin_;
    if (skip_ > inHand) {
        return skip_ - inHand;
    }
    const std::size_t after = inHand - skip_;
    if (after < 2) {
        return 2 - after;
    }
    const std::size_t at = begin_ + skip_;
    const std::size_t length = p::packetLength(buffer_[at], buffer_[at + 1]);
    // A packet too long for the packet buffer is passed over as its bytes come.
    return length > p::kMaxPacketSize || after >= length ? 0 : length - after;
}

std::span<Byte> StreamFramer::freeSpace() {
    // What is left in hand is less than a packet once take() has nothing more, so moving it to
    // the front is cheap and leaves room for a long burst.
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        packetStart_ = 0;
        packetLength_ = 0;
    }
    return buffer_.subspan(end_);
}

void StreamFramer::commit(std::size_t count) {
    count = std::min(count, buffer_.size() - end_);
    end_ += count;
    received_ += count;
}

std::optional<FramerEvent> StreamFramer::take() {
    if (skip_ > 0) {
        const std::size_t passed = std::min(skip_, end_ - begin_);
        begin_ += passed;
        skip_ -= passed;
        if (skip_ > 0) {
            return std::nullopt;
        }
    }
    const std::size_t inHand = end_ - begin_;
    if (inHand < 2) {
        return std::nullopt;
    }
    const std::size_t length = p::packetLength(buffer_[begin_], buffer_[begin_ + 1]);
    if (length > p::kMaxPacketSize) {
        // Its bytes are passed over as they come, so the packet behind it is found in step.
        skip_ = length;
        const std::size_t passed = std::min(skip_, inHand);
        begin_ += passed;
        skip_ -= passed;
        return FramerEvent::Oversized;
    }
    if (inHand < length) {
        return std::nullopt;
    }
    packetStart_ = begin_;
    packetLength_ = length;
    begin_ += length;
    return FramerEvent::Packet;
}

FramerEvent StreamFramer::next(const c::Socket& sock, std::chrono::milliseconds wait) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + wait;
    while (true) {
        if (const auto event = take()) {
            return *event;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        c::WaitReadable(sock, std::max(left, std::chrono::milliseconds{0}));
        const long got = sock.receive(freeSpace());
        if (got > 0) {
            commit(static_cast<std::size_t>(got));
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            return FramerEvent::Closed;
        }
        if (Clock::now() >= deadline) {
            return FramerEvent::Idle;
        }
    }
}

}  // namespace kestrel::video
