#pragma once
// A thin layer over the platform's TCP sockets with exactly what the client relies on:
// one non-blocking IPv4 stream socket, readiness waits of at most one second, one send, one
// receive. Results follow the socket calls: -1 is a failure, a receive of 0 is a closed peer.

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kestrel::connection {

using Byte = std::uint8_t;

// How long every readiness wait lasts at most: the time-out of each exchange.
inline constexpr std::chrono::milliseconds kWaitTimeout{1000};

// Start and stop of the socket library. Nothing to do on POSIX; a Windows build starts and
// cleans up its socket library here.
void SocketsStartup();
void SocketsCleanup();

class Socket {
public:
    Socket() = default;
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;

    // A new IPv4 TCP socket; !isOpen() when the system refuses one.
    static Socket createTcp();
    // Takes ownership of a descriptor opened elsewhere (one end of a socket pair, say).
    static Socket adopt(int descriptor) { return Socket(descriptor); }

    // "No connection" is its own state: descriptor 0 is a valid socket here.
    [[nodiscard]] bool isOpen() const noexcept { return fd_ >= 0; }
    [[nodiscard]] int descriptor() const noexcept { return fd_; }

    bool setNonBlocking();

    enum class ConnectStart { Connected, InProgress, Failed };
    ConnectStart startConnect(const sockaddr_in& address);

    // One send of the whole message; -1 on failure, otherwise what the system took. Never raises
    // a signal when the camera has closed its end.
    [[nodiscard]] long send(std::span<const Byte> message) const;
    // One receive; -1 on failure (including nothing there yet), 0 when the camera has closed.
    // Bytes still owed by a message taken short (see discardNext) are dropped first.
    [[nodiscard]] long receive(std::span<Byte> into) const;

    // The next `count` bytes to arrive belong to a message already judged (a logon reply whose
    // tail came late): receives drop them, so that no later reader meets them.
    void discardNext(std::size_t count) noexcept { owed_ = count; }

    void shutdownBoth() const;
    // Closes without shutdown; the socket is then not open.
    void close() noexcept;

private:
    explicit Socket(int fd) : fd_(fd) {}
    int fd_ = -1;
    // Part of the byte stream's position rather than of the socket's identity, hence mutable.
    mutable std::size_t owed_ = 0;
};

// Wait until the socket is writable / readable, at most `timeout`. The result is poll's: the
// number of ready descriptors, 0 on time-out, -1 on failure (for instance no socket).
int WaitWritable(const Socket& sock, std::chrono::milliseconds timeout = kWaitTimeout);
int WaitReadable(const Socket& sock, std::chrono::milliseconds timeout = kWaitTimeout);

// Receives into `into` until at least `need` bytes are in, `into` is full, the camera closes or
// fails, or `timeout` has passed since the call, whichever comes first. Returns the count in hand.
// Never takes more than `into` holds, so nothing behind a message is consumed when `into` is sized
// to it.
std::size_t receiveAtLeast(const Socket& sock, std::span<Byte> into, std::size_t need,
                           std::chrono::milliseconds timeout = kWaitTimeout);

// The port text as typed: leading white space, an optional sign, decimal digits up to the first
// other character. No digits give 0. The result is the low 16 bits of the number, computed
// without overflow for any number of digits.
std::uint16_t parsePortText(std::string_view text);

// The IPv4 address text in any form the classic inet_addr accepts, in network byte order. Empty
// for a text that is no address and for 255.255.255.255, which inet_addr cannot tell apart from
// one. Host names are never looked up.
std::optional<std::uint32_t> parseAddressText(std::string_view text);

}  // namespace kestrel::connection
