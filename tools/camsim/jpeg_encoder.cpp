#include "tools/camsim/jpeg_encoder.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <span>
#include <stdexcept>

#include "protocol/jpeg_header.h"

namespace kestrel::camsim {

namespace {

constexpr int kMcuWidth = 16;  // two luma blocks side by side, one block of each chroma
constexpr int kBlockSize = 8;
constexpr int kMaxDimension = 65535;

// Natural (row-major) index of each coefficient in the order it is coded.
constexpr std::array<std::uint8_t, 64> makeZigzag() {
    std::array<std::uint8_t, 64> order{};
    int k = 0;
    for (int diagonal = 0; diagonal < 15; ++diagonal) {
        const int first = std::max(0, diagonal - 7);
        const int last = std::min(diagonal, 7);
        for (int i = first; i <= last; ++i) {
            // Odd diagonals run top-right to bottom-left, even ones the other way.
            const int row = (diagonal % 2 == 1) ? i : diagonal - i;
            const int col = diagonal - row;
            order[static_cast<std::size_t>(k++)] = static_cast<std::uint8_t>(row * 8 + col);
        }
    }
    return order;
}
constexpr std::array<std::uint8_t, 64> kZigzag = makeZigzag();
static_assert(kZigzag[2] == 8 && kZigzag[3] == 16 && kZigzag[5] == 2 && kZigzag[63] == 63);

// The AAN transform leaves coefficient (u, v) multiplied by 8 * s(u) * s(v); these are s(k),
// sqrt(2) * cos(k * pi / 16) with s(0) = 1.
constexpr std::array<double, 8> kAanScale{1.0, 1.387039845, 1.306562965, 1.175875602,
                                          1.0, 0.785694958, 0.541196100, 0.275899379};

std::array<float, 64> makeScale(const std::array<std::uint8_t, 64>& zigzagTable) {
    std::array<float, 64> scale{};
    for (std::size_t k = 0; k < 64; ++k) {
        const std::size_t natural = kZigzag[k];
        const double divisor =
            zigzagTable[k] * kAanScale[natural / 8] * kAanScale[natural % 8] * 8.0;
        scale[natural] = static_cast<float>(1.0 / divisor);
    }
    return scale;
}

// Canonical Huffman codes from a table's code counts per length and its symbols in code order.
template <std::size_t M>
void buildCodes(const std::array<std::uint8_t, 16>& counts,
                const std::array<std::uint8_t, M>& symbols, auto& codes) {
    std::uint32_t code = 0;
    std::size_t next = 0;
    for (int length = 1; length <= 16; ++length) {
        for (int i = 0; i < counts[static_cast<std::size_t>(length - 1)]; ++i) {
            auto& entry = codes[symbols[next++]];
            entry.code = static_cast<std::uint16_t>(code++);
            entry.length = static_cast<std::uint8_t>(length);
        }
        code <<= 1;
    }
}

// One pass of the Arai-Agui-Nakajima 8-point DCT over b[first], b[first + step], ...
inline void aan8(std::array<float, 64>& b, std::size_t first, std::size_t step) {
    const auto at = [&](std::size_t i) -> float& { return b[first + i * step]; };
    const float t0 = at(0) + at(7);
    const float t7 = at(0) - at(7);
    const float t1 = at(1) + at(6);
    const float t6 = at(1) - at(6);
    const float t2 = at(2) + at(5);
    const float t5 = at(2) - at(5);
    const float t3 = at(3) + at(4);
    const float t4 = at(3) - at(4);

    const float e0 = t0 + t3;
    const float e3 = t0 - t3;
    const float e1 = t1 + t2;
    const float e2 = t1 - t2;
    at(0) = e0 + e1;
    at(4) = e0 - e1;
    const float r = (e2 + e3) * 0.707106781f;
    at(2) = e3 + r;
    at(6) = e3 - r;

    const float o0 = t4 + t5;
    const float o1 = t5 + t6;
    const float o2 = t6 + t7;
    const float z5 = (o0 - o2) * 0.382683433f;
    const float z2 = 0.541196100f * o0 + z5;
    const float z4 = 1.306562965f * o2 + z5;
    const float z3 = o1 * 0.707106781f;
    const float z11 = t7 + z3;
    const float z13 = t7 - z3;
    at(5) = z13 + z2;
    at(3) = z13 - z2;
    at(1) = z11 + z4;
    at(7) = z11 - z4;
}

inline int roundToInt(float v) {
    return v >= 0.0f ? static_cast<int>(v + 0.5f) : -static_cast<int>(0.5f - v);
}

// Number of bits of |v|: the size category both DC differences and AC values are coded by.
inline int category(int v) {
    return std::bit_width(static_cast<unsigned>(v < 0 ? -v : v));
}

// The low `size` bits that follow a category: v itself, or v - 1 for negatives.
inline std::uint32_t extraBits(int v, int size) {
    const int raw = v < 0 ? v - 1 : v;
    return static_cast<std::uint32_t>(raw) & ((1u << size) - 1u);
}

}  // namespace

// Packs codes MSB first, stuffs a zero after every 0xFF so no marker appears inside the data.
class JpegFrameEncoder::BitWriter {
public:
    explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) {}

