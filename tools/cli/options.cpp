#include "tools/cli/options.h"

#include <array>
#include <charconv>
#include <cmath>
#include <utility>

namespace kestrel::cli {

namespace {

constexpr std::string_view kUsageLine =
    "Usage: kestrel-cli [--address A] [--port P] [--user U] [--password-file F] [--verbose] "
    "COMMAND...";

constexpr std::string_view kHelpText = R"(NAME
    kestrel-cli - drive a Kestrel pan/tilt network camera from a shell

SYNOPSIS
    kestrel-cli [--address A] [--port P] [--user U] [--password-file F]
                [--verbose] COMMAND...
    kestrel-cli --help

DESCRIPTION
    Connects to the camera, logs on once and runs the COMMANDs in the order
    given, all on that one connection, sending exactly what the Kestrel window
    sends for the same controls. The first command that fails ends the run.

    Address, port, user and password that are not given come from the
    settings the window stored last; the settings file is only read, never
    created or changed. Without stored settings the defaults are port 1600,
    user admin and password lanterns, and no address.

    The stream commands (snapshot, record, stats) start the stream, read it
    as fast as the camera sends, then stop it and drain what is still on its
    way before the next command runs.

COMMANDS
    move up|down|left|right
        Turns the camera one step.
    light on|off
        Switches the status light. Its reply is not read.
    brightness N
        Sets the brightness, from 0 to the maximum the camera announced at
        logon. A value outside that range is refused before anything is sent.
    size 160x120|320x240|640x480
        Selects the stream size. Its reply is not read.
    reset
        Restores the camera's defaults.
    snapshot FILE
        Saves the first complete frame to FILE, byte for byte as received.
    record DIR --frames N
    record DIR --seconds S
        Saves each complete frame as DIR/frame-000001.jpg, frame-000002.jpg,
        and so on, for N frames or S seconds. DIR is created if absent; files
        of the same names already there are replaced.
    stats --seconds S
        Watches the stream for S seconds and prints frames and bytes per
        second, frame sizes (min/avg/max), decode time per frame (avg/max)
        and the number of frames that failed to decode.

OPTIONS
    --address A        camera IPv4 address
    --port P           camera TCP port
    --user U           user name
    --password-file F  file whose first line is the password; the password is
                       never taken from the command line
    --verbose          log each request and reply on standard error
    --help             show this text

EXIT STATUS
    0    every command succeeded
    1    a command failed; the reason is on standard error
    2    the command line was not understood
    130  interrupted (Ctrl-C); the stream was stopped first

EXAMPLES
    kestrel-cli --address 192.168.0.90 move left move left snapshot left.jpg
    kestrel-cli --password-file ~/.kestrel-pass size 640x480 stats --seconds 10
)";

// Longest stream command accepted: a typo in S should not mean a week of recording.
constexpr double kMaxSeconds = 24.0 * 60.0 * 60.0;
constexpr std::uint64_t kMaxFrames = 1'000'000'000;

struct SizeName {
    std::string_view name;
    std::uint8_t code;
};
constexpr std::array<SizeName, 3> kSizes{{{"160x120", 0}, {"320x240", 1}, {"640x480", 2}}};

struct DirectionName {
    std::string_view name;
    std::uint8_t code;
};
constexpr std::array<DirectionName, 4> kDirections{
    {{"up", 0}, {"down", 2}, {"left", 4}, {"right", 6}}};

template <typename Number>
std::optional<Number> parseInteger(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// Seconds as a plain decimal number, above zero and at most a day; whole milliseconds.
std::optional<std::chrono::milliseconds> parseSeconds(std::string_view text) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string_view::npos) {
        return std::nullopt;
    }
    double seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc{} || end != text.data() + text.size() || !(seconds <= kMaxSeconds)) {
        return std::nullopt;
    }
    const auto ms = std::chrono::milliseconds(std::llround(seconds * 1000.0));
    if (ms.count() <= 0) {
        return std::nullopt;
    }
    return ms;
}

class Parser {
public:
    explicit Parser(std::span<const std::string> args) : args_(args) {}

    ParsedArguments run() {
        ParsedArguments parsed;
        while (at_ < args_.size() && error_.empty()) {
            const std::string_view word = args_[at_++];
            if (word.starts_with("--")) {
                option(word, parsed.invocation);
            } else {
                command(word, parsed.invocation);
            }
        }
        if (error_.empty() && !parsed.invocation.help && parsed.invocation.commands.empty()) {
            error_ = "no command given";
        }
        parsed.usageError = std::move(error_);
        return parsed;
    }

private:
    // The next word, or an error naming what it was wanted for.
    std::optional<std::string_view> operand(std::string_view forWhat) {
        if (at_ >= args_.size()) {
            error_ = std::string(forWhat) + " is missing";
            return std::nullopt;
        }
        return args_[at_++];
    }

    // "--name value" or "--name=value"; `word` is the option as typed.
    std::optional<std::string_view> optionValue(std::string_view word,
                                                std::optional<std::string_view> inlineValue) {
        if (inlineValue) {
            return inlineValue;
        }
        return operand("the value of " + std::string(word));
    }

