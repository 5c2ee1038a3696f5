#include "connection/logon.h"

#include <arpa/inet.h>

#include <array>

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

    std::array<p::Byte, p::kLogonReplySize> replyBuf{};
    const std::size_t got = receiveAtLeast(sock, replyBuf, replyBuf.size());
    const auto reply = p::readLogonReply(std::span(replyBuf).first(got));
    if (!reply) {
        return failed(text::FailedToReceiveLogon);
    }
    if (!reply->accepted()) {
        return failed(text::logonFailed(reply->result));
    }
    return LogonOutcome{{}, reply->streamId, reply->maxBrightness};
}

}  // namespace kestrel::connection
