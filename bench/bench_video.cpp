// The client's own costs: building requests, assembling packets, and the whole path of a frame
// (publish, decode, draw into the paint box's image) beside bare libjpeg decoding of the same
// frames, whose ratio is printed at the end.

#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <array>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "protocol/bytes.h"
#include "protocol/jpeg_header.h"
#include "protocol/stream_packet.h"
#include "protocol/wire.h"
#include "tools/camsim/sample_frames.h"
#include "video/frame_assembly.h"
#include "video/jpeg_decoder.h"

namespace p = kestrel::protocol;
namespace v = kestrel::video;
using Bytes = std::vector<std::uint8_t>;

namespace {

// The paint box's size in the window as designed.
constexpr int kPaintBoxWidth = 360;
constexpr int kPaintBoxHeight = 302;

// One frame as the camera sends it, split into its packets, and the complete image.
struct SampleFrame {
    std::vector<Bytes> packets;
    Bytes image;  // header template patched, then the data
};

SampleFrame sampleFrame(int width, int height) {
    kestrel::camsim::ViewState view;
    view.seconds = 2.5;
    view.frameNumber = 1234;
    view.clock = "12:34:56";
    const Bytes data = kestrel::camsim::encodedFrame(width, height, view);
    const Bytes all = p::packetiseFrame(
        data, {static_cast<std::uint16_t>(height), static_cast<std::uint16_t>(width)});
    SampleFrame frame;
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t length = p::getU16(all, at);
        frame.packets.emplace_back(all.begin() + static_cast<long>(at),
                                   all.begin() + static_cast<long>(at + length));
        at += length;
    }
    frame.image.assign(p::JpegHeaderTemplate.begin(), p::JpegHeaderTemplate.end());
    p::patchJpegHeader(
        std::span<std::uint8_t, p::kJpegHeaderSize>(frame.image.data(), p::kJpegHeaderSize),
        static_cast<std::uint16_t>(height), static_cast<std::uint16_t>(width));
    frame.image.insert(frame.image.end(), data.begin(), data.end());
    return frame;
}

const SampleFrame& frameOfWidth(int width) {
    static std::map<int, SampleFrame> frames;
    auto it = frames.find(width);
    if (it == frames.end()) {
        it = frames.emplace(width, sampleFrame(width, width * 3 / 4)).first;
    }
    return it->second;
}

void BM_BuildRequest(benchmark::State& state) {
    std::uint8_t seqNo = 0;
    for (auto _ : state) {
        auto logon = p::buildLogon(p::takeSequence(seqNo), "admin", "lanterns");
        auto move = p::buildMoveCamera(p::takeSequence(seqNo), 6);
        benchmark::DoNotOptimize(logon);
        benchmark::DoNotOptimize(move);
    }
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_BuildRequest);

void BM_AssemblePacket(benchmark::State& state) {
    const auto length = static_cast<std::size_t>(state.range(0));
    Bytes middle(length, 0x55);
    p::putU16(middle, 0, static_cast<std::uint16_t>(length));
    middle[2] = static_cast<std::uint8_t>(p::PacketKind::MiddlePacket);
    auto buffers = std::make_unique<v::FrameBuffers>();
    const Bytes first = frameOfWidth(160).packets.front();
    v::assemblePacket(*buffers, first, false);
    const std::int32_t start = buffers->frameLen;
    for (auto _ : state) {
        if (buffers->frameLen > 90000) {
            buffers->frameLen = start;  // stay within the frame buffer
        }
        benchmark::DoNotOptimize(v::assemblePacket(*buffers, middle, false));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(length));
}
BENCHMARK(BM_AssemblePacket)->Arg(64)->Arg(1024)->Arg(4096);

// What the window does with a frame: publish it (the last packet completes the frame, which is
// copied out), decode it straight into the window's pixel format, and draw what the paint box
// shows of it.
class FramePath {
public:
    explicit FramePath(const SampleFrame& frame)
        : buffers_(std::make_unique<v::FrameBuffers>()),
          last_(frame.packets.back()),
          canvas_(kPaintBoxWidth, kPaintBoxHeight, QImage::Format_RGB32) {
        for (const Bytes& packet : frame.packets) {
            v::assemblePacket(*buffers_, packet, false);
        }
        beforeLast_ = buffers_->frameLen -
                      static_cast<std::int32_t>(last_.size() - p::kOtherPacketHeaderSize);
    }
    bool run() {
        buffers_->frameLen = beforeLast_;
        if (v::assemblePacket(*buffers_, last_, false) != v::AssemblyResult::Published) {
            return false;
        }
        decoder_.decode(buffers_->image(), scratch_);
        std::swap(scratch_, shown_);
        const QImage picture(shown_.pixels.data(), shown_.width, shown_.height,
                             shown_.bytesPerLine(), QImage::Format_RGB32);
        QPainter painter(&canvas_);
        const QRect target = canvas_.rect().intersected(picture.rect());
        painter.drawImage(target, picture, target);
        return true;
    }

private:
    std::unique_ptr<v::FrameBuffers> buffers_;
    Bytes last_;
    std::int32_t beforeLast_ = 0;
    v::JpegDecoder decoder_;
    v::Picture shown_;
    v::Picture scratch_;
    QImage canvas_;
};

