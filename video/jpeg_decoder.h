#pragma once
// Decodes a complete baseline JPEG image held in memory, at full size and best quality, into
// 32-bit pixels laid out as the window draws them (blue, green, red, unused byte per pixel).

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

namespace kestrel::video {

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // height rows of width * 4 bytes: B, G, R, unused
    [[nodiscard]] int bytesPerLine() const { return width * 4; }
};

// A frame the decoder rejects. Warnings (say, data that ends early) are not errors: the decoder
// fills in what is missing, as image viewers do, and counts them instead.
class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The largest picture decoded, far above any stream size: anything larger is refused before memory
// or time is spent on it, since the size comes from the camera.
inline constexpr std::int64_t kMaxPicturePixels = 1280LL * 1024LL;

class JpegDecoder {
public:
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // Decodes `jpeg` into `into`, reusing its storage. On DecodeError `into` may hold a partial
    // picture; decode into a scratch picture to keep the last good one.
    void decode(std::span<const std::uint8_t> jpeg, Picture& into);

    [[nodiscard]] std::uint64_t warnings() const { return warnings_; }

private:
    struct State;
    std::unique_ptr<State> state_;
    std::uint64_t warnings_ = 0;
};

}  // namespace kestrel::video
