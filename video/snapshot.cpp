#include "video/snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace kestrel::video {

namespace {

// A descriptor closed on every way out.
class File {
public:
    explicit File(int fd) : fd_(fd) {}
    ~File() { close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    [[nodiscard]] int fd() const { return fd_; }
    [[nodiscard]] bool isOpen() const { return fd_ >= 0; }
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

SnapshotResult saveSnapshot(const std::filesystem::path& path,
                            std::span<const std::uint8_t> image) {
    // The file keeps the permissions of the one it replaces; a new one gets the usual ones.
    mode_t mode = 0666;
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode) || ::access(path.c_str(), W_OK) != 0) {
            return SnapshotResult::CannotCreate;
        }
        mode = existing.st_mode & 07777;
    }

    std::string temporary = path.string() + ".XXXXXX";
    File file(::mkstemp(temporary.data()));
    if (!file.isOpen()) {
        return SnapshotResult::CannotCreate;
    }
    const mode_t umask = ::umask(0);
    ::umask(umask);
    const bool written = ::fchmod(file.fd(), mode & ~umask) == 0 && writeAll(file.fd(), image) &&
                         ::fsync(file.fd()) == 0 && file.close() &&
                         ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!written) {
        ::unlink(temporary.c_str());
        return SnapshotResult::CannotWrite;
    }
    return SnapshotResult::Saved;
}

std::string_view snapshotMessage(SnapshotResult result) {
    switch (result) {
        case SnapshotResult::CannotCreate:
            return kFailedToCreateSnapshot;
        case SnapshotResult::CannotWrite:
            return kFailedToWriteSnapshot;
        case SnapshotResult::Saved:
            break;
    }
    return {};
}

}  // namespace kestrel::video
