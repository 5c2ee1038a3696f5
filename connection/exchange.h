#pragma once
// The exchange every camera command makes: wait, send the whole request once, and, where the
// command reads its reply, wait and receive it and judge its Result.

#include <span>
#include <string>

#include "connection/socket.h"

namespace kestrel::connection {

enum class ReplyHandling { Ignore, Read };

// Sends `request` on `sock` and, with ReplyHandling::Read, receives the reply into the start of
// `recvBuf` (at most 255 bytes). Returns the message to show, or an empty text when all went well.
// A reply that brings fewer than three bytes is completed within the same one-second wait.
std::string exchangeRequest(const Socket& sock, std::span<const Byte> request,
                            ReplyHandling replyHandling, std::span<Byte> recvBuf);

// Receives a command reply into the start of `recvBuf` and judges it; the same texts as above.
std::string receiveCommandReply(const Socket& sock, std::span<Byte> recvBuf);

}  // namespace kestrel::connection
