#pragma once
// Reads the camera's stream packets from the connection into the receive buffer, one whole packet
// at a time. A packet that arrives in pieces is completed over as many calls as it takes, without
// ever losing the place in the stream, and nothing beyond the packet being completed is taken
// from the connection. A packet too long for the buffer is read and passed over.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "connection/socket.h"
#include "protocol/stream_packet.h"
#include "video/stream_framer.h"

namespace kestrel::video {

using Byte = std::uint8_t;
using RecvBuffer = std::span<Byte, protocol::kMaxPacketSize>;

enum class PumpResult {
    Nothing,    // no whole packet yet (nothing arrived, a piece arrived, or the connection failed)
    Packet,     // a whole packet is in hand: packet()
    Oversized,  // a packet longer than the buffer began; its bytes are being passed over
};

class PacketPump {
public:
    // Packets are received into `recvBuf`, which must outlive the pump. Each readiness wait lasts
    // `wait` at the most.
    explicit PacketPump(RecvBuffer recvBuf,
                        std::chrono::milliseconds wait = connection::kWaitTimeout);

    // One step of the pump: with a whole packet already in hand it returns it at once; otherwise
    // it waits for the connection (at most the usual one second) and receives at most twice: the
    // Length, then what the packet still lacks, never more.
    PumpResult readPacket(const connection::Socket& sock);

    // The packet of the last Packet result, inside recvBuf; valid until the next call.
    [[nodiscard]] std::span<const Byte> packet() const { return framer_.packet(); }

    // Starts afresh for a new stream. `alreadyReceived` are the stream's first bytes (those that
    // came with the start reply, in recvBuf or elsewhere); `toSkip` bytes still to come belong to
    // something that is not a packet and are passed over.
    void restart(std::span<const Byte> alreadyReceived = {}, std::size_t toSkip = 0);

private:
    StreamFramer framer_;
    std::chrono::milliseconds wait_;
};

}  // namespace kestrel::video
