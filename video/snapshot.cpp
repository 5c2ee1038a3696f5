#include "video/snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
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

// The process's umask, read without setting it: other threads (Qt's among them) may be creating
// files at the same moment. 022 when the system does not tell.
mode_t currentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
        }
    }
    return 022;
}

}  // namespace

SnapshotResult saveSnapshot(const std::filesystem::path& path,
                            std::span<const std::uint8_t> image) {
    // A link to a file is followed: that file is replaced and the link stays.
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
