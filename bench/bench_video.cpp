// The client's own costs: building requests, assembling packets, and the whole path of a frame
// (publish, decode, draw into the paint box's image) beside bare libjpeg decoding of the same
// frames, whose ratio is printed at the end.

#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <array>
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
    p::patchJpegHeader(std::span<std::uint8_t, p::kJpegHeaderSize>(frame.image.data(), 400),
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

// Publish (the last packet completes the frame and it is copied out), decode straight into the
// window's pixel format, and draw what the paint box shows of it.
void BM_FramePath(benchmark::State& state) {
    const SampleFrame& frame = frameOfWidth(static_cast<int>(state.range(0)));
    auto buffers = std::make_unique<v::FrameBuffers>();
    for (const Bytes& packet : frame.packets) {
        v::assemblePacket(*buffers, packet, false);
    }
    const Bytes& last = frame.packets.back();
    const std::int32_t beforeLast =
        buffers->frameLen - static_cast<std::int32_t>(last.size() - p::kOtherPacketHeaderSize);
    v::JpegDecoder decoder;
    v::Picture shown;
    v::Picture scratch;
    QImage canvas(kPaintBoxWidth, kPaintBoxHeight, QImage::Format_RGB32);
    for (auto _ : state) {
        buffers->frameLen = beforeLast;
        if (v::assemblePacket(*buffers, last, false) != v::AssemblyResult::Published) {
            state.SkipWithError("frame not published");
            break;
        }
        decoder.decode(buffers->image(), scratch);
        std::swap(scratch, shown);
        const QImage picture(shown.pixels.data(), shown.width, shown.height, shown.bytesPerLine(),
                             QImage::Format_RGB32);
        QPainter painter(&canvas);
        const QRect target = canvas.rect().intersected(picture.rect());
        painter.drawImage(target, picture, target);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FramePath)->Arg(160)->Arg(320)->Arg(640)->Unit(benchmark::kMicrosecond);

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

void BM_BareLibjpeg(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const SampleFrame& frame = frameOfWidth(width);
    jpeg_decompress_struct info{};
    BareErrors errors{};
    info.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = bareError;
    jpeg_create_decompress(&info);
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * width * 3 / 4 * 3);
    for (auto _ : state) {
        if (!bareDecode(&info, &errors, frame.image, pixels.data())) {
            state.SkipWithError("libjpeg rejected the frame");
            break;
        }
    }
    jpeg_destroy_decompress(&info);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareLibjpeg)->Arg(160)->Arg(320)->Arg(640)->Unit(benchmark::kMicrosecond);

// Shows the results as usual and remembers the frame timings for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
            }
        }
    }
    void printRatios() const {
        std::printf("\nFrame path against bare libjpeg decoding (CPU time per frame):\n");
        std::printf("%-10s %12s %12s %8s\n", "size", "path (us)", "libjpeg (us)", "ratio");
        for (const int width : {160, 320, 640}) {
            const auto path = times_.find("BM_FramePath/" + std::to_string(width));
            const auto bare = times_.find("BM_BareLibjpeg/" + std::to_string(width));
            if (path == times_.end() || bare == times_.end() || bare->second <= 0) {
                continue;
            }
            std::printf("%4dx%-5d %12.1f %12.1f %8.2f\n", width, width * 3 / 4, path->second,
                        bare->second, path->second / bare->second);
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    // Only images are drawn; no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}
