#pragma once
// Opening a connection to the camera and logging on: every step up to the judged logon reply.
// Errors come back as the message text to show; the caller decides how to show it and closes the
// socket afterwards, so the socket is still open while the message is shown.

#include <cstdint>
#include <string>
#include <string_view>

#include "connection/socket.h"

namespace kestrel::connection {

// The four texts the user typed, as UTF-8.
struct LogonFields {
    std::string_view address;
    std::string_view port;
    std::string_view user;
    std::string_view password;
};

struct LogonOutcome {
    std::string failure;  // empty when the camera accepted the logon
    std::uint32_t streamId = 0;
    std::uint32_t maxBrightness = 0;
    [[nodiscard]] bool accepted() const { return failure.empty(); }
};

// Creates the socket into `sock`, connects it without blocking, sets seqNo to 0, sends Logon and
// reads the reply. On failure `sock` may still be open: the caller shows the failure, then closes
// it. A reply that arrives in pieces is completed within the one-second wait; no byte behind its
// 789 is taken.
LogonOutcome logOn(Socket& sock, const LogonFields& fields, std::uint8_t& seqNo);

// The reply half of logOn: receives the LogonReply from `sock` and judges it.
LogonOutcome receiveLogonReply(Socket& sock);

}  // namespace kestrel::connection
