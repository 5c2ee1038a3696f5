#include "connection/exchange.h"

#include <algorithm>

#include "connection/messages.h"
#include "protocol/wire.h"

namespace kestrel::connection {

namespace {
// One receive of a command reply takes at most this many bytes.
constexpr std::size_t kReplyReceiveLimit = 255;
}  // namespace

std::string receiveCommandReply(const Socket& sock, std::span<Byte> recvBuf) {
    const auto into = recvBuf.first(std::min(recvBuf.size(), kReplyReceiveLimit));
    const std::size_t got = receiveAtLeast(sock, into, protocol::kCommandReplyUsedSize);
    const auto result = protocol::readCommandResult(into.first(got));
    if (!result) {
        return std::string(text::FailedToReceiveResponse);
    }
    if (*result != protocol::Ack) {
        return text::commandFailed(*result);
    }
    return {};
}

std::string exchangeRequest(const Socket& sock, std::span<const Byte> request,
                            ReplyHandling replyHandling, std::span<Byte> recvBuf) {
    WaitWritable(sock);
    if (sock.send(request) == -1) {
        return std::string(text::FailedToSendRequest);
    }
    if (replyHandling == ReplyHandling::Ignore) {
        return {};
    }
    return receiveCommandReply(sock, recvBuf);
}

}  // namespace kestrel::connection
