// Soak benchmark: the real window, headless, shows the 640x480, 30 fps stream of a simulated
// camera for a long time while commands go to the camera at random through the window's own
// controls. Reports frames shown, sent and dropped, the commands, any error box, and the resident
// memory over the run; fails if memory grows by more than a limit after the warm-up.
//
//   bench_soak_window --camsim PATH [--minutes M | --seconds S] [--warmup S] [--sample S]
//                     [--limit-mb MB] [--seed N] [--port P]

#include <QAbstractSlider>
#include <QEvent>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "app/Unit1.h"
#include "app/application.h"
#include "bench/bench_support.h"
#include "protocol/jpeg_header.h"
#include "tools/camsim/frame_timing.h"

namespace {

using kestrel::app::TForm1;
using kestrel::bench::residentMegabytes;
using kestrel::camsim::frameFingerprint;
using kestrel::camsim::monotonicNanoseconds;

constexpr double kFramesPerSecond = 30;

struct Options {
    std::string camsim;
    double seconds = 600;
    double warmup = -1;       // not given: a tenth of the run, at least 30 s, at most half the run
    double sampleEvery = -1;  // not given: 5 s, at most a tenth of the run
    double limitMegabytes = 4;
    std::uint32_t seed = 0;
    bool seedGiven = false;
    int port = 17690;
    int minDelayMs = 200;
    int maxDelayMs = 2000;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--camsim") {
            options.camsim = next();
        } else if (arg == "--minutes") {
            options.seconds = 60 * std::atof(next().c_str());
        } else if (arg == "--seconds") {
            options.seconds = std::atof(next().c_str());
        } else if (arg == "--warmup") {
            options.warmup = std::atof(next().c_str());
        } else if (arg == "--sample") {
            options.sampleEvery = std::atof(next().c_str());
        } else if (arg == "--limit-mb") {
            options.limitMegabytes = std::atof(next().c_str());
        } else if (arg == "--seed") {
            options.seed = static_cast<std::uint32_t>(std::strtoul(next().c_str(), nullptr, 10));
            options.seedGiven = true;
        } else if (arg == "--port") {
            options.port = std::atoi(next().c_str());
        } else {
            return false;
        }
    }
    if (options.warmup < 0) {
        options.warmup = std::min(std::max(options.seconds / 10, 30.0), options.seconds / 2);
    }
    if (options.sampleEvery <= 0) {
        options.sampleEvery = std::min(5.0, options.seconds / 10);
    }
    return !options.camsim.empty() && options.seconds > 0 && options.warmup < options.seconds &&
           options.sampleEvery > 0 && options.port > 0 && options.port < 65536;
}

// Counts the repaints of the paint box that show a frame it has not shown before, and keeps the
// fingerprints of the first `room` of them in storage taken at the start, so that counting does
// not make the process grow.
class ShownFrames : public QObject {
public:
    ShownFrames(const TForm1& form, std::size_t room) : form_(form), fingerprints_(room) {}

