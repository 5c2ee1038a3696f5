#pragma once
// Starting and ending the camera's stream: the exchanges the window and the command-line client
// share.

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "connection/socket.h"

namespace kestrel::connection {

// A stop drain never lasts longer than this, so a camera that never falls silent cannot hold
// its client for ever.
inline constexpr std::chrono::seconds kMaxDrain{3};

struct StreamStart {
    std::string failure;             // empty when the camera acknowledged the start
    std::span<const Byte> leftover;  // stream bytes that came with the reply, inside recvBuf
    std::size_t toSkip = 0;          // bytes of a reply longer than what came, still to come
};

// Sends the StartStream request and reads its reply as every reply is read: one receive of at
// most 255 bytes into recvBuf, completed to three bytes within the second, judged on its third.
// Stream bytes that came behind the reply's own Length are handed back rather than lost.
StreamStart startStream(const Socket& sock, std::span<const Byte> request, std::span<Byte> recvBuf);

// Drops whatever the camera still sends until it falls silent for the one-second wait or closes,
// and for `bound` at the most. Returns the number of bytes dropped.
std::uint64_t drainStream(const Socket& sock, std::span<Byte> recvBuf,
                          std::chrono::milliseconds bound = kMaxDrain);

}  // namespace kestrel::connection
