#pragma once
// Cuts the camera's stream into whole packets for a reader that keeps up with the camera instead
// of taking one packet per timer tick: each receive takes whatever the connection holds, up to
// the framer's own buffer, and the packets in it are then handed out one at a time by their
// Length. A packet that arrives in pieces is completed over as many receives as it takes, and a
// packet too long for the client's packet buffer is passed over without losing the place.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "connection/socket.h"
#include "protocol/stream_packet.h"

namespace kestrel::video {

using Byte = std::uint8_t;

// Room for many packets, so one receive takes a burst of them.
inline constexpr std::size_t kFramerBufferSize = std::size_t{64} * 1024;

enum class FramerEvent {
    Packet,     // a whole packet is in hand: packet()
    Oversized,  // a packet longer than kMaxPacketSize began; it is passed over, and the frame in
                // assembly cannot be completed (FrameBuffers::dropFrame)
    Idle,       // no whole packet came within the wait; the place in the stream is kept
    Closed,     // the camera closed the connection, or it failed: nothing more will come
};

class StreamFramer {
public:
    // Frames into a buffer of its own, kFramerBufferSize long.
    StreamFramer();
    // Frames into `buffer`, which must outlive the framer (the window's packet buffer).
    explicit StreamFramer(std::span<Byte> buffer);
    StreamFramer(const StreamFramer&) = delete;
    StreamFramer& operator=(const StreamFramer&) = delete;

    // Starts afresh for a new stream. `alreadyReceived` are the stream's first bytes (those that
    // came with the start reply; at most the buffer's size is kept); `toSkip` bytes still to come
    // belong to something that is not a packet and are passed over first.
    void restart(std::span<const Byte> alreadyReceived = {}, std::size_t toSkip = 0);

    // The next packet from the connection. A packet already in hand comes at once; otherwise the
    // framer waits for the connection and receives, until a packet is whole, the camera closes
    // or `wait` has passed.
    FramerEvent next(const connection::Socket& sock,
                     std::chrono::milliseconds wait = connection::kWaitTimeout);

    // The packet of the last Packet event, its Length bytes; valid until the next call.
    [[nodiscard]] std::span<const Byte> packet() const;

    // The same work without a connection: bytes are received into freeSpace(), commit() counts
    // them in, and take() hands out the next Packet or Oversized, or nothing while more bytes are
    // needed.
    [[nodiscard]] std::span<Byte> freeSpace();
    void commit(std::size_t count);
    std::optional<FramerEvent> take();

    // How many more bytes the packet (or the passing over) in progress needs: a reader that must
    // not take more than that receives at most this many.
    [[nodiscard]] std::size_t needed() const;

    // Every byte received since the last restart, the ones passed over included.
    [[nodiscard]] std::uint64_t bytesReceived() const { return received_; }

private:
    std::vector<Byte> own_;
    std::span<Byte> buffer_;
    std::size_t begin_ = 0;  // first byte not yet handed out or passed over
    std::size_t end_ = 0;    // end of the bytes received
    std::size_t skip_ = 0;   // bytes still to pass over, in hand or to come
    std::size_t packetStart_ = 0;
    std::size_t packetLength_ = 0;
    std::uint64_t received_ = 0;
};

}  // namespace kestrel::video
