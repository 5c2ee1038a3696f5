#include "protocol/stream_packet.h"

#include <algorithm>

#include "protocol/bytes.h"

namespace kestrel::protocol {

std::optional<std::size_t> frameHeaderSize(std::uint8_t kind) {
    switch (static_cast<PacketKind>(kind)) {
        case PacketKind::FirstPacket:
            return kFirstPacketHeaderSize;
        case PacketKind::MiddlePacket:
        case PacketKind::LastPacket:
            return kOtherPacketHeaderSize;
    }
    return std::nullopt;
}

std::vector<std::uint8_t> packetiseFrame(std::span<const std::uint8_t> frameData,
                                         const FramePacketLayout& layout) {
    std::vector<std::uint8_t> out;
    out.reserve(frameData.size() + 64 + frameData.size() / 128);
    const auto append = [&](PacketKind kind, std::size_t headerSize) {
        const std::size_t room = layout.maxPacketSize - headerSize;
        const std::size_t take = std::min(room, frameData.size());
        const std::size_t start = out.size();
        out.resize(start + headerSize);
        const std::span<std::uint8_t> packetHeader(out.data() + start, headerSize);
        putU16(packetHeader, 0, static_cast<std::uint16_t>(headerSize + take));
        packetHeader[2] = static_cast<std::uint8_t>(kind);
        if (kind == PacketKind::FirstPacket) {
            putU16(packetHeader, kPacketHeightOffset, layout.height);
            putU16(packetHeader, kPacketWidthOffset, layout.width);
        }
        out.insert(out.end(), frameData.begin(), frameData.begin() + static_cast<long>(take));
        frameData = frameData.subspan(take);
    };
    append(PacketKind::FirstPacket, kFirstPacketHeaderSize);
    while (frameData.size() > layout.maxPacketSize - kOtherPacketHeaderSize) {
        append(PacketKind::MiddlePacket, kOtherPacketHeaderSize);
    }
    append(PacketKind::LastPacket, kOtherPacketHeaderSize);
    return out;
}

}  // namespace kestrel::protocol
