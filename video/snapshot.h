#pragma once
// Saving the last published frame to a file, byte for byte: nothing is decoded or re-encoded.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

namespace kestrel::video {

enum class SnapshotResult { Saved, CannotCreate, CannotWrite };

inline constexpr std::string_view kFailedToCreateSnapshot = "Failed to create the file for saving.";
inline constexpr std::string_view kFailedToWriteSnapshot = "Failed to write the file for saving.";

// Writes `image` to `path`. The bytes go to a new file beside it, which then replaces the target
// in one step, so an existing file is never left cut short: a failed or short write leaves it as
// it was. A target that exists but may not be written, or a folder where no file can be created,
// is CannotCreate; a write, flush or replace that fails is CannotWrite.
SnapshotResult saveSnapshot(const std::filesystem::path& path, std::span<const std::uint8_t> image);

// The message for a result that is not Saved.
std::string_view snapshotMessage(SnapshotResult result);

}  // namespace kestrel::video