    [[nodiscard]] std::size_t count() const { return count_; }
    [[nodiscard]] std::span<const std::uint64_t> fingerprints() const {
        return std::span(fingerprints_).first(std::min(count_, fingerprints_.size()));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            const auto image = kestrel::app::TForm1TestAccess::image(form_);
            if (image.size() > kestrel::protocol::kJpegHeaderSize) {
                const std::uint64_t fingerprint =
                    frameFingerprint(image.subspan(kestrel::protocol::kJpegHeaderSize));
                if (count_ == 0 || fingerprint != last_) {
                    if (count_ < fingerprints_.size()) {
                        fingerprints_[count_] = fingerprint;
                    }
                    last_ = fingerprint;
                    ++count_;
                }
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    const TForm1& form_;
    std::vector<std::uint64_t> fingerprints_;
    std::uint64_t last_ = 0;
    std::size_t count_ = 0;
};

// One kind of command and the ways of giving it through the window's controls.
struct CommandKind {
    const char* name;
    std::vector<std::function<void()>> ways;
    std::size_t given = 0;
};

std::vector<CommandKind> commandKinds(TForm1& form, std::mt19937& random) {
    const auto click = [](QPushButton* button) { return [button] { button->click(); }; };
    QSlider* slider = form.tbBrightness;
    const auto action = [slider](QAbstractSlider::SliderAction a) {
        return [slider, a] { slider->triggerAction(a); };
    };
    // A drag of the thumb to a random position: one notification for the move, one for the end.
    const auto drag = [slider, &random] {
        slider->setSliderDown(true);
        std::uniform_int_distribution<int> to(slider->minimum(), slider->maximum());
        slider->setSliderPosition(to(random));
        slider->setSliderDown(false);
    };
    return {
        {"move",
         {click(form.btnMoveUp), click(form.btnMoveLeft), click(form.btnMoveRight),
          click(form.btnMoveDown)}},
        {"light", {click(form.btnStatusOn), click(form.btnStatusOff)}},
        {"brightness",
         {action(QAbstractSlider::SliderSingleStepAdd),
          action(QAbstractSlider::SliderSingleStepSub), action(QAbstractSlider::SliderPageStepAdd),
          action(QAbstractSlider::SliderPageStepSub), action(QAbstractSlider::SliderToMinimum),
          action(QAbstractSlider::SliderToMaximum), drag}},
        {"size",
         {click(form.btnStreamSelect1), click(form.btnStreamSelect2),
          click(form.btnStreamSelect3)}},
        {"reset", {click(form.btnReset)}},
    };
}

struct Sample {
    double at;  // seconds since the stream started
    double megabytes;
};

// What the camera's log says of the requests it took after logon, other than starting and
// stopping the stream.
struct CameraCommands {
    std::size_t received = 0;
    std::size_t refused = 0;
};

CameraCommands readCameraLog(const std::string& path) {
    CameraCommands commands;
    std::ifstream log(path);
    std::string line;
    while (std::getline(log, line)) {
        if (line.rfind("<- ", 0) != 0 || line.rfind("<- Logon", 0) == 0 ||
            line.rfind("<- StartStream", 0) == 0 || line.rfind("<- StopStream", 0) == 0) {
            continue;
        }
        ++commands.received;
        if (line.find("-> error") != std::string::npos) {
            ++commands.refused;
        }
    }
    return commands;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: bench_soak_window --camsim PATH [--minutes M | --seconds S] "
                     "[--warmup S] [--sample S] [--limit-mb MB] [--seed N] [--port P]\n");
        return 2;
    }
    if (!options.seedGiven) {
        options.seed = std::random_device{}();
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // The window's settings and the camera's logs go to a folder of the benchmark's own.
    const kestrel::bench::ScratchDir scratch;
    if (scratch.path().empty()) {
        std::fprintf(stderr, "soak: cannot make a temporary folder\n");
        return 1;
    }
    qputenv("XDG_CONFIG_HOME", scratch.path().c_str());
    const std::string timingLog = scratch.path() + "/timing.log";
    const std::string cameraLog = scratch.path() + "/camera.log";
    kestrel::bench::CameraProcess camera(
        {options.camsim, "--port", std::to_string(options.port), "--size", "640x480", "--fps", "30",
         "--timing-log", timingLog, "--verbose"},
        cameraLog);
    if (!kestrel::bench::CameraProcess::waitForListener(options.port) || !camera.running()) {
        std::fprintf(stderr, "soak: FAIL: the simulated camera did not start (%s)\n",
                     options.camsim.c_str());
        std::ifstream log(cameraLog);
        for (std::string line; std::getline(log, line);) {
            std::fprintf(stderr, "  %s\n", line.c_str());
        }
        return 1;
    }

    kestrel::app::KestrelApplication application(argc, argv);
    std::map<std::string, std::size_t> errorBoxes;
    kestrel::app::KestrelApplication::exceptionReportHook() = [&](const QString& text) {
        ++errorBoxes["exception: " + text.toStdString()];
    };
    TForm1 form;
    form.errorBoxHook = [&](const QString& text) { ++errorBoxes[text.toStdString()]; };
    ShownFrames shown(form, static_cast<std::size_t>(options.seconds * kFramesPerSecond * 1.2));
    form.PaintBox1->installEventFilter(&shown);

    // Every notification the window turns into a command, counted as the window sees it.
    std::size_t commandsSent = 0;
    for (QPushButton* button :
         {form.btnMoveUp, form.btnMoveLeft, form.btnMoveRight, form.btnMoveDown, form.btnStatusOn,
          form.btnStatusOff, form.btnStreamSelect1, form.btnStreamSelect2, form.btnStreamSelect3,
          form.btnReset}) {
        QObject::connect(button, &QPushButton::clicked, [&] { ++commandsSent; });
    }
    QObject::connect(form.tbBrightness, &QSlider::actionTriggered, [&] { ++commandsSent; });
    QObject::connect(form.tbBrightness, &QSlider::sliderReleased, [&] { ++commandsSent; });

    form.show();
    form.txtAddress->setText(QStringLiteral("127.0.0.1"));
    form.txtPort->setText(QString::number(options.port));
    form.txtUser->setText(QStringLiteral("admin"));
    form.txtPass->setText(QStringLiteral("lanterns"));
    form.cmdConnect->click();
    form.btnStreamStart->click();
    if (!form.Timer1->isActive()) {
        std::fprintf(stderr, "soak: FAIL: the stream did not start\n");
        for (const auto& [text, times] : errorBoxes) {
            std::fprintf(stderr, "  error box: %s\n", text.c_str());
        }
        return 1;
    }

    std::mt19937 random(options.seed);
    std::vector<CommandKind> kinds = commandKinds(form, random);
    std::uniform_int_distribution<std::size_t> pickKind(0, kinds.size() - 1);
    std::uniform_int_distribution<int> pickDelay(options.minDelayMs, options.maxDelayMs);
    QTimer commandTimer;
    commandTimer.setSingleShot(true);
    QObject::connect(&commandTimer, &QTimer::timeout, [&] {
        CommandKind& kind = kinds[pickKind(random)];
        std::uniform_int_distribution<std::size_t> pickWay(0, kind.ways.size() - 1);
        kind.ways[pickWay(random)]();
        ++kind.given;
        commandTimer.start(pickDelay(random));
    });
    commandTimer.start(pickDelay(random));

    // Resident memory: at the start, every few seconds, after the warm-up and at the end.
    const std::int64_t startedAt = monotonicNanoseconds();
    const auto sinceStart = [&] {
        return static_cast<double>(monotonicNanoseconds() - startedAt) / 1e9;
    };
    std::vector<Sample> samples;
    samples.reserve(static_cast<std::size_t>(options.seconds / options.sampleEvery) + 16);
    const auto sample = [&] {
        samples.push_back({sinceStart(), residentMegabytes()});
        return samples.back().megabytes;
    };
    const double rssStart = sample();
    double rssAfterWarmup = rssStart;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, sample);
    sampler.start(static_cast<int>(options.sampleEvery * 1000));
    QTimer::singleShot(static_cast<int>(options.warmup * 1000), [&] { rssAfterWarmup = sample(); });
    std::int64_t endedAt = 0;
    double rssEnd = 0;
    QTimer::singleShot(static_cast<int>(options.seconds * 1000), [&] {
        commandTimer.stop();
        sampler.stop();
        rssEnd = sample();
        endedAt = monotonicNanoseconds();
        QCoreApplication::quit();
    });
    kestrel::app::KestrelApplication::exec();
    const double elapsed = static_cast<double>(endedAt - startedAt) / 1e9;
    form.btnStreamStopClick(form.btnStreamStop);
    const bool cameraRan = camera.running();
    camera.stop();

