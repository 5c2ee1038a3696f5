#pragma once
// The simulated camera's JPEG encoder. Like the real camera it sends only the entropy-coded data
// of each frame: the client puts the fixed header (protocol/jpeg_header.h) in front, so the data
// must use exactly that header's tables and 4:2:2 sampling.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "tools/camsim/scene.h"

namespace kestrel::camsim {

class JpegFrameEncoder {
public:
    JpegFrameEncoder();

    // Replaces the contents of out with the scan data for image followed by the end-of-image
    // marker. Width and height must be 1..65535 and pixels must hold width * height RGB triples;
    // anything else throws std::invalid_argument.
    // The working buffers are kept between calls, so steady streaming does not allocate.
    void encode(const RgbImage& image, std::vector<std::uint8_t>& out);

private:
    struct HuffmanCode {
        std::uint16_t code = 0;
        std::uint8_t length = 0;
    };
    class BitWriter;

    void convertStripe(const RgbImage& image, int top);
    void encodeBlock(std::span<const float> samples, int stride, const std::array<float, 64>& scale,
                     int& previousDc, BitWriter& writer) const;

    // Per-coefficient multipliers, natural order, that undo the DCT's scaling and quantise.
    std::array<float, 64> lumaScale_{};
    std::array<float, 64> chromaScale_{};
    std::array<HuffmanCode, 12> dcCodes_{};
    std::array<HuffmanCode, 256> acCodes_{};

    // One stripe of eight rows, level-shifted, padded to whole MCUs: luma at full width and the
    // two chroma planes at half width.
    std::vector<float> lumaRows_;
    std::vector<float> cbRows_;
    std::vector<float> crRows_;
    int stripeWidth_ = 0;
};

}  // namespace kestrel::camsim
