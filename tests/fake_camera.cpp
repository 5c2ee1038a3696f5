#include "fake_camera.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>

#include "protocol/wire.h"

namespace kestrel::testing {

namespace {

// Waits for the client or the stop signal; false when the camera is being torn down.
bool waitReadable(int fd, int stopFd, int timeoutMs = -1) {
    std::array<pollfd, 2> fds{pollfd{fd, POLLIN, 0}, pollfd{stopFd, POLLIN, 0}};
    while (true) {
        const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
        if (ready == -1 && errno == EINTR) {
            continue;
        }
        return ready > 0 && fds[1].revents == 0;
    }
}

}  // namespace

FakeCamera::FakeCamera(std::vector<Step> script) : script_(std::move(script)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the socket API's own cast
    auto* generic = reinterpret_cast<sockaddr*>(&address);
    socklen_t length = sizeof address;
    if (::bind(listenFd_, generic, length) != 0 || ::listen(listenFd_, 4) != 0 ||
        ::getsockname(listenFd_, generic, &length) != 0 || ::pipe(stopPipe_) != 0) {
        throw std::runtime_error("fake camera cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { play(); });
}

FakeCamera::~FakeCamera() {
    const char stop = 1;
    (void)!::write(stopPipe_[1], &stop, 1);
    thread_.join();
    ::close(listenFd_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
}

void FakeCamera::play() {
    int fd = -1;
    if (waitReadable(listenFd_, stopPipe_[0])) {
        fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (fd >= 0) {
        bool keepOpen = true;
        for (const Step& step : script_) {
            if (!runStep(fd, step)) {
                keepOpen = false;
                break;
            }
        }
        // After the script the camera falls silent but keeps the connection, recording whatever
        // the client still sends, until the client closes or the test ends.
        std::array<std::uint8_t, 4096> buffer{};
        while (keepOpen && waitReadable(fd, stopPipe_[0])) {
            const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (got <= 0) {
                break;
            }
            const std::lock_guard lock(mutex_);
            received_.insert(received_.end(), buffer.begin(), buffer.begin() + got);
            changed_.notify_all();
        }
        ::close(fd);
    }
    const std::lock_guard lock(mutex_);
    finished_ = true;
    changed_.notify_all();
}

bool FakeCamera::runStep(int fd, const Step& step) {
    const auto sendAll = [&](const Bytes& bytes) {
        std::size_t at = 0;
        while (at < bytes.size()) {
            const ssize_t sent = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (sent <= 0) {
                return false;
            }
            at += static_cast<std::size_t>(sent);
        }
        return true;
    };
    const auto pause = [&](std::chrono::milliseconds duration) {
        // A pause ends early only when the camera is torn down.
        std::array<pollfd, 1> fds{pollfd{stopPipe_[0], POLLIN, 0}};
        return ::poll(fds.data(), 1, static_cast<int>(duration.count())) == 0;
    };
    if (const auto* expect = std::get_if<Expect>(&step)) {
        std::size_t have = 0;
        std::array<std::uint8_t, 4096> buffer{};
        while (have < expect->count) {
            if (!waitReadable(fd, stopPipe_[0])) {
                return false;
            }
            const std::size_t want = std::min(buffer.size(), expect->count - have);
            const ssize_t got = ::recv(fd, buffer.data(), want, 0);
            if (got <= 0) {
                return false;
            }
            have += static_cast<std::size_t>(got);
            const std::lock_guard lock(mutex_);
            received_.insert(received_.end(), buffer.begin(), buffer.begin() + got);
            changed_.notify_all();
        }
        return true;
    }
    if (const auto* send = std::get_if<Send>(&step)) {
        return sendAll(send->bytes);
    }
    if (const auto* split = std::get_if<SendSplit>(&step)) {
        for (std::size_t at = 0; at < split->bytes.size(); at += split->piece) {
            const auto end = split->bytes.begin() +
                             static_cast<long>(std::min(split->bytes.size(), at + split->piece));
            if (!sendAll(Bytes(split->bytes.begin() + static_cast<long>(at), end))) {
                return false;
            }
            if (split->pause.count() > 0 && !pause(split->pause)) {
                return false;
            }
        }
        return true;
    }
    if (const auto* wait = std::get_if<Pause>(&step)) {
        return pause(wait->duration);
    }
    if (std::holds_alternative<Close>(step)) {
        return false;
    }
    if (const auto* forever = std::get_if<SendForever>(&step)) {
        while (sendAll(forever->bytes)) {
            if (forever->pause.count() > 0 && !pause(forever->pause)) {
                return false;
            }
            // Take what the client sends meanwhile, so its requests are recorded.
            std::array<std::uint8_t, 4096> buffer{};
            const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got == 0) {
                return false;
            }
            if (got > 0) {
                const std::lock_guard lock(mutex_);
                received_.insert(received_.end(), buffer.begin(), buffer.begin() + got);
            }
        }
        return false;
    }
    return false;
}

Bytes FakeCamera::received() const {
    const std::lock_guard lock(mutex_);
    return received_;
}

Bytes FakeCamera::waitForReceived(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return received_.size() >= count || finished_; });
    return received_;
}

bool FakeCamera::waitFinished(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return finished_; });
}

Bytes logonReply(std::uint8_t result, std::uint32_t streamId, std::uint32_t maxBrightness) {
    protocol::LogonReplyContent content;
    content.result = result;
    content.streamId = streamId;
    content.maxBrightness = maxBrightness;
    content.streams = {{160, 120, 0, 0}, {320, 240, 0, 0}, {640, 480, 0, 0}};
    const auto reply = protocol::buildLogonReply(content);
    return {reply.begin(), reply.end()};
}

Bytes commandReply(std::uint8_t result, std::uint8_t sequence) {
    const auto reply = protocol::buildCommandReply(result, sequence);
    return {reply.begin(), reply.end()};
}

std::vector<Step> afterLogon(std::vector<Step> then) {
    std::vector<Step> script{Expect{protocol::kLogonSize}, Send{logonReply(protocol::Ack)}};
    script.insert(script.end(), then.begin(), then.end());
    return script;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

}  // namespace kestrel::testing