    // The camera's timing log: frame number, fingerprint, packets, when its last byte left.
    std::size_t sent = 0;
    std::unordered_set<std::uint64_t> sentFingerprints;
    {
        std::ifstream log(timingLog);
        std::uint64_t number = 0;
        std::uint64_t fingerprint = 0;
        std::size_t packets = 0;
        std::int64_t at = 0;
        while (log >> number >> fingerprint >> packets >> at) {
            if (at < endedAt) {
                ++sent;
                sentFingerprints.insert(fingerprint);
            }
        }
    }
    const std::size_t shownCount = shown.count();
    const auto kept = shown.fingerprints();
    const auto matched = static_cast<std::size_t>(std::count_if(
        kept.begin(), kept.end(), [&](std::uint64_t f) { return sentFingerprints.contains(f); }));
    const CameraCommands cameraCommands = readCameraLog(cameraLog);

    double rssMin = rssStart;
    double rssMax = rssStart;
    double rssMaxAfterWarmup = rssAfterWarmup;
    for (const Sample& s : samples) {
        rssMin = std::min(rssMin, s.megabytes);
        rssMax = std::max(rssMax, s.megabytes);
        if (s.at >= options.warmup) {
            rssMaxAfterWarmup = std::max(rssMaxAfterWarmup, s.megabytes);
        }
    }
    const double growth = rssEnd - rssAfterWarmup;
    const bool stableMemory = growth <= options.limitMegabytes;

