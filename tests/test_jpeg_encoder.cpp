// The simulated camera's picture: its JPEG data must decode behind the fixed header with a real
// decoder and look like the source, and its scene must show what each command did.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "protocol/jpeg_header.h"
#include "tools/camsim/jpeg_encoder.h"
#include "tools/camsim/scene.h"

namespace kestrel::camsim {
namespace {

struct Decoded {
    int width = 0;
    int height = 0;
    int components = 0;
    int warnings = 0;  // corrupt-data complaints the decoder recovered from
    std::vector<std::uint8_t> pixels;
};

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf escape;
    int warnings = 0;
};

[[noreturn]] void leaveDecoder(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->escape, 1);
}

void countWarning(j_common_ptr info, int level) {
    if (level < 0) {
        ++reinterpret_cast<ErrorManager*>(info->err)->warnings;
    }
}

// All libjpeg calls live here, so a decoder error jumps back over C frames only. Everything this
// frame owns is trivially destructible; out belongs to the caller.
bool runDecoder(jpeg_decompress_struct& info, ErrorManager& errors,
                std::span<const std::uint8_t> jpeg, Decoded& out) {
    if (setjmp(errors.escape) != 0) {
        return false;
    }
    jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
        return false;
    }
    jpeg_start_decompress(&info);
    out.width = static_cast<int>(info.output_width);
    out.height = static_cast<int>(info.output_height);
    out.components = info.output_components;
    const std::size_t stride = static_cast<std::size_t>(out.width) * out.components;
    out.pixels.resize(stride * static_cast<std::size_t>(out.height));
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out.pixels.data() + stride * info.output_scanline;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    return true;
}

std::optional<Decoded> decode(std::span<const std::uint8_t> jpeg) {
    jpeg_decompress_struct info{};
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = leaveDecoder;
    errors.base.emit_message = countWarning;
    jpeg_create_decompress(&info);
    Decoded out;
    const bool ok = runDecoder(info, errors, jpeg, out);
    jpeg_destroy_decompress(&info);
    out.warnings = errors.warnings;
    return ok ? std::optional(out) : std::nullopt;
}

// What the client does: a patched copy of the header, then the camera's data.
std::vector<std::uint8_t> withHeader(std::span<const std::uint8_t> scan, int width, int height) {
    std::vector<std::uint8_t> jpeg(protocol::JpegHeaderTemplate.begin(),
                                   protocol::JpegHeaderTemplate.end());
    protocol::patchJpegHeader(
        std::span<std::uint8_t, protocol::kJpegHeaderSize>(jpeg.data(), protocol::kJpegHeaderSize),
        static_cast<std::uint16_t>(height), static_cast<std::uint16_t>(width));
    jpeg.insert(jpeg.end(), scan.begin(), scan.end());
    return jpeg;
}

double luma(std::span<const std::uint8_t> rgb, std::size_t pixel) {
    return 0.299 * rgb[pixel * 3] + 0.587 * rgb[pixel * 3 + 1] + 0.114 * rgb[pixel * 3 + 2];
}

double lumaPsnr(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    const std::size_t pixels = a.size() / 3;
    double sum = 0;
    for (std::size_t i = 0; i < pixels; ++i) {
        const double d = luma(a, i) - luma(b, i);
        sum += d * d;
    }
    const double mse = std::max(sum / static_cast<double>(pixels), 1e-9);
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

// Over all three channels, so that a fault in either chroma component shows as well.
double psnr(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
        sum += d * d;
    }
    const double mse = std::max(sum / static_cast<double>(a.size()), 1e-9);
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

// The data may hold 0xFF only as a stuffed FF 00, and must end with the end-of-image marker.
void expectStuffedAndTerminated(std::span<const std::uint8_t> scan) {
    ASSERT_GE(scan.size(), 2u);
    EXPECT_EQ(scan[scan.size() - 2], 0xFF);
    EXPECT_EQ(scan[scan.size() - 1], 0xD9);
    for (std::size_t i = 0; i + 2 < scan.size(); ++i) {
        if (scan[i] == 0xFF) {
            ASSERT_EQ(scan[i + 1], 0x00) << "unstuffed 0xFF at " << i;
        }
    }
}

ViewState busyView() {
    ViewState view;
    view.seconds = 2.7;
    view.frameNumber = 1234;
    view.clock = "13:45:02";
    view.lightOn = true;
    return view;
}

RgbImage renderAt(int width, int height, const ViewState& view) {
    RgbImage image;
    image.width = width;
    image.height = height;
    renderScene(view, image);
    return image;
}

struct EncodeCase {
    int width;
    int height;
    double minPsnr;
};

class EncodedScene : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodedScene, DecodesBehindTheHeaderAsTheSourcePicture) {
    const auto [width, height, minPsnr] = GetParam();
    const RgbImage image = renderAt(width, height, busyView());
    JpegFrameEncoder encoder;
    std::vector<std::uint8_t> scan;
    encoder.encode(image, scan);

