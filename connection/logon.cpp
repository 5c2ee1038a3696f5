#include "connection/logon.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <chrono>

#include "connection/messages.h"
#include "protocol/wire.h"

namespace kestrel::connection {

namespace {

LogonOutcome failed(std::string_view message) {
    return LogonOutcome{std::string(message)};
}

}  // namespace

LogonOutcome logOn(Socket& sock, const LogonFields& fields, std::uint8_t& seqNo) {
    namespace p = protocol;
    sock = Socket::createTcp();
    if (!sock.isOpen()) {
        return failed(text::FailedToCreateSocket);
    }
    sockaddr_in serverAddr{};
    serverAddr.sin_family = AF_INET;
    serverAddr.sin_port = htons(parsePortText(fields.port));
    const auto address = parseAddressText(fields.address);
    if (!address) {
        return failed(text::InvalidIpAddress);
    }
    serverAddr.sin_addr.s_addr = *address;
    if (!sock.setNonBlocking()) {
        return failed(text::FailedToMakeNonblocking);
    }
    if (sock.startConnect(serverAddr) == Socket::ConnectStart::Failed) {
        return failed(text::FailedToConnect);
    }

    seqNo = 0;
    const auto request = p::buildLogon(p::takeSequence(seqNo), fields.user, fields.password);
    WaitWritable(sock);
    if (sock.send(request) == -1) {
        return failed(text::FailedToSendLogon);
    }

    return receiveLogonReply(sock);
}

LogonOutcome receiveLogonReply(Socket& sock) {
    namespace p = protocol;
    // The reply is judged as soon as its Result shows a refusal; an accepted one is taken whole,
    // all within the one-second wait. A tail that has not come by then is dropped on arrival.
    std::array<p::Byte, p::kLogonReplySize> replyBuf{};
    const auto deadline = std::chrono::steady_clock::now() + kWaitTimeout;
    const auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
    };
    std::size_t got = receiveAtLeast(sock, replyBuf, p::kCommandReplyUsedSize, left());
    if (got >= p::kCommandReplyUsedSize && replyBuf[2] == p::Ack) {
        got += receiveAtLeast(sock, std::span(replyBuf).subspan(got), replyBuf.size() - got,
                              std::max(left(), std::chrono::milliseconds{0}));
    }
    const auto reply = p::readLogonReply(std::span(replyBuf).first(got));
    if (!reply) {
        return failed(text::FailedToReceiveLogon);
    }
    if (!reply->accepted()) {
        return failed(text::logonFailed(reply->result));
    }
    sock.discardNext(replyBuf.size() - got);
    return LogonOutcome{{}, reply->streamId, reply->maxBrightness};
}

}  // namespace kestrel::connection
