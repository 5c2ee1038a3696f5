#pragma once
// Frames of the simulated camera's scene, as it sends them: for tests and benchmarks that need
// pictures a decoder accepts.

#include <cstdint>
#include <vector>

#include "protocol/stream_packet.h"
#include "tools/camsim/jpeg_encoder.h"
#include "tools/camsim/scene.h"

namespace kestrel::camsim {

// The coded data of one frame (what follows the JPEG header).
inline std::vector<std::uint8_t> encodedFrame(int width, int height, const ViewState& view = {}) {
    RgbImage image{width, height, {}};
    renderScene(view, image);
    JpegFrameEncoder encoder;
    std::vector<std::uint8_t> data;
    encoder.encode(image, data);
    return data;
}

// The same frame as the camera sends it: FirstPacket, MiddlePackets, LastPacket.
inline std::vector<std::uint8_t> framePackets(int width, int height) {
    return protocol::packetiseFrame(
        encodedFrame(width, height),
        {static_cast<std::uint16_t>(height), static_cast<std::uint16_t>(width)});
}

}  // namespace kestrel::camsim
