#include "settings/registry_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace kestrel::settings {

namespace {

constexpr std::string_view kRoot = "HKEY_CURRENT_USER";
// Far above any real settings file; guards against reading something huge by mistake.
constexpr std::size_t kMaxFileSize = std::size_t{16} * 1024 * 1024;
constexpr std::uint32_t kTypeString = static_cast<std::uint32_t>(ValueType::String);

class UniqueFd {
public:
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    [[nodiscard]] int get() const noexcept { return fd_; }
    // Closes now, because some file systems report a failed write only at close.
    bool close() noexcept { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_;
};

// Removes the temporary file unless it was renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    void release() noexcept { path_.clear(); }

private:
    std::string path_;
};

enum class ReadStatus { Ok, Absent, Unreadable };

struct ReadResult {
    ReadStatus status;
    std::string text;
};

ReadResult readWholeFile(const std::filesystem::path& file) {
    // O_NONBLOCK so that a FIFO in the file's place cannot hang the app; it is refused below.
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        // ENOTDIR: part of the folder is a file, so there is no settings file either; creating
        // one then fails and says so.
        const bool absent = errno == ENOENT || errno == ENOTDIR;
        return {absent ? ReadStatus::Absent : ReadStatus::Unreadable, {}};
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uintmax_t>(info.st_size) > kMaxFileSize) {
        return {ReadStatus::Unreadable, {}};
    }
    std::string text;
    char buffer[4096];
    while (true) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got == 0) {
            return {ReadStatus::Ok, std::move(text)};
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return {ReadStatus::Unreadable, {}};
        }
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > kMaxFileSize) {
            return {ReadStatus::Unreadable, {}};
        }
    }
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t put = ::write(fd, text.data(), text.size());
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;  // a write that takes nothing would never finish
        }
        text.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

// Creates the folder and any missing parents, each 0700 as the XDG base directory rules ask.
bool ensureDirectory(const std::filesystem::path& dir) {
    if (dir.empty() || ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) {
        return true;
    }
    if (errno != ENOENT) {
        return false;
    }
    const std::filesystem::path parent = dir.parent_path();
    if (parent == dir || !ensureDirectory(parent)) {
        return false;
    }
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// Makes the rename durable. Failure is ignored: the new file's data is already on disk, and a
// rename lost in a crash leaves the previous complete file.
void syncDirectory(const std::filesystem::path& dir) {
    const UniqueFd fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) {
        ::fsync(fd.get());
    }
}

}  // namespace

RegistryStore::RegistryStore(std::filesystem::path file) : file_(std::move(file)) {}

RegistryStore::~RegistryStore() {
    closeKey();
}

bool RegistryStore::openKey(std::string_view path, IfUnreadable ifUnreadable, IfAbsent ifAbsent) {
    closeKey();
    if (path.starts_with('\\')) {
        path.remove_prefix(1);
    }
    std::string keyPath = std::string(kRoot) + '\\' + std::string(path);
    if (path.empty() || !RegDocument::isValidKeyPath(keyPath)) {
        return false;
    }

    ReadResult read = readWholeFile(file_);
    std::optional<RegDocument> document;
    if (read.status == ReadStatus::Absent) {
        document.emplace();
    } else if (read.status == ReadStatus::Ok) {
        document = RegDocument::parse(read.text);
    }
    bool setAside = false;
    if (!document) {
        if (ifUnreadable == IfUnreadable::Fail) {
            return false;
        }
        document.emplace();
        setAside = true;
    }
    // A created key exists at once, as in the registry, so a folder or file that cannot be
    // written shows here rather than at the end of a save.
    if (!document->hasKey(keyPath)) {
        if (ifAbsent == IfAbsent::Fail) {
            return false;
        }
        document->addKey(keyPath);
        if (!writeFile(*document, setAside)) {
            return false;
        }
    }
    open_.emplace(OpenKey{std::move(keyPath), std::move(*document)});
    return true;
}

const RegValue* RegistryStore::find(std::string_view name) const {
    return open_ ? open_->document.findValue(open_->keyPath, name) : nullptr;
}

std::optional<ValueInfo> RegistryStore::queryValue(std::string_view name) const {
    const RegValue* value = find(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return ValueInfo{value->type, value->data.size()};
}

std::optional<std::vector<std::uint8_t>> RegistryStore::readValue(std::string_view name,
                                                                  std::size_t size) const {
    const RegValue* value = find(name);
    if (value == nullptr || value->data.size() != size) {
        return std::nullopt;
    }
    return value->data;
}

bool RegistryStore::writeString(std::string_view name, std::string_view text) {
    if (!open_) {
        return false;
    }
    RegValue value{.type = kTypeString, .data = {text.begin(), text.end()}};
    value.data.push_back(0);
    if (!open_->document.setValue(open_->keyPath, name, std::move(value))) {
        return false;
    }
    open_->dirty = true;
    return true;
}

bool RegistryStore::closeKey() noexcept {
    if (!open_) {
        return true;
    }
    bool written = true;
    if (open_->dirty) {
        try {
            written = writeFile(open_->document, false);
        } catch (...) {
            written = false;  // out of memory building the text; the old file is untouched
        }
    }
    open_.reset();
    return written;
}

bool RegistryStore::writeFile(const RegDocument& document, bool setAsideUnreadable) const {
    const std::string text = document.serialize();
    if (!ensureDirectory(file_.parent_path())) {
        return false;
    }
    // A settings file that is a link (kept with other dotfiles, say) stays one: the file it
    // names is replaced.
    std::error_code error;
    std::filesystem::path target = std::filesystem::weakly_canonical(file_, error);
    if (error) {
        target = file_;
    }
    const std::filesystem::path folder = target.parent_path();
    std::string temporaryName = (folder / ".Kestrel.reg.XXXXXX").string();
    UniqueFd fd(::mkostemp(temporaryName.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        return false;
    }
    TemporaryFile temporary(std::move(temporaryName));
    // 0600 whatever the umask: the password is stored as plain text.
    if (::fchmod(fd.get(), 0600) != 0 || !writeAll(fd.get(), text) || ::fsync(fd.get()) != 0 ||
        !fd.close()) {
        return false;
    }
    if (setAsideUnreadable) {
        // Should the next rename fail, the settings file is missing until the next save; its
        // unreadable content is still in the .bad file.
        std::filesystem::path bad = target;
        bad += ".bad";
        if (::rename(target.c_str(), bad.c_str()) != 0 && errno != ENOENT) {
            return false;
        }
    }
    if (::rename(temporary.path().c_str(), target.c_str()) != 0) {
        return false;
    }
    temporary.release();
    syncDirectory(folder);
    return true;
}

}  // namespace kestrel::settings
