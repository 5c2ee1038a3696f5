#include "connection/stream_control.h"

#include <algorithm>

#include "connection/messages.h"
#include "protocol/stream_packet.h"
#include "protocol/wire.h"

namespace kestrel::connection {

namespace p = kestrel::protocol;

namespace {
constexpr std::size_t kReplyReceiveLimit = 255;
}  // namespace

StreamStart startStream(const Socket& sock, std::span<const Byte> request,
                        std::span<Byte> recvBuf) {
    WaitWritable(sock);
    if (sock.send(request) == -1) {
        return {std::string(text::FailedToSendRequest), {}, 0};
    }
    const auto into = recvBuf.first(std::min(recvBuf.size(), kReplyReceiveLimit));
    const std::size_t got = receiveAtLeast(sock, into, p::kCommandReplyUsedSize);
    const auto result = p::readCommandResult(into.first(got));
    if (!result) {
        return {std::string(text::FailedToReceiveResponse), {}, 0};
    }
    if (*result != p::Ack) {
        return {text::commandFailed(*result), {}, 0};
    }
    const std::size_t replyLength = p::packetLength(into[0], into[1]);
    if (got > replyLength) {
        return {{}, into.subspan(replyLength, got - replyLength), 0};
    }
    return {{}, {}, replyLength - got};
}

std::uint64_t drainStream(const Socket& sock, std::span<Byte> recvBuf,
                          std::chrono::milliseconds bound) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + bound;
    std::uint64_t dropped = 0;
    while (Clock::now() < deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        WaitReadable(sock, std::min(std::chrono::milliseconds(kWaitTimeout), left));
        const long got = sock.receive(recvBuf);
        if (got <= 0) {
            break;
        }
        dropped += static_cast<std::uint64_t>(got);
    }
    return dropped;
}

}  // namespace kestrel::connection