    void option(std::string_view word, Invocation& invocation) {
        std::optional<std::string_view> inlineValue;
        std::string_view name = word;
        if (const auto equals = word.find('='); equals != std::string_view::npos) {
            name = word.substr(0, equals);
            inlineValue = word.substr(equals + 1);
        }
        const bool flag = name == "--help" || name == "--verbose";
        if (flag && inlineValue) {
            error_ = std::string(name) + " takes no value";
            return;
        }
        if (name == "--help") {
            invocation.help = true;
            return;
        }
        if (name == "--verbose") {
            invocation.verbose = true;
            return;
        }
        if (name == "--password") {
            error_ =
                "the password is not taken from the command line (others could see it); "
                "use --password-file F";
            return;
        }
        std::optional<std::string>* text = nullptr;
        if (name == "--address") {
            text = &invocation.address;
        } else if (name == "--port") {
            text = &invocation.port;
        } else if (name == "--user") {
            text = &invocation.user;
        } else if (name != "--password-file") {
            error_ = "unknown option " + std::string(name);
            return;
        }
        const auto value = optionValue(name, inlineValue);
        if (!value) {
            return;
        }
        if (name == "--password-file") {
            invocation.passwordFile = std::filesystem::path(*value);
            return;
        }
        if (name == "--port") {
            const auto port = parseInteger<unsigned>(*value);
            if (!port || *port < 1 || *port > 65535) {
                error_ = "--port takes a number from 1 to 65535";
                return;
            }
        }
        *text = std::string(*value);
    }

    void command(std::string_view word, Invocation& invocation) {
        if (word == "move") {
            const auto which = operand("the direction of move");
            if (!which) {
                return;
            }
            for (const auto& direction : kDirections) {
                if (*which == direction.name) {
                    invocation.commands.emplace_back(MoveCommand{direction.code});
                    return;
                }
            }
            error_ = "move takes up, down, left or right";
        } else if (word == "light") {
            const auto state = operand("on or off after light");
            if (!state) {
                return;
            }
            if (*state != "on" && *state != "off") {
                error_ = "light takes on or off";
                return;
            }
            invocation.commands.emplace_back(LightCommand{*state == "on"});
        } else if (word == "brightness") {
            const auto text = operand("the value of brightness");
            if (!text) {
                return;
            }
            const auto value = parseInteger<std::int64_t>(*text);
            if (!value) {
                error_ = "brightness takes a whole number";
                return;
            }
            invocation.commands.emplace_back(BrightnessCommand{*value});
        } else if (word == "size") {
            const auto text = operand("the size after size");
            if (!text) {
                return;
            }
            for (const auto& size : kSizes) {
                if (*text == size.name) {
                    invocation.commands.emplace_back(SizeCommand{size.code});
                    return;
                }
            }
            error_ = "size takes 160x120, 320x240 or 640x480";
        } else if (word == "reset") {
            invocation.commands.emplace_back(ResetCommand{});
        } else if (word == "snapshot") {
            const auto file = operand("the FILE of snapshot");
            if (file) {
                invocation.commands.emplace_back(SnapshotCommand{std::filesystem::path(*file)});
            }
        } else if (word == "record") {
            record(invocation);
        } else if (word == "stats") {
            const auto duration = limit("stats");
            if (!duration) {
                return;
            }
            if (duration->frames > 0) {
                error_ = "stats takes --seconds S";
                return;
            }
            invocation.commands.emplace_back(StatsCommand{duration->duration});
        } else {
            error_ = "unknown command " + std::string(word);
        }
    }

    struct Limit {
        std::uint64_t frames = 0;
        std::chrono::milliseconds duration{0};
    };

    // The "--frames N" or "--seconds S" that must follow a stream command.
    std::optional<Limit> limit(std::string_view commandName) {
        const std::string missing =
            std::string(commandName) +
            (commandName == "stats" ? " needs --seconds S" : " needs --frames N or --seconds S");
        if (at_ >= args_.size()) {
            error_ = missing;
            return std::nullopt;
        }
        const std::string_view word = args_[at_];
        std::string_view name = word;
        std::optional<std::string_view> inlineValue;
        if (const auto equals = word.find('='); equals != std::string_view::npos) {
            name = word.substr(0, equals);
            inlineValue = word.substr(equals + 1);
        }
        if (name != "--frames" && name != "--seconds") {
            error_ = missing;
            return std::nullopt;
        }
        ++at_;
        const auto value = optionValue(name, inlineValue);
        if (!value) {
            return std::nullopt;
        }
        Limit result;
        if (name == "--frames") {
            const auto frames = parseInteger<std::uint64_t>(*value);
            if (!frames || *frames < 1 || *frames > kMaxFrames) {
                error_ = "--frames takes a whole number from 1";
                return std::nullopt;
            }
            result.frames = *frames;
        } else {
            const auto duration = parseSeconds(*value);
            if (!duration) {
                error_ = "--seconds takes a number of seconds above 0, at most 86400";
                return std::nullopt;
            }
            result.duration = *duration;
        }
        return result;
    }

    void record(Invocation& invocation) {
        const auto folder = operand("the DIR of record");
        if (!folder) {
            return;
        }
        const auto how = limit("record");
        if (!how) {
            return;
        }
        invocation.commands.emplace_back(
            RecordCommand{std::filesystem::path(*folder), how->frames, how->duration});
    }

    std::span<const std::string> args_;
    std::size_t at_ = 0;
    std::string error_;
};

}  // namespace

ParsedArguments parseArguments(std::span<const std::string> args) {
    return Parser(args).run();
}

std::string_view usageLine() {
    return kUsageLine;
}

std::string_view helpText() {
    return kHelpText;
}

}  // namespace kestrel::cli