    expectStuffedAndTerminated(scan);
    const auto jpeg = withHeader(scan, width, height);
    EXPECT_LT(jpeg.size(), 99'000u);
    const auto decoded = decode(jpeg);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->warnings, 0);
    EXPECT_EQ(decoded->width, width);
    EXPECT_EQ(decoded->height, height);
    ASSERT_EQ(decoded->components, 3);
    EXPECT_GT(psnr(image.pixels, decoded->pixels), minPsnr);
}

// The thresholds leave a few dB below what a correct encoder reaches; small pictures are mostly
// one-pixel text, which 4:2:2 sampling and these tables blur more.
INSTANTIATE_TEST_SUITE_P(StreamAndOddSizes, EncodedScene,
                         ::testing::Values(EncodeCase{160, 120, 26.0}, EncodeCase{320, 240, 30.0},
                                           EncodeCase{640, 480, 33.0}, EncodeCase{33, 17, 21.0},
                                           EncodeCase{17, 9, 20.0}, EncodeCase{1, 1, 40.0}));

// Full-range noise makes the largest coefficients and long zero runs between them: every code
// length the tables have gets used, and any slip garbles the rest of the picture.
TEST(JpegFrameEncoder, NoiseDecodesCleanly) {
    RgbImage image{37, 23, {}};
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int i = 0; i < image.width * image.height * 3; ++i) {
        image.pixels.push_back(static_cast<std::uint8_t>(byte(random)));
    }
    JpegFrameEncoder encoder;
    std::vector<std::uint8_t> scan;
    encoder.encode(image, scan);
    expectStuffedAndTerminated(scan);
    const auto decoded = decode(withHeader(scan, image.width, image.height));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->warnings, 0);
    // Colour noise cannot survive halved chroma; its luma must.
    EXPECT_GT(lumaPsnr(image.pixels, decoded->pixels), 20.0) << psnr(image.pixels, decoded->pixels);
}

// Columns alternately red and blue share their chroma in pairs: both must come back as the mean,
// so the picture's overall colour stays balanced rather than leaning to either.
TEST(JpegFrameEncoder, ChromaIsTheMeanOfEachPixelPair) {
    RgbImage image{64, 16, {}};
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const bool red = x % 2 == 0;
            image.pixels.insert(image.pixels.end(), {static_cast<std::uint8_t>(red ? 255 : 0), 0,
                                                     static_cast<std::uint8_t>(red ? 0 : 255)});
        }
    }
    JpegFrameEncoder encoder;
    std::vector<std::uint8_t> scan;
    encoder.encode(image, scan);
    const auto decoded = decode(withHeader(scan, image.width, image.height));
    ASSERT_TRUE(decoded.has_value());
    std::array<double, 3> mean{};
    for (std::size_t i = 0; i < decoded->pixels.size(); ++i) {
        mean[i % 3] += decoded->pixels[i];
    }
    const double pixels = static_cast<double>(decoded->pixels.size() / 3);
    EXPECT_NEAR(mean[0] / pixels, 127.5, 15.0);
    EXPECT_NEAR(mean[2] / pixels, 127.5, 15.0);
}

// Reusing one encoder across sizes must give the same data as a fresh one: no state or stale
// padding carries over from the previous frame.
TEST(JpegFrameEncoder, ReuseMatchesFreshEncoder) {
    const RgbImage large = renderAt(640, 480, busyView());
    const RgbImage small = renderAt(33, 17, busyView());
    JpegFrameEncoder reused;
    std::vector<std::uint8_t> scan;
    reused.encode(large, scan);
    reused.encode(small, scan);
    JpegFrameEncoder fresh;
    std::vector<std::uint8_t> expected;
    fresh.encode(small, expected);
    EXPECT_EQ(scan, expected);
}

TEST(JpegFrameEncoder, RejectsMismatchedImage) {
    JpegFrameEncoder encoder;
    std::vector<std::uint8_t> scan;
    EXPECT_THROW(encoder.encode(RgbImage{4, 4, std::vector<std::uint8_t>(47)}, scan),
                 std::invalid_argument);
    EXPECT_THROW(encoder.encode(RgbImage{0, 4, {}}, scan), std::invalid_argument);
}

// ---- The scene

double meanAbsDifference(const RgbImage& a, int ax, int ay, const RgbImage& b, int bx, int by,
                         int width, int height) {
    double sum = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const auto pa = (static_cast<std::size_t>(ay + y) * a.width + ax + x) * 3;
            const auto pb = (static_cast<std::size_t>(by + y) * b.width + bx + x) * 3;
            for (int c = 0; c < 3; ++c) {
                sum += std::abs(a.pixels[pa + c] - b.pixels[pb + c]);
            }
        }
    }
    return sum / (3.0 * width * height);
}

