#pragma once
// Reads the camera's stream packets from the connection into the receive buffer, one whole packet
// at a time. A packet that arrives in pieces is completed over as many calls as it takes, without
// ever losing the place in the stream, and nothing beyond the packet being completed is taken
// from the connection. A packet too long for the buffer is read and passed over.

#include <cstddef>
#include <cstdint>
#include <span>

#include "connection/socket.h"
#include "protocol/stream_packet.h"

namespace kestrel::video {

using Byte = std::uint8_t;
using RecvBuffer = std::span<Byte, protocol::kMaxPacketSize>;

enum class PumpResult {
    Nothing,    // no whole packet yet (nothing arrived, a piece arrived, or the connection failed)
    Packet,     // a whole packet lies at the start of the buffer
    Oversized,  // a packet longer than the buffer began; its bytes are being passed over
};

class PacketPump {
public:
    // One step of the pump: with a whole packet already in hand it returns it at once; otherwise
    // it waits for the connection (at most the usual one second) and receives once or twice, as
    // the packet's Length and its remaining bytes require. The packet returned stays at the start
    // of recvBuf until the next call.
    PumpResult readPacket(const connection::Socket& sock, RecvBuffer recvBuf);

    // Length of the packet returned by the last readPacket.
    [[nodiscard]] std::size_t packetLength() const { return delivered_; }

    // Starts afresh for a new stream. `alreadyReceived` bytes at the start of recvBuf (say, those
    // that came with the start reply, already moved there) are the stream's first bytes;
    // `toSkip` bytes still to come belong to something that is not a packet and are passed over.
    void restart(std::size_t alreadyReceived = 0, std::size_t toSkip = 0);

private:
    std::size_t filled_ = 0;     // bytes at the start of recvBuf that belong to the stream
    std::size_t delivered_ = 0;  // length of the packet handed out by the last call
    std::size_t skip_ = 0;       // bytes of an oversized packet still to pass over
};

}  // namespace kestrel::video
