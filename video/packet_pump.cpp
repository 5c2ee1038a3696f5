#include "video/packet_pump.h"

#include <algorithm>
#include <cstring>

namespace kestrel::video {

namespace c = kestrel::connection;
namespace p = kestrel::protocol;

void PacketPump::restart(std::size_t alreadyReceived, std::size_t toSkip) {
    filled_ = alreadyReceived;
    delivered_ = 0;
    skip_ = toSkip;
}

PumpResult PacketPump::readPacket(const c::Socket& sock, RecvBuffer recvBuf) {
    // Bytes behind the packet handed out last time (only ever those that came with the start
    // reply) move to the front; normally there are none and nothing is copied.
    if (delivered_ > 0) {
        std::memmove(recvBuf.data(), recvBuf.data() + delivered_, filled_ - delivered_);
        filled_ -= delivered_;
        delivered_ = 0;
    }

    if (skip_ > 0) {
        // The bytes in hand are dropped first, then whatever the connection still has of it.
        const std::size_t inHand = std::min(skip_, filled_);
        std::memmove(recvBuf.data(), recvBuf.data() + inHand, filled_ - inHand);
        filled_ -= inHand;
        skip_ -= inHand;
        if (skip_ > 0) {
            c::WaitReadable(sock);
            const long got = sock.receive(recvBuf.first(std::min(skip_, recvBuf.size())));
            if (got > 0) {
                skip_ -= static_cast<std::size_t>(got);
            }
            return PumpResult::Nothing;
        }
    }

    const auto receiveUpTo = [&](std::size_t target) {
        if (filled_ >= target) {
            return true;
        }
        c::WaitReadable(sock);
        const long got = sock.receive(recvBuf.subspan(filled_, target - filled_));
        if (got <= 0) {
            return false;
        }
        filled_ += static_cast<std::size_t>(got);
        return filled_ >= target;
    };

    if (!receiveUpTo(2)) {
        return PumpResult::Nothing;
    }
    const std::size_t length = p::packetLength(recvBuf[0], recvBuf[1]);
    if (length > recvBuf.size()) {
        // Never read past the buffer: pass the packet over and stay in step with the stream.
        skip_ = length - filled_;
        filled_ = 0;
        return PumpResult::Oversized;
    }
    if (!receiveUpTo(length)) {
        return PumpResult::Nothing;
    }
    delivered_ = length;
    return PumpResult::Packet;
}

}  // namespace kestrel::video
