#pragma once
// Puts each frame's data behind a patched copy of the JPEG header and, when the frame is complete,
// publishes it as the last complete frame: a whole JPEG image.

#include <array>
#include <cstdint>
#include <span>

namespace kestrel::video {

using Byte = std::uint8_t;

inline constexpr std::size_t kFrameBufferSize = 100000;

struct FrameBuffers {
    std::array<Byte, kFrameBufferSize> frameBuf{};  // the frame in assembly
    std::int32_t frameLen = 0;
    std::array<Byte, kFrameBufferSize> imageBuf{};  // the last published frame
    std::int32_t imageLen = 0;
    // Set when the frame in assembly has been given up (too large, or a packet of it was passed
    // over); its remaining packets are ignored until the next FirstPacket.
    bool frameDropped = false;

    [[nodiscard]] std::span<const Byte> image() const {
        return std::span(imageBuf).first(static_cast<std::size_t>(imageLen));
    }

    // A new stream: assembly starts from an empty frame. The last published frame stays.
    void restartFrame() {
        frameLen = 0;
        frameDropped = false;
    }
    // The frame in assembly cannot be completed.
    void dropFrame() {
        frameLen = 0;
        frameDropped = true;
    }
};

enum class AssemblyResult { Assembling, Published, Withheld };

// Takes one whole packet (its Length bytes). FirstPacket starts a frame with the patched header,
// MiddlePacket appends, LastPacket appends and publishes unless `holdPublication` is set (then the
// complete frame is Withheld). Packets of other Kinds, and frame packets shorter than their
// header, are passed over. A frame that would not fit is dropped, never published.
AssemblyResult assemblePacket(FrameBuffers& buffers, std::span<const Byte> packet,
                              bool holdPublication);

}  // namespace kestrel::video
