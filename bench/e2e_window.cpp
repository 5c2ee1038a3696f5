// End-to-end benchmark: the real window, headless, shows the stream of a simulated camera on
// loopback. Prints frames shown per second, frames the camera sent, CPU time per shown frame,
// the time from the camera sending a frame's last byte to the window drawing it, and memory.
//
//   bench_e2e_window --camsim PATH [--size WxH] [--fps F | --unpaced] [--seconds S]
//                    [--warmup S] [--port P] [--markdown]

#include <sys/resource.h>

#include <QEvent>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "app/application.h"
#include "bench/bench_support.h"
#include "connection/logon.h"
#include "protocol/jpeg_header.h"
#include "tools/camsim/frame_timing.h"

namespace {

using kestrel::app::TForm1;
using kestrel::bench::residentMegabytes;
using kestrel::camsim::frameFingerprint;
using kestrel::camsim::monotonicNanoseconds;

struct Options {
    std::string camsim;
    std::string size = "640x480";
    std::string fps = "30";
    bool unpaced = false;
    double seconds = 10;
    double warmup = 2;
    int port = 17600;
    bool markdown = false;
};

struct Drawn {
    std::int64_t at;
    std::uint64_t fingerprint;
};

// Notes each repaint of the paint box that shows a frame it has not shown before.
class PaintWatch : public QObject {
public:
    PaintWatch(TForm1& form, std::vector<Drawn>& drawn) : form_(form), drawn_(drawn) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            // The frame counts as drawn once the paint box has painted it: paint it here, then
            // take the time, and keep the event from being painted twice.
            watched->event(event);
            const std::int64_t drawnAt = monotonicNanoseconds();
            const auto image = kestrel::app::TForm1TestAccess::image(form_);
            if (image.size() > kestrel::protocol::kJpegHeaderSize) {
                const std::uint64_t fingerprint =
                    frameFingerprint(image.subspan(kestrel::protocol::kJpegHeaderSize));
                if (drawn_.empty() || drawn_.back().fingerprint != fingerprint) {
                    drawn_.push_back({drawnAt, fingerprint});
                }
            }
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    TForm1& form_;
    std::vector<Drawn>& drawn_;
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](timeval t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--camsim") {
            options.camsim = next();
        } else if (arg == "--size") {
            options.size = next();
        } else if (arg == "--fps") {
            options.fps = next();
        } else if (arg == "--unpaced") {
            options.unpaced = true;
        } else if (arg == "--seconds") {
            options.seconds = std::atof(next().c_str());
        } else if (arg == "--warmup") {
            options.warmup = std::atof(next().c_str());
        } else if (arg == "--port") {
            options.port = std::atoi(next().c_str());
        } else if (arg == "--markdown") {
            options.markdown = true;
        } else {
            return false;
        }
    }
    return !options.camsim.empty() && options.seconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: bench_e2e_window --camsim PATH [--size WxH] [--fps F | --unpaced] "
                     "[--seconds S] [--warmup S] [--port P] [--markdown]\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // The window's settings go to a folder of the benchmark's own.
    const kestrel::bench::ScratchDir settingsDir;
    if (settingsDir.path().empty()) {
        return 1;
    }
    qputenv("XDG_CONFIG_HOME", settingsDir.path().c_str());

    const std::string timingLog = settingsDir.path() + "/timing.log";
    std::vector<std::string> args{options.camsim, "--port",     std::to_string(options.port),
                                  "--size",       options.size, "--timing-log",
                                  timingLog};
    if (options.unpaced) {
        args.emplace_back("--unpaced");
    } else {
        args.insert(args.end(), {"--fps", options.fps});
    }
    kestrel::bench::CameraProcess camera(std::move(args));
    if (!kestrel::bench::CameraProcess::waitForListener(options.port) || !camera.running()) {
        std::fprintf(stderr, "bench_e2e_window: the simulated camera did not start\n");
        return 1;
    }

    kestrel::app::KestrelApplication application(argc, argv);
    TForm1 form;
    std::vector<Drawn> drawn;
    drawn.reserve(100000);
    PaintWatch watch(form, drawn);
    form.PaintBox1->installEventFilter(&watch);
    std::uint64_t ticks = 0;
    QObject::connect(form.Timer1, &QTimer::timeout, [&] { ++ticks; });
    bool failed = false;
    form.errorBoxHook = [&failed](const QString& text) {
        std::fprintf(stderr, "error box: %s\n", qPrintable(text));
        failed = true;
    };
    form.show();
    form.txtAddress->setText(QStringLiteral("127.0.0.1"));
    form.txtPort->setText(QString::number(options.port));
    form.txtUser->setText(QStringLiteral("admin"));
    form.txtPass->setText(QStringLiteral("lanterns"));
    form.cmdConnect->click();
    form.btnStreamStart->click();

    // Measure after the warm-up, until the end.
    double cpuStart = 0;
    double rssStart = 0;
    std::uint64_t ticksStart = 0;
    std::int64_t measureFrom = 0;
    std::int64_t measureTo = 0;
    QTimer::singleShot(static_cast<int>(options.warmup * 1000), [&] {
        cpuStart = cpuSeconds();
        rssStart = residentMegabytes();
        ticksStart = ticks;
        measureFrom = monotonicNanoseconds();
    });
    QTimer::singleShot(static_cast<int>((options.warmup + options.seconds) * 1000), [&] {
        measureTo = monotonicNanoseconds();
        QCoreApplication::quit();
    });
    kestrel::app::KestrelApplication::exec();
    const double cpu = cpuSeconds() - cpuStart;
    const double rss = residentMegabytes();
    const double elapsed = static_cast<double>(measureTo - measureFrom) / 1e9;
    const double tickRate = static_cast<double>(ticks - ticksStart) / elapsed;
    form.btnStreamStopClick(form.btnStreamStop);

    camera.stop();

    // The camera's log: frame number, fingerprint, packets, when its last byte left.
    struct Sent {
        std::int64_t at;
        std::size_t packets;
    };
    std::map<std::uint64_t, Sent> sent;
    std::size_t sentInWindow = 0;
    double packetsPerFrame = 0;
    {
        std::ifstream log(timingLog);
        std::uint64_t number = 0;
        std::uint64_t fingerprint = 0;
        std::size_t packets = 0;
        std::int64_t at = 0;
        while (log >> number >> fingerprint >> packets >> at) {
            sent[fingerprint] = {at, packets};
            if (at >= measureFrom && at < measureTo) {
                ++sentInWindow;
                packetsPerFrame += static_cast<double>(packets);
            }
        }
    }
    packetsPerFrame = sentInWindow > 0 ? packetsPerFrame / static_cast<double>(sentInWindow) : 0;
    std::vector<double> latencies;
    std::size_t shown = 0;
    for (const Drawn& d : drawn) {
        if (d.at < measureFrom || d.at >= measureTo) {
            continue;
        }
        ++shown;
        if (const auto it = sent.find(d.fingerprint); it != sent.end()) {
            latencies.push_back(static_cast<double>(d.at - it->second.at) / 1e6);
        }
    }

    const double shownRate = static_cast<double>(shown) / elapsed;
    const double bound = packetsPerFrame > 0 ? tickRate / packetsPerFrame : 0;
    const std::string mode = options.unpaced ? "unpaced" : options.fps + " fps";
    // Paced, the ticks wait for the camera, so their rate bounds nothing.
    char boundText[32] = "—";
    if (options.unpaced) {
        (void)std::snprintf(boundText, sizeof boundText, "%.1f", bound);
    }
    if (options.markdown) {
        std::printf(
            "| %s | %s | %.1f | %.1f | %zu | %.1f | %.0f | %s | %.2f | %.1f | %.1f | %.1f "
            "| %.1f |\n",
            options.size.c_str(), mode.c_str(), shownRate,
            static_cast<double>(sentInWindow) / elapsed, shown, packetsPerFrame, tickRate,
            boundText, shown > 0 ? cpu * 1000 / static_cast<double>(shown) : 0, 100 * cpu / elapsed,
            percentile(latencies, 0.5), percentile(latencies, 0.99), rss);
    } else {
        std::printf("size %s, %s, %.1f s measured\n", options.size.c_str(), mode.c_str(), elapsed);
        std::printf("  frames shown per second   %.1f (%zu shown)\n", shownRate, shown);
        std::printf("  frames the camera sent    %.1f per second (%zu)\n",
                    static_cast<double>(sentInWindow) / elapsed, sentInWindow);
        std::printf("  packets per frame         %.1f; timer ticks %.0f per second; bound %s fps\n",
                    packetsPerFrame, tickRate, boundText);
        std::printf("  CPU per shown frame       %.2f ms; process CPU %.1f %% of one core\n",
                    shown > 0 ? cpu * 1000 / static_cast<double>(shown) : 0, 100 * cpu / elapsed);
        std::printf("  last byte sent -> drawn   median %.1f ms, 99th percentile %.1f ms (%zu)\n",
                    percentile(latencies, 0.5), percentile(latencies, 0.99), latencies.size());
        std::printf("  resident memory           %.1f MB (%.1f MB after warm-up)\n", rss, rssStart);
    }
    if (failed || shown == 0) {
        std::fprintf(stderr,
                     "bench_e2e_window: the window showed no frame or reported a failure\n");
        return 1;
    }
    return 0;
}