    // bits must fit in count bits; count is at most 32.
    void put(std::uint32_t bits, int count) {
        buffer_ = (buffer_ << count) | bits;
        pending_ += count;
        while (pending_ >= 8) {
            pending_ -= 8;
            const auto byte = static_cast<std::uint8_t>(buffer_ >> pending_);
            out_.push_back(byte);
            if (byte == 0xFF) {
                out_.push_back(0x00);
            }
        }
    }

    // Fills the last byte with 1-bits, which a decoder reads as padding, then ends the image.
    void finish() {
        if (pending_ > 0) {
            const int fill = 8 - pending_;
            put((1u << fill) - 1u, fill);
        }
        out_.push_back(0xFF);
        out_.push_back(0xD9);
    }

private:
    std::vector<std::uint8_t>& out_;
    std::uint64_t buffer_ = 0;
    int pending_ = 0;
};

JpegFrameEncoder::JpegFrameEncoder()
    : lumaScale_(makeScale(protocol::kLuminanceQuantTable)),
      chromaScale_(makeScale(protocol::kChrominanceQuantTable)) {
    buildCodes(protocol::kDcCodeCounts, protocol::kDcSymbols, dcCodes_);
    buildCodes(protocol::kAcCodeCounts, protocol::kAcSymbols, acCodes_);
}

void JpegFrameEncoder::encode(const RgbImage& image, std::vector<std::uint8_t>& out) {
    if (image.width < 1 || image.width > kMaxDimension || image.height < 1 ||
        image.height > kMaxDimension) {
        throw std::invalid_argument("JpegFrameEncoder: image size out of range");
    }
    if (image.pixels.size() !=
        static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 3) {
        throw std::invalid_argument("JpegFrameEncoder: pixel data does not match the size");
    }

    stripeWidth_ = (image.width + kMcuWidth - 1) / kMcuWidth * kMcuWidth;
    const auto lumaSize = static_cast<std::size_t>(stripeWidth_) * kBlockSize;
    lumaRows_.resize(lumaSize);
    cbRows_.resize(lumaSize / 2);
    crRows_.resize(lumaSize / 2);

    out.clear();
    BitWriter writer(out);
    int previousY = 0;
    int previousCb = 0;
    int previousCr = 0;
    const int chromaStride = stripeWidth_ / 2;
    const std::span<const float> luma(lumaRows_);
    const std::span<const float> cb(cbRows_);
    const std::span<const float> cr(crRows_);
    for (int top = 0; top < image.height; top += kBlockSize) {
        convertStripe(image, top);
        for (int x = 0; x < stripeWidth_; x += kMcuWidth) {
            const auto lumaAt = static_cast<std::size_t>(x);
            const auto chromaAt = static_cast<std::size_t>(x / 2);
            encodeBlock(luma.subspan(lumaAt), stripeWidth_, lumaScale_, previousY, writer);
            encodeBlock(luma.subspan(lumaAt + kBlockSize), stripeWidth_, lumaScale_, previousY,
                        writer);
            encodeBlock(cb.subspan(chromaAt), chromaStride, chromaScale_, previousCb, writer);
            encodeBlock(cr.subspan(chromaAt), chromaStride, chromaScale_, previousCr, writer);
        }
    }
    writer.finish();
}