    std::printf(
        "soak: 640x480 at 30 fps for %.0f s (warm-up %.0f s), commands every %d-%d ms, "
        "seed %u\n",
        elapsed, options.warmup, options.minDelayMs, options.maxDelayMs, options.seed);
    std::printf("  frames the camera sent    %zu (%.1f per second)\n", sent,
                static_cast<double>(sent) / elapsed);
    std::printf(
        "  frames shown              %zu (%.1f per second); %zu of the first %zu match a "
        "frame sent\n",
        shownCount, static_cast<double>(shownCount) / elapsed, matched, kept.size());
    const std::size_t dropped = sent > shownCount ? sent - shownCount : 0;
    std::printf("  frames dropped            %zu (%.2f %%)\n", dropped,
                sent > 0 ? 100.0 * static_cast<double>(dropped) / static_cast<double>(sent) : 0);
    std::printf("  commands sent             %zu notifications from", commandsSent);
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        std::printf("%s %zu %s", i == 0 ? "" : ",", kinds[i].given, kinds[i].name);
    }
    std::printf(" actions\n");
    std::printf(
        "  commands the camera took  %zu, of which it refused %zu (replies pass the "
        "window by while streaming)\n",
        cameraCommands.received, cameraCommands.refused);
    if (errorBoxes.empty()) {
        std::printf("  error boxes               none\n");
    } else {
        for (const auto& [text, times] : errorBoxes) {
            std::printf("  error box                 %zu x \"%s\"\n", times, text.c_str());
        }
    }
    std::printf("  resident memory           start %.2f MB, after warm-up %.2f MB, end %.2f MB\n",
                rssStart, rssAfterWarmup, rssEnd);
    std::printf(
        "                            min %.2f MB, max %.2f MB (after warm-up %.2f MB) "
        "over %zu samples\n",
        rssMin, rssMax, rssMaxAfterWarmup, samples.size());
    std::printf("  series (s: MB)           ");
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::printf("%s %.0f: %.2f", i > 0 && i % 8 == 0 ? "\n                           " : "",
                    samples[i].at, samples[i].megabytes);
    }
    std::printf("\n  growth after warm-up      %+.2f MB (limit %.1f MB)\n", growth,
                options.limitMegabytes);

    bool pass = true;
    if (!stableMemory) {
        std::printf(
            "soak: FAIL: resident memory grew by %.2f MB after the warm-up, more than "
            "%.1f MB\n",
            growth, options.limitMegabytes);
        pass = false;
    }
    if (shownCount == 0) {
        std::printf("soak: FAIL: the window showed no frame\n");
        pass = false;
    }
    if (!cameraRan) {
        std::printf("soak: FAIL: the simulated camera ended during the run\n");
        pass = false;
    }
    if (pass) {
        std::printf("soak: PASS\n");
    }
    return pass ? 0 : 1;
}