void BM_FramePath(benchmark::State& state) {
    FramePath path(frameOfWidth(static_cast<int>(state.range(0))));
    for (auto _ : state) {
        if (!path.run()) {
            state.SkipWithError("frame not published");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FramePath)->Arg(160)->Arg(320)->Arg(640)->Unit(benchmark::kMicrosecond);

// The decoder alone, straight into the window's pixel format.
void BM_DecodeOnly(benchmark::State& state) {
    const SampleFrame& frame = frameOfWidth(static_cast<int>(state.range(0)));
    v::JpegDecoder decoder;
    v::Picture picture;
    for (auto _ : state) {
        decoder.decode(frame.image, picture);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeOnly)->Arg(160)->Arg(320)->Arg(640)->Unit(benchmark::kMicrosecond);

// libjpeg on its own: the same image decoded with default settings into 24-bit pixels.
struct BareErrors {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};
extern "C" void bareError(j_common_ptr info) {
    std::longjmp(reinterpret_cast<BareErrors*>(info->err)->jump, 1);  // NOLINT
}

bool bareDecode(jpeg_decompress_struct* info, BareErrors* errors, const Bytes& image,
                unsigned char* pixels) {
    if (setjmp(errors->jump) != 0) {
        jpeg_abort_decompress(info);
        return false;
    }
    jpeg_mem_src(info, image.data(), image.size());
    jpeg_read_header(info, TRUE);
    jpeg_start_decompress(info);
    const std::size_t stride = static_cast<std::size_t>(info->output_width) * 3;
    while (info->output_scanline < info->output_height) {
        JSAMPROW row = pixels + info->output_scanline * stride;
        jpeg_read_scanlines(info, &row, 1);
    }
    jpeg_finish_decompress(info);
    return true;
}

class BareLibjpeg {
public:
    explicit BareLibjpeg(const SampleFrame& frame) : image_(frame.image) {
        info_.err = jpeg_std_error(&errors_.pub);
        errors_.pub.error_exit = bareError;
        jpeg_create_decompress(&info_);
        pixels_.resize(static_cast<std::size_t>(640) * 480 * 3);  // the largest stream size
    }
    ~BareLibjpeg() { jpeg_destroy_decompress(&info_); }
    BareLibjpeg(const BareLibjpeg&) = delete;
    BareLibjpeg& operator=(const BareLibjpeg&) = delete;
    bool run() { return bareDecode(&info_, &errors_, image_, pixels_.data()); }

private:
    const Bytes& image_;
    jpeg_decompress_struct info_{};
    BareErrors errors_{};
    std::vector<unsigned char> pixels_;
};

void BM_BareLibjpeg(benchmark::State& state) {
    BareLibjpeg bare(frameOfWidth(static_cast<int>(state.range(0))));
    for (auto _ : state) {
        if (!bare.run()) {
            state.SkipWithError("libjpeg rejected the frame");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareLibjpeg)->Arg(160)->Arg(320)->Arg(640)->Unit(benchmark::kMicrosecond);

// The ratio of the frame path to bare libjpeg, measured with the two taking turns frame by frame,
// so that whatever else the machine does weighs on both alike. Medians of the per-frame times.
void printRatios() {
    std::printf(
        "\nFrame path against bare libjpeg decoding (median time per frame, taking turns):\n");
    std::printf("%-10s %12s %12s %8s\n", "size", "path (us)", "libjpeg (us)", "ratio");
    const auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    for (const int width : {160, 320, 640}) {
        const SampleFrame& frame = frameOfWidth(width);
        FramePath path(frame);
        BareLibjpeg bare(frame);
        std::vector<double> pathTimes;
        std::vector<double> bareTimes;
        const int rounds = width == 640 ? 1000 : 3000;
        const auto timed = [](auto& subject, std::vector<double>& times) {
            const auto start = std::chrono::steady_clock::now();
            subject.run();
            times.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                    .count());
        };
        if (!path.run() || !bare.run()) {
            std::printf("%4dx%-5d the frame does not decode\n", width, width * 3 / 4);
            continue;
        }
        for (int i = 0; i < rounds; ++i) {
            // Each goes first every other round, so neither always meets a warmer cache.
            if (i % 2 == 0) {
                timed(path, pathTimes);
                timed(bare, bareTimes);
            } else {
                timed(bare, bareTimes);
                timed(path, pathTimes);
            }
        }
        const double p = median(pathTimes);
        const double b = median(bareTimes);
        std::printf("%4dx%-5d %12.1f %12.1f %8.2f\n", width, width * 3 / 4, p, b, p / b);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Only images are drawn; no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    printRatios();
    benchmark::Shutdown();
    return 0;
}
