#include "video/packet_pump.h"

#include <algorithm>

namespace kestrel::video {

namespace c = kestrel::connection;

PacketPump::PacketPump(RecvBuffer recvBuf, std::chrono::milliseconds wait)
    : framer_(recvBuf), wait_(wait) {}

void PacketPump::restart(std::span<const Byte> alreadyReceived, std::size_t toSkip) {
    framer_.restart(alreadyReceived, toSkip);
}

PumpResult PacketPump::readPacket(const c::Socket& sock) {
    const auto result = [](FramerEvent event) {
        return event == FramerEvent::Packet ? PumpResult::Packet : PumpResult::Oversized;
    };
    if (const auto event = framer_.take()) {
        return result(*event);
    }
    // Nothing beyond the packet being completed is taken from the connection: what comes behind
    // it stays there for the next tick, or for whoever reads next.
    for (int receive = 0; receive < 2; ++receive) {
        c::WaitReadable(sock, wait_);
        const std::span<Byte> room = framer_.freeSpace();
        const long got = sock.receive(room.first(std::min(room.size(), framer_.needed())));
        if (got <= 0) {
            return PumpResult::Nothing;
        }
        framer_.commit(static_cast<std::size_t>(got));
        if (const auto event = framer_.take()) {
            return result(*event);
        }
    }
    return PumpResult::Nothing;
}

}  // namespace kestrel::video
