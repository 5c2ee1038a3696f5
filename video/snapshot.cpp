#include "video/snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
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

mode_t currentUmask() {
    // The only way to read it is to set it; the window's thread is the only one writing files.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

}  // namespace

SnapshotResult saveSnapshot(const std::filesystem::path& path,
                            std::span<const std::uint8_t> image) {
    // A link is followed: the file it names is replaced, the link stays.
    std::error_code error;
    std::filesystem::path target = std::filesystem::weakly_canonical(path, error);
    if (error) {
        target = path;
    }
    // The file keeps the permissions of the one it replaces; a new one gets the usual ones.
    std::optional<mode_t> keptMode;
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode) || ::access(target.c_str(), W_OK) != 0) {
            return SnapshotResult::CannotCreate;
        }
        keptMode = existing.st_mode & 07777;
    }

    // A short name beside the target, whatever the length of the target's own name.
    std::string temporary = (target.parent_path() / ".kestrel-snapshot-XXXXXX").string();
    File file(::mkstemp(temporary.data()));
    if (!file.isOpen()) {
        return SnapshotResult::CannotCreate;
    }
    const bool written = ::fchmod(file.fd(), keptMode.value_or(0666 & ~currentUmask())) == 0 &&
                         writeAll(file.fd(), image) && ::fsync(file.fd()) == 0 && file.close() &&
                         ::rename(temporary.c_str(), target.c_str()) == 0;
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
