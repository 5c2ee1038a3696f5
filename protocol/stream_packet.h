#pragma once
// The video packets the camera sends once a stream runs: a FirstPacket, MiddlePackets and a
// LastPacket per frame. They share only the Length field and the byte at offset 2 with replies.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrel::protocol {

enum class PacketKind : std::uint8_t {
    FirstPacket = 0,
    MiddlePacket = 1,
    LastPacket = 2,
};

// Offset of the Data field: the header size of each frame packet.
inline constexpr std::size_t kFirstPacketHeaderSize = 26;
inline constexpr std::size_t kOtherPacketHeaderSize = 8;
inline constexpr std::size_t kPacketHeightOffset = 22;
inline constexpr std::size_t kPacketWidthOffset = 24;
// The client holds one packet at a time in a 4096-byte buffer.
inline constexpr std::size_t kMaxPacketSize = 4096;
// A Length below 3 still takes the Kind byte.
inline constexpr std::size_t kMinPacketSize = 3;

// The packet's Length as the client takes it: big-endian, below 3 counted as 3.
constexpr std::size_t packetLength(std::uint8_t high, std::uint8_t low) {
    const std::size_t length = (std::size_t{high} << 8) | low;
    return length < kMinPacketSize ? kMinPacketSize : length;
}

// Header size of a frame packet of the given Kind byte; empty for any other Kind.
std::optional<std::size_t> frameHeaderSize(std::uint8_t kind);

// ---- The camera's side: splitting one frame's data into packets.

struct FramePacketLayout {
    std::uint16_t height = 0;
    std::uint16_t width = 0;
    std::size_t maxPacketSize = kMaxPacketSize;  // no packet is longer
};

// The packets of one frame, back to back: a FirstPacket with height and width, MiddlePackets and
// a LastPacket, each as long as allowed.
std::vector<std::uint8_t> packetiseFrame(std::span<const std::uint8_t> frameData,
                                         const FramePacketLayout& layout);

}  // namespace kestrel::protocol
