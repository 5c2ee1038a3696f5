#pragma once
// The command line of kestrel-cli: connection options and the commands to run, in order.
// Everything the camera does not decide is checked here, before any connection is made.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kestrel::cli {

struct MoveCommand {
    std::uint8_t direction = 0;  // 0 up, 2 down, 4 left, 6 right: the window's button tags
};
struct LightCommand {
    bool on = false;
};
struct BrightnessCommand {
    std::int64_t value = 0;  // checked against the camera's maximum once logged on
};
struct SizeCommand {
    std::uint8_t sizeCode = 0;  // 0 160x120, 1 320x240, 2 640x480
};
struct ResetCommand {};
struct SnapshotCommand {
    std::filesystem::path file;
};
// Exactly one of the two limits is set.
struct RecordCommand {
    std::filesystem::path folder;
    std::uint64_t frames = 0;
    std::chrono::milliseconds duration{0};
};
struct StatsCommand {
    std::chrono::milliseconds duration{0};
};

using Command = std::variant<MoveCommand, LightCommand, BrightnessCommand, SizeCommand,
                             ResetCommand, SnapshotCommand, RecordCommand, StatsCommand>;

struct Invocation {
    // Options not given fall back to the stored settings.
    std::optional<std::string> address;
    std::optional<std::string> port;
    std::optional<std::string> user;
    std::optional<std::filesystem::path> passwordFile;
    bool verbose = false;
    bool help = false;
    std::vector<Command> commands;
};

// Either the invocation or what is wrong with the command line.
struct ParsedArguments {
    Invocation invocation;
    std::string usageError;  // empty when the command line is good
};

// `args` are the words after the program name.
ParsedArguments parseArguments(std::span<const std::string> args);

inline constexpr std::string_view kProgramName = "kestrel-cli";

// The one-line synopsis shown with a usage error.
std::string_view usageLine();
// The full manual shown by --help.
std::string_view helpText();

}  // namespace kestrel::cli
