#include "tools/cli/cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <variant>

#include "settings/connection_settings.h"
#include "settings/registry_store.h"
#include "tools/cli/options.h"
#include "tools/cli/session.h"

namespace kestrel::cli {

namespace {

// What the window's edits hold before its settings are loaded.
settings::ConnectionTexts defaultTexts() {
    return {"", "admin", "lanterns", "1600"};
}

// A password is one line; anything longer than this is not a password file.
constexpr std::size_t kMaxPasswordFile = std::size_t{64} * 1024;

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    [[nodiscard]] int get() const { return fd_; }

private:
    int fd_;
};

struct PasswordRead {
    std::string password;
    std::string failure;
};

// The first line of the file without its line end. A pipe works too (say, <(pass show cam)).
PasswordRead readPasswordFile(const std::filesystem::path& file) {
    const auto failed = [&](int error) {
        return PasswordRead{
            {},
            "Cannot read the password file " + file.string() + ": " + std::strerror(error) + "."};
    };
    const Descriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return failed(errno);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return failed(errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return failed(EISDIR);
    }
    std::string text;
    std::array<char, 512> chunk{};
    while (text.find('\n') == std::string::npos && text.size() < kMaxPasswordFile) {
        const ssize_t got = ::read(fd.get(), chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return failed(errno);
        }
        if (got == 0) {
            break;
        }
        text.append(chunk.data(), static_cast<std::size_t>(got));
    }
    if (text.find('\n') == std::string::npos && text.size() >= kMaxPasswordFile) {
        return failed(EFBIG);  // no line of a sensible length: not a password file
    }
    text = text.substr(0, text.find('\n'));
    if (text.ends_with('\r')) {
        text.pop_back();
    }
    return {std::move(text), {}};
}

int run(const Invocation& invocation, const Reporter& reporter) {
    // The stored texts, read without creating or changing anything.
    settings::ConnectionTexts texts = defaultTexts();
    {
        settings::RegistryStore store;
        settings::loadSettings(texts, store, settings::IfAbsent::Fail);
    }
    if (invocation.address) {
        texts.address = *invocation.address;
    }
    if (invocation.port) {
        texts.port = *invocation.port;
    }
    if (invocation.user) {
        texts.user = *invocation.user;
    }
    if (invocation.passwordFile) {
        PasswordRead read = readPasswordFile(*invocation.passwordFile);
        if (!read.failure.empty()) {
            reporter.message(read.failure);
            return kExitFailure;
        }
        texts.password = std::move(read.password);
    }

    CameraSession session(reporter);
    if (const std::string failure =
            session.logOn({texts.address, texts.port, texts.user, texts.password});
        !failure.empty()) {
        reporter.message(failure);
        return kExitFailure;
    }
    // Every value is checked before the first command runs, so a bad one sends nothing at all.
    const std::int64_t maximum = session.brightnessMaximum();
    for (const Command& command : invocation.commands) {
        if (const auto* brightness = std::get_if<BrightnessCommand>(&command);
            brightness != nullptr && (brightness->value < 0 || brightness->value > maximum)) {
            reporter.message("Brightness " + std::to_string(brightness->value) +
                             " is out of range: this camera takes 0 to " + std::to_string(maximum) +
                             ".");
            return kExitFailure;
        }
    }
    for (const Command& command : invocation.commands) {
        StepResult result;
        if (reporter.stopRequested()) {
            result.interrupted = true;
        } else {
            result = session.run(command);
        }
        if (!result.failure.empty()) {
            reporter.message(result.failure);
            return kExitFailure;
        }
        if (result.interrupted) {
            reporter.message("Interrupted.");
            return kExitInterrupted;
        }
    }
    session.disconnect();
    return kExitSuccess;
}

}  // namespace

int runCli(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
    return runCli(args, out, err, CliEnvironment{});
}

int runCli(std::span<const std::string> args, std::ostream& out, std::ostream& err,
           const CliEnvironment& environment) {
    const ParsedArguments parsed = parseArguments(args);
    const Invocation& invocation = parsed.invocation;
    const Reporter reporter{out, err, invocation.verbose, environment.progress,
                            environment.interrupted};
    if (!parsed.usageError.empty()) {
        reporter.message(parsed.usageError);
        err << usageLine() << "\nTry '" << kProgramName << " --help' for more.\n";
        return kExitUsage;
    }
    if (invocation.help) {
        out << helpText();
        return kExitSuccess;
    }
    try {
        return run(invocation, reporter);
    } catch (const std::exception& error) {
        // Only running out of memory or the like gets here; the camera's doing never throws.
        reporter.message(error.what());
        return kExitFailure;
    }
}

}  // namespace kestrel::cli