// Converts eight rows starting at top to level-shifted YCbCr (JFIF), repeating the last row and
// column into the padding. Chroma is the mean of each horizontal pixel pair.
void JpegFrameEncoder::convertStripe(const RgbImage& image, int top) {
    const int pairs = stripeWidth_ / 2;
    const int lastX = image.width - 1;
    const std::span<const std::uint8_t> pixels(image.pixels);
    for (int r = 0; r < kBlockSize; ++r) {
        const int y = std::min(top + r, image.height - 1);
        const auto row =
            pixels.subspan(static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) * 3);
        const auto lumaRow = std::span(lumaRows_).subspan(static_cast<std::size_t>(r) *
                                                          static_cast<std::size_t>(stripeWidth_));
        const auto chromaAt = static_cast<std::size_t>(r) * static_cast<std::size_t>(pairs);
        for (int i = 0; i < pairs; ++i) {
            const auto a = static_cast<std::size_t>(std::min(2 * i, lastX)) * 3;
            const auto b = static_cast<std::size_t>(std::min(2 * i + 1, lastX)) * 3;
            const float r0 = row[a];
            const float g0 = row[a + 1];
            const float b0 = row[a + 2];
            const float r1 = row[b];
            const float g1 = row[b + 1];
            const float b1 = row[b + 2];
            const auto x = static_cast<std::size_t>(2 * i);
            lumaRow[x] = 0.299f * r0 + 0.587f * g0 + 0.114f * b0 - 128.0f;
            lumaRow[x + 1] = 0.299f * r1 + 0.587f * g1 + 0.114f * b1 - 128.0f;
            const float rm = 0.5f * (r0 + r1);
            const float gm = 0.5f * (g0 + g1);
            const float bm = 0.5f * (b0 + b1);
            const auto c = chromaAt + static_cast<std::size_t>(i);
            cbRows_[c] = -0.168736f * rm - 0.331264f * gm + 0.5f * bm;
            crRows_[c] = 0.5f * rm - 0.418688f * gm - 0.081312f * bm;
        }
    }
}

// Transforms, quantises and Huffman-codes the 8x8 block whose top-left sample starts samples.
void JpegFrameEncoder::encodeBlock(std::span<const float> samples, int stride,
                                   const std::array<float, 64>& scale, int& previousDc,
                                   BitWriter& writer) const {
    std::array<float, 64> block;
    for (std::size_t row = 0; row < 8; ++row) {
        const auto from = samples.subspan(row * static_cast<std::size_t>(stride), 8);
        std::copy(from.begin(), from.end(), block.begin() + static_cast<std::ptrdiff_t>(row * 8));
    }
    for (std::size_t i = 0; i < 8; ++i) {
        aan8(block, i * 8, 1);
    }
    for (std::size_t i = 0; i < 8; ++i) {
        aan8(block, i, 8);
    }

    std::array<int, 64> coded;
    for (std::size_t k = 0; k < 64; ++k) {
        const std::size_t natural = kZigzag[k];
        coded[k] = roundToInt(block[natural] * scale[natural]);
    }

    // The fixed quantisers keep every DC difference within 11 bits and every AC value within 10,
    // the largest sizes the tables have codes for.
    const int diff = coded[0] - previousDc;
    previousDc = coded[0];
    const int dcSize = category(diff);
    const HuffmanCode& dc = dcCodes_[static_cast<std::size_t>(dcSize)];
    writer.put((std::uint32_t{dc.code} << dcSize) | extraBits(diff, dcSize), dc.length + dcSize);

    int run = 0;
    for (std::size_t k = 1; k < 64; ++k) {
        const int v = coded[k];
        if (v == 0) {
            ++run;
            continue;
        }
        while (run > 15) {
            const HuffmanCode& zeros = acCodes_[0xF0];
            writer.put(zeros.code, zeros.length);
            run -= 16;
        }
        const int size = category(v);
        const HuffmanCode& ac = acCodes_[static_cast<std::size_t>((run << 4) | size)];
        writer.put((std::uint32_t{ac.code} << size) | extraBits(v, size), ac.length + size);
        run = 0;
    }
    if (run > 0) {
        const HuffmanCode& end = acCodes_[0x00];
        writer.put(end.code, end.length);
    }
}

}  // namespace kestrel::camsim
