#include "connection/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

namespace kestrel::connection {

void SocketsStartup() {}
void SocketsCleanup() {}

Socket::~Socket() {
    close();
}

Socket::Socket(Socket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), owed_(std::exchange(other.owed_, 0)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        owed_ = std::exchange(other.owed_, 0);
    }
    return *this;
}

Socket Socket::createTcp() {
    return Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
}

bool Socket::setNonBlocking() {
    const int flags = ::fcntl(fd_, F_GETFL);
    return flags != -1 && ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != -1;
}

Socket::ConnectStart Socket::startConnect(const sockaddr_in& address) {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the socket API's own cast
    const auto* generic = reinterpret_cast<const sockaddr*>(&address);
    if (::connect(fd_, generic, sizeof address) == 0) {
        return ConnectStart::Connected;
    }
    return errno == EINPROGRESS ? ConnectStart::InProgress : ConnectStart::Failed;
}

long Socket::send(std::span<const Byte> message) const {
    ssize_t sent = 0;
    do {
        sent = ::send(fd_, message.data(), message.size(), MSG_NOSIGNAL);
    } while (sent == -1 && errno == EINTR);
    return static_cast<long>(sent);
}

long Socket::receive(std::span<Byte> into) const {
    const auto receiveOnce = [&](std::size_t count) {
        ssize_t got = 0;
        do {
            got = ::recv(fd_, into.data(), count, 0);
        } while (got == -1 && errno == EINTR);
        return static_cast<long>(got);
    };
    while (owed_ > 0 && !into.empty()) {
        const long dropped = receiveOnce(std::min(owed_, into.size()));
        if (dropped <= 0) {
            return dropped;  // nothing there yet, or closed
        }
        owed_ -= static_cast<std::size_t>(dropped);
    }
    return receiveOnce(into.size());
}

void Socket::shutdownBoth() const {
    ::shutdown(fd_, SHUT_RDWR);
}

void Socket::close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    owed_ = 0;
}

namespace {

int waitFor(const Socket& sock, short events, std::chrono::milliseconds timeout) {
    if (!sock.isOpen()) {
        return -1;  // as a wait on no socket fails at once
    }
    pollfd entry{sock.descriptor(), events, 0};
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
    } while (ready == -1 && errno == EINTR);
    return ready;
}

}  // namespace

int WaitWritable(const Socket& sock, std::chrono::milliseconds timeout) {
    return waitFor(sock, POLLOUT, timeout);
}

int WaitReadable(const Socket& sock, std::chrono::milliseconds timeout) {
    return waitFor(sock, POLLIN, timeout);
}

std::size_t receiveAtLeast(const Socket& sock, std::span<Byte> into, std::size_t need,
                           std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    std::size_t have = 0;
    while (have < need && have < into.size()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        WaitReadable(sock, std::max(left, std::chrono::milliseconds{0}));
        const long got = sock.receive(into.subspan(have));
        if (got > 0) {
            have += static_cast<std::size_t>(got);
            continue;
        }
        const bool nothingYet = got == -1 && (errno == EAGAIN || errno == EWOULDBLOCK);
        if (!nothingYet || Clock::now() >= deadline) {
            break;  // closed, failed, or the wait is over
        }
    }
    return have;
}

std::uint16_t parsePortText(std::string_view text) {
    std::size_t i = 0;
    const auto isSpace = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    };
    while (i < text.size() && isSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Only the low 16 bits are kept, so the number is accumulated modulo 65536.
    std::uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = (value * 10U + static_cast<std::uint32_t>(text[i] - '0')) & 0xFFFFU;
    }
    if (negative) {
        value = (0x10000U - value) & 0xFFFFU;
    }
    return static_cast<std::uint16_t>(value);
}

std::optional<std::uint32_t> parseAddressText(std::string_view text) {
    const std::string terminated(text);
    if (terminated.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    const in_addr_t address = ::inet_addr(terminated.c_str());
    if (address == htonl(INADDR_NONE)) {
        return std::nullopt;
    }
    return address;
}

}  // namespace kestrel::connection
