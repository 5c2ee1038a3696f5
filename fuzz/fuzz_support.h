#pragma once
// What the fuzz targets share: a socket pair standing in for the camera's connection, so that
// the real reading code runs on the bytes the fuzzer makes up.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <span>

#include "connection/socket.h"

namespace kestrel::fuzz {

class CameraPipe {
public:
    CameraPipe() {
        int ends[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0) {
            client = connection::Socket::adopt(ends[0]);
            client.setNonBlocking();
            camera_ = ends[1];
        }
    }
    ~CameraPipe() { closeCamera(); }
    CameraPipe(const CameraPipe&) = delete;
    CameraPipe& operator=(const CameraPipe&) = delete;

    // What the camera sends; returns false when the pipe is full.
    bool send(std::span<const std::uint8_t> bytes) const {
        while (!bytes.empty()) {
            const ssize_t sent =
                ::send(camera_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent <= 0) {
                return false;
            }
            bytes = bytes.subspan(static_cast<std::size_t>(sent));
        }
        return true;
    }
    // The camera hangs up: readers then see the end at once instead of waiting.
    void closeCamera() {
        if (camera_ >= 0) {
            ::close(camera_);
            camera_ = -1;
        }
    }

    connection::Socket client;

private:
    int camera_ = -1;
};

}  // namespace kestrel::fuzz
