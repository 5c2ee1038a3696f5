#include "video/frame_assembly.h"

#include <algorithm>
#include <cstring>

#include "protocol/jpeg_header.h"
#include "protocol/stream_packet.h"

namespace kestrel::video {

namespace p = kestrel::protocol;

namespace {

// Appends data to the frame; false when it would not fit, which drops the frame.
bool append(FrameBuffers& b, std::span<const Byte> data) {
    const auto at = static_cast<std::size_t>(b.frameLen);
    if (data.size() > b.frameBuf.size() - at) {
        b.dropFrame();
        return false;
    }
    if (!data.empty()) {
        std::memcpy(b.frameBuf.data() + at, data.data(), data.size());
    }
    b.frameLen += static_cast<std::int32_t>(data.size());
    return true;
}

}  // namespace

AssemblyResult assemblePacket(FrameBuffers& b, std::span<const Byte> packet, bool holdPublication) {
    if (packet.size() < p::kMinPacketSize) {
        return AssemblyResult::Assembling;
    }
    const Byte kind = packet[2];
    const auto headerSize = p::frameHeaderSize(kind);
    if (!headerSize || packet.size() < *headerSize) {
        return AssemblyResult::Assembling;  // not a frame packet, or no whole header
    }
    const auto data = packet.subspan(*headerSize);

    switch (static_cast<p::PacketKind>(kind)) {
        case p::PacketKind::FirstPacket: {
            b.frameDropped = false;
            std::memcpy(b.frameBuf.data(), p::JpegHeaderTemplate.data(), p::kJpegHeaderSize);
            // Height and width go over byte for byte: big-endian in both.
            std::copy_n(packet.begin() + p::kPacketHeightOffset, 4,
                        b.frameBuf.begin() + p::kJpegHeightOffset);
            b.frameLen = static_cast<std::int32_t>(p::kJpegHeaderSize);
            append(b, data);
            return AssemblyResult::Assembling;
        }
        case p::PacketKind::MiddlePacket:
            if (!b.frameDropped) {
                append(b, data);
            }
            return AssemblyResult::Assembling;
        case p::PacketKind::LastPacket:
            if (b.frameDropped || !append(b, data)) {
                return AssemblyResult::Assembling;
            }
            if (holdPublication) {
                return AssemblyResult::Withheld;
            }
            std::memcpy(b.imageBuf.data(), b.frameBuf.data(), static_cast<std::size_t>(b.frameLen));
            b.imageLen = b.frameLen;
            return AssemblyResult::Published;
    }
    return AssemblyResult::Assembling;
}

}  // namespace kestrel::video
