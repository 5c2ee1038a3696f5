// Cost of producing one frame of the simulated camera: drawing the scene and encoding it. Both
// must fit comfortably within a 30 fps frame interval at the largest stream size.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "tools/camsim/jpeg_encoder.h"
#include "tools/camsim/scene.h"

namespace {

using kestrel::camsim::JpegFrameEncoder;
using kestrel::camsim::renderScene;
using kestrel::camsim::RgbImage;
using kestrel::camsim::ViewState;

ViewState sampleView() {
    ViewState view;
    view.seconds = 2.7;
    view.frameNumber = 1234;
    view.clock = "13:45:02";
    view.lightOn = true;
    return view;
}

void BM_RenderScene(benchmark::State& state) {
    RgbImage image{static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), {}};
    ViewState view = sampleView();
    for (auto _ : state) {
        view.seconds += 1.0 / 30;
        renderScene(view, image);
        benchmark::DoNotOptimize(image.pixels.data());
    }
}

void BM_EncodeFrame(benchmark::State& state) {
    RgbImage image{static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), {}};
    renderScene(sampleView(), image);
    JpegFrameEncoder encoder;
    std::vector<std::uint8_t> out;
    for (auto _ : state) {
        encoder.encode(image, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["bytes"] = static_cast<double>(out.size());
}

BENCHMARK(BM_RenderScene)->Args({160, 120})->Args({320, 240})->Args({640, 480});
BENCHMARK(BM_EncodeFrame)->Args({160, 120})->Args({320, 240})->Args({640, 480});

}  // namespace

BENCHMARK_MAIN();
