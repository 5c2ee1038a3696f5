// The logon reply, command reply and stream start reply handling fed arbitrary replies. The first
// byte picks which reader meets the rest.

#include <array>
#include <cstdint>
#include <span>

#include "connection/exchange.h"
#include "connection/logon.h"
#include "connection/stream_control.h"
#include "fuzz/fuzz_support.h"
#include "protocol/wire.h"
#include "video/packet_pump.h"

namespace c = kestrel::connection;
namespace p = kestrel::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    kestrel::fuzz::CameraPipe pipe;
    if (!pipe.send(std::span(data + 1, size - 1))) {
        return 0;
    }
    pipe.closeCamera();
    std::array<std::uint8_t, 4096> recvBuf{};
    switch (data[0] % 3) {
        case 0: {
            // A logon, then whatever follows is read as the next command's reply.
            const c::LogonOutcome outcome = c::receiveLogonReply(pipe.client);
            if (outcome.accepted()) {
                (void)c::receiveCommandReply(pipe.client, recvBuf);
            }
            break;
        }
        case 1:
            (void)c::exchangeRequest(pipe.client, p::buildMoveCamera(1, 0), c::ReplyHandling::Read,
                                     recvBuf);
            (void)c::receiveCommandReply(pipe.client, recvBuf);
            break;
        default: {
            // A start, then the stream bytes that came with its reply go to the pump.
            const c::StreamStart start =
                c::startStream(pipe.client, p::buildStartStream(2, 42), recvBuf);
            if (start.failure.empty()) {
                kestrel::video::PacketPump pump(recvBuf, std::chrono::milliseconds(0));
                pump.restart(start.leftover, start.toSkip);
                for (int i = 0; i < 4096; ++i) {
                    if (pump.readPacket(pipe.client) == kestrel::video::PumpResult::Nothing) {
                        break;
                    }
                }
            }
            break;
        }
    }
    return 0;
}