double meanLuma(const RgbImage& image) {
    double sum = 0;
    const std::size_t pixels = image.pixels.size() / 3;
    for (std::size_t i = 0; i < pixels; ++i) {
        sum += luma(image.pixels, i);
    }
    return sum / static_cast<double>(pixels);
}

// A step moves the picture by an eighth of the view: after moving right, what was 40 pixels
// further right is now in place; after moving down, what was 30 rows lower. Compared away from
// the on-screen text and lamp.
TEST(Scene, PanAndTiltShiftThePictureByOneStep) {
    constexpr int kWidth = 320;
    constexpr int kHeight = 240;
    const ViewState home = busyView();
    const RgbImage before = renderAt(kWidth, kHeight, home);

    struct Move {
        int direction;
        int dx;  // where the content now at (x, y) was before the move
        int dy;
    };
    for (const Move move : {Move{kMoveRight, kWidth / 8, 0}, Move{kMoveLeft, -kWidth / 8, 0},
                            Move{kMoveDown, 0, kHeight / 8}, Move{kMoveUp, 0, -kHeight / 8}}) {
        SCOPED_TRACE(move.direction);
        ViewState moved = home;
        ASSERT_TRUE(moveView(moved, move.direction));
        const RgbImage after = renderAt(kWidth, kHeight, moved);
        const int x0 = 40;
        const int y0 = 60;
        const int w = kWidth - 80;
        const int h = kHeight - 110;
        EXPECT_LT(meanAbsDifference(after, x0, y0, before, x0 + move.dx, y0 + move.dy, w, h), 1.0);
        EXPECT_GT(meanAbsDifference(after, x0, y0, before, x0, y0, w, h), 5.0);
    }
}

TEST(Scene, MovesStopAtTheEdgesAndResetReturnsHome) {
    ViewState view;
    for (int i = 0; i < 3 * kMaxPan; ++i) {
        moveView(view, kMoveLeft);
        moveView(view, kMoveUp);
    }
    EXPECT_EQ(view.pan, -kMaxPan);
    EXPECT_EQ(view.tilt, -kMaxTilt);
    EXPECT_FALSE(moveView(view, 1));
    EXPECT_EQ(view.pan, -kMaxPan);
    view.lightOn = true;
    resetView(view);
    EXPECT_EQ(view.pan, 0);
    EXPECT_EQ(view.tilt, 0);
    EXPECT_TRUE(view.lightOn);
}

TEST(Scene, BrightnessLightAndTimeShowInThePicture) {
    constexpr int kWidth = 320;
    constexpr int kHeight = 240;
    ViewState view = busyView();

    view.brightness = 0;
    const double dark = meanLuma(renderAt(kWidth, kHeight, view));
    view.brightness = view.maxBrightness / 2;
    const double normal = meanLuma(renderAt(kWidth, kHeight, view));
    view.brightness = view.maxBrightness;
    const double bright = meanLuma(renderAt(kWidth, kHeight, view));
    EXPECT_LT(dark + 40, normal);
    EXPECT_LT(normal + 20, bright);

    // The lamp sits in the top-right corner: green when lit, red when not.
    view.brightness = view.maxBrightness / 2;
    view.lightOn = true;
    const RgbImage lit = renderAt(kWidth, kHeight, view);
    view.lightOn = false;
    const RgbImage unlit = renderAt(kWidth, kHeight, view);
    const auto greenness = [](const RgbImage& image, int x0, int y0, int size) {
        double sum = 0;
        for (int y = y0; y < y0 + size; ++y) {
            for (int x = x0; x < x0 + size; ++x) {
                const auto at = (static_cast<std::size_t>(y) * image.width + x) * 3;
                sum += image.pixels[at + 1] - image.pixels[at];
            }
        }
        return sum / (size * size);
    };
    EXPECT_GT(greenness(lit, kWidth - 30, 0, 30), greenness(unlit, kWidth - 30, 0, 30) + 40);
    EXPECT_LT(greenness(unlit, kWidth - 30, 0, 30), -10);
    // Elsewhere the light changes nothing.
    EXPECT_EQ(meanAbsDifference(lit, 0, 40, unlit, 0, 40, kWidth, kHeight - 40), 0.0);

    view.seconds += 0.5;
    EXPECT_GT(
        meanAbsDifference(renderAt(kWidth, kHeight, view), 0, 0, unlit, 0, 0, kWidth, kHeight),
        0.1);
}

}  // namespace
}  // namespace kestrel::camsim
