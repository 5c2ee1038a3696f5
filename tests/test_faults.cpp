// Fault scenarios through the real window against the scripted camera: a camera that hangs up,
// stalls, trickles, floods or sends rubbish; frames at and past the frame buffer's size; pictures
// the decoder refuses; a connection reset under a command; a settings folder that cannot be made;
// a disk that fills while a snapshot is saved. Each row says what the window must show and hold.
// Every row then checks that the window is still of use: Disconnect works, a new logon and a
// command go through without a message, and closing the window shows nothing.

#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string_view>

#include "app/application.h"
#include "connection/messages.h"
#include "protocol/jpeg_header.h"
#include "protocol/stream_packet.h"
#include "protocol/wire.h"
#include "tools/camsim/sample_frames.h"
#include "video/snapshot.h"
#include "window_fixture.h"

using namespace kestrel::testing;
using namespace std::chrono_literals;
namespace p = kestrel::protocol;
namespace text = kestrel::connection::text;
using kestrel::app::KestrelApplication;
using kestrel::camsim::encodedFrame;
using kestrel::camsim::framePackets;

namespace {

// How long a row may take to reach a state: far more than it needs, even under a sanitizer on a
// loaded machine. Only a failing row waits this long.
constexpr std::chrono::milliseconds kPatience = 60s;

constexpr QSize kSmall(160, 120);
constexpr QSize kLarge(320, 240);
constexpr QSize kNothing(0, 0);  // no picture shown
constexpr std::int32_t kAnyLength = -1;

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// ---- What the camera sends

Bytes head(const Bytes& bytes, std::size_t count) {
    return {bytes.begin(), bytes.begin() + static_cast<long>(count)};
}

Bytes from(const Bytes& bytes, std::size_t start) {
    return {bytes.begin() + static_cast<long>(start), bytes.end()};
}

// The packets of a run of whole packets, each as long as its Length says.
std::vector<std::span<const std::uint8_t>> packetsOf(const Bytes& packets) {
    std::vector<std::span<const std::uint8_t>> all;
    for (std::size_t at = 0; at < packets.size();) {
        const std::size_t length = p::packetLength(packets[at], packets[at + 1]);
        all.emplace_back(packets.data() + at, length);
        at += length;
    }
    return all;
}

// What whole frame packets assemble to in the window: the JPEG header and every packet's data.
std::int32_t assembledLength(const Bytes& packets) {
    std::size_t length = p::kJpegHeaderSize;
    for (const auto packet : packetsOf(packets)) {
        length += packet.size() - p::frameHeaderSize(packet[2]).value();
    }
    return static_cast<std::int32_t>(length);
}

Bytes frameOf(const Bytes& data, std::uint16_t width, std::uint16_t height) {
    return p::packetiseFrame(data, {height, width});
}

const Bytes& smallFrame() {
    static const Bytes frame = framePackets(kSmall.width(), kSmall.height());
    return frame;
}

const Bytes& largeFrame() {
    static const Bytes frame = framePackets(kLarge.width(), kLarge.height());
    return frame;
}

// A small frame whose JPEG header and data make `total` bytes: the picture, then zeros behind its
// end marker, which the decoder does not read.
Bytes paddedFrame(std::size_t total) {
    Bytes data = encodedFrame(kSmall.width(), kSmall.height());
    data.resize(total - p::kJpegHeaderSize, 0);
    return frameOf(data, kSmall.width(), kSmall.height());
}

// The data with a second start-of-image marker written over it at `at`: libjpeg refuses it.
Bytes withSecondStart(Bytes data, std::size_t at) {
    data[at] = 0xFF;
    data[at + 1] = 0xD8;
    return data;
}

// A packet of Length 65535, far longer than the window's receive buffer.
Bytes oversizedPacket() {
    Bytes packet(0xFFFF, 0);
    packet[0] = 0xFF;
    packet[1] = 0xFF;
    packet[2] = static_cast<std::uint8_t>(p::PacketKind::MiddlePacket);
    return packet;
}

// Random bytes (the same every run), made up with zeros to whole packets as the window counts
// them, so that the byte after them starts a packet again.
Bytes garbage(std::size_t count) {
    std::mt19937 random(20240611);
    Bytes bytes(count);
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<std::uint8_t>(random()); });
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (at + 1 == bytes.size()) {
            bytes.push_back(0);
        }
        at += p::packetLength(bytes[at], bytes[at + 1]);
    }
    bytes.resize(at, 0);
    return bytes;
}

// ---- The table

enum class Act {
    OpenAndClose,    // nothing: the window opens, is used and closes
    Logon,           // Connect
    Command,         // Connect, then Move Up, which reads its reply
    Stream,          // Connect and Start; once the camera's bytes are in, Stop: idle again
    StreamGoesOn,    // as Stream, but before the Stop, Status On: the camera's cue for a good frame
    StreamCommand,   // as Stream, but instead of the Stop, Move Up (its reply is left to the pump)
    StreamSnapshot,  // as Stream, but before the Stop, a snapshot over an existing file, disk full
};

// What the window holds once the camera's bytes are in: the length of the last published frame,
// of the frame in assembly (kAnyLength: not checked) and the size of the picture shown.
struct Seen {
    std::int32_t imageLen = 0;
    std::int32_t frameLen = 0;
    QSize shown = kNothing;
};

Seen shows(const Bytes& frame, QSize size) {
    return {assembledLength(frame), assembledLength(frame), size};
}

struct Fault {
    Act act = Act::OpenAndClose;
    std::vector<Step> camera;  // what the camera does on the act's request
    QStringList errors;        // every message shown, in order
    bool connected = false;    // whether the window holds the connection afterwards
    Seen seen;
};

// The camera's whole script for a row. In the stream rows it sends a good frame when asked (Status
// On) and hangs up on the Stop, so that the Stop's drain ends at once.
std::vector<Step> scriptFor(const Fault& fault) {
    const auto join = [](std::vector<Step> steps, const std::vector<Step>& more) {
        steps.insert(steps.end(), more.begin(), more.end());
        return steps;
    };
    switch (fault.act) {
        case Act::OpenAndClose:
            return {};
        case Act::Logon:
            return join({Expect{p::kLogonSize}}, fault.camera);
        case Act::Command:
            return afterLogon(join({Expect{p::kMoveCameraSize}}, fault.camera));
        default:
            break;
    }
    std::vector<Step> steps =
        join({Expect{p::kStartStreamSize}, Send{commandReply(p::Ack, 1)}}, fault.camera);
    if (fault.act == Act::StreamGoesOn) {
        steps = join(steps, {Expect{p::kSetStatusLightSize}, Send{smallFrame()}});
    }
    return afterLogon(join(steps, {Expect{p::kStopStreamSize}, Close{}}));
}

// ---- The window

// The window of one row, its error boxes and any exception that leaves an event handler collected,
// with a settings folder of its own; with `settingsBlocked` that folder lies under a regular file,
// so that it cannot be made, not even by root.
class FaultWindow {
public:
    explicit FaultWindow(bool settingsBlocked) : blocker_(settings_.path() + "/file") {
        if (settingsBlocked) {
            QFile file(blocker_);
            (void)file.open(QIODevice::WriteOnly);  // checked by the row
            qputenv("XDG_CONFIG_HOME", (blocker_ + "/config").toUtf8());
        }
        form = std::make_unique<TForm1>();
        form->errorBoxHook = [this](const QString& text) { errors << text; };
        KestrelApplication::exceptionReportHook() = [this](const QString& text) {
            errors << "exception: " + text;
        };
    }
    ~FaultWindow() { KestrelApplication::exceptionReportHook() = nullptr; }
    FaultWindow(const FaultWindow&) = delete;
    FaultWindow& operator=(const FaultWindow&) = delete;

    void connectTo(const FakeCamera& camera) const {
        form->txtAddress->setText(QStringLiteral("127.0.0.1"));
        form->txtPort->setText(QString::fromStdString(camera.portText()));
        form->cmdConnect->click();
    }
    // Everything in the settings folder, the blocking file included.
    [[nodiscard]] QStringList settingsFolder() const {
        return QDir(settings_.path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    [[nodiscard]] bool blockerIsAFile() const { return QFileInfo(blocker_).isFile(); }

private:
    IsolatedSettings settings_;
    QString blocker_;

public:
    std::unique_ptr<TForm1> form;
    QStringList errors;
};

bool idle(const TForm1& f) {
    return !f.Timer1->isActive() && f.btnStreamStart->isEnabled() && !f.btnStreamStop->isEnabled();
}

// Waits until the window holds what `seen` says, then compares it part by part.
void settle(const TForm1& f, const Seen& seen) {
    const auto& frames = Access::frames(f);
    waitUntil(
        [&] {
            return frames.imageLen == seen.imageLen &&
                   (seen.frameLen == kAnyLength || frames.frameLen == seen.frameLen) &&
                   f.PaintBox1->picture().size() == seen.shown;
        },
        kPatience);
    QCOMPARE(frames.imageLen, seen.imageLen);
    if (seen.frameLen != kAnyLength) {
        QCOMPARE(frames.frameLen, seen.frameLen);
    }
    QCOMPARE(f.PaintBox1->picture().size(), seen.shown);
}

// ---- Saving on a full disk

// While it lives no file can grow beyond `bytes`, as on a full disk: a write past that fails
// (EFBIG) instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : previousHandler_(std::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limited = previous_;
        limited.rlim_cur = std::min(bytes, previous_.rlim_max);
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    using Handler = void (*)(int);
    Handler previousHandler_;
    rlimit previous_{};
};

// Saves a snapshot over an existing file, confirmed, while files cannot grow past 1 KiB (the frame
// is larger). The old file stays as it was and nothing is left beside it.
void snapshotOnAFullDisk(TForm1& f) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("old.jpg"));
    const QByteArray old(5000, 'x');
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(old) == old.size());
    }
    std::optional<FileSizeLimit> diskFull;
    whenOpen<QFileDialog>([&](QFileDialog* dialog) {
        whenOpen<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
        diskFull.emplace(1024);
        saveAs(dialog, path);
    });
    f.Button1->click();
    diskFull.reset();
    QVERIFY(Access::frames(f).imageLen > 1024);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), old);
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"old.jpg"});
}

// ---- Playing a row

void play(const Fault& fault, FaultWindow& w, const FakeCamera& camera) {
    TForm1& f = *w.form;
    if (fault.act == Act::OpenAndClose) {
        QVERIFY(w.blockerIsAFile());
        QCOMPARE(f.txtUser->text(), QStringLiteral("admin"));  // the texts as built
        return;
    }
    w.connectTo(camera);
    if (fault.act == Act::Command) {
        f.btnMoveUp->click();
    }
    if (fault.act == Act::Logon || fault.act == Act::Command) {
        return;
    }

    f.btnStreamStart->click();
    QVERIFY(f.Timer1->isActive());
    settle(f, fault.seen);
    if (QTest::currentTestFailed()) {
        return;
    }
    switch (fault.act) {
        case Act::StreamGoesOn:
            f.btnStatusOn->click();
            settle(f, shows(smallFrame(), kSmall));
            break;
        case Act::StreamSnapshot:
            snapshotOnAFullDisk(f);
            break;
        case Act::StreamCommand:
            f.btnMoveUp->click();
            QVERIFY(camera.waitFinished(kPatience));  // it has hung up
            QTest::qWait(200);                        // ticks meet the reset
            QVERIFY(f.Timer1->isActive() && f.btnStreamStop->isEnabled());
            settle(f, fault.seen);  // the picture stays
            // No Stop: whether it can still be sent depends on when the reset arrives.
            return;
        default:
            break;
    }
    if (QTest::currentTestFailed()) {
        return;
    }
    f.btnStreamStop->click();
    QVERIFY(waitUntil([&] { return idle(f); }, kPatience));
    QVERIFY(QApplication::overrideCursor() == nullptr);
}

// The window is still of use: Disconnect (when it holds a connection) leaves it ready to connect,
// and a new logon and a command then go through without a message.
void stillOfUse(FaultWindow& w, bool connected) {
    TForm1& f = *w.form;
    QCOMPARE(Access::connected(f), connected);
    QCOMPARE(f.cmdDisconnect->isEnabled(), connected);
    QCOMPARE(f.cmdConnect->isEnabled(), !connected);
    f.cmdDisconnect->click();
    QVERIFY(!Access::connected(f));
    QVERIFY(f.cmdConnect->isEnabled() && !f.cmdDisconnect->isEnabled());

    const QStringList before = w.errors;
    FakeCamera healthy(afterLogon({Expect{p::kMoveCameraSize}, Send{commandReply(p::Ack, 1)}}));
    w.connectTo(healthy);
    QVERIFY(Access::connected(f));
    f.btnMoveUp->click();
    constexpr std::size_t kBoth = p::kLogonSize + p::kMoveCameraSize;
    QCOMPARE(healthy.waitForReceived(kBoth).size(), kBoth);
    f.cmdDisconnect->click();
    QVERIFY(!Access::connected(f));
    QCOMPARE(w.errors, before);
}

}  // namespace

Q_DECLARE_METATYPE(Fault)

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void faults_data() {
        QTest::addColumn<Fault>("fault");
        const Bytes& small = smallFrame();
        const Bytes& large = largeFrame();
        const Seen smallShown = shows(small, kSmall);
        const Seen largeShown = shows(large, kLarge);
        const std::size_t largeFirst = packetsOf(large).front().size();
        const std::size_t largeLast = packetsOf(large).back().size();
        const Bytes largeButLast = head(large, large.size() - largeLast);
        // The small frame shown, the large one in assembly up to its last packet.
        const Seen cutOff{assembledLength(small), assembledLength(largeButLast), kSmall};
        const Bytes tiny = framePackets(2, 2);
        const Bytes data = encodedFrame(kSmall.width(), kSmall.height());
        // After a large frame, one the decoder refuses: published, but the large picture stays.
        // Then the camera sends a good small frame, and it shows.
        const auto refused = [&](const Bytes& frame) {
            const std::int32_t length = assembledLength(frame);
            return Fault{Act::StreamGoesOn,
                         {Send{concat({large, frame})}},
                         {},
                         true,
                         {length, length, kLarge}};
        };

        QTest::newRow("closes mid-logon") << Fault{Act::Logon,
                                                   {Send{head(logonReply(p::Ack), 10)}, Close{}},
                                                   {qs(text::FailedToReceiveLogon)},
                                                   false,
                                                   {}};
        QTest::newRow("closes mid-reply")
            << Fault{Act::Command,
                     {Send{head(commandReply(p::Ack, 1), 2)}, Close{}},
                     {qs(text::FailedToReceiveResponse)},
                     true,
                     {}};
        QTest::newRow("closes mid-frame")
            << Fault{Act::Stream, {Send{concat({small, largeButLast})}, Close{}}, {}, true, cutOff};
        QTest::newRow("closes mid-packet")
            << Fault{Act::Stream,
                     {Send{concat({small, head(large, large.size() - largeLast / 2)})}, Close{}},
                     {},
                     true,
                     cutOff};
        QTest::newRow("stalls mid-packet longer than the wait")
            << Fault{Act::Stream,
                     {Send{concat({small, head(large, largeFirst / 2)})}, Pause{2s},
                      Send{from(large, largeFirst / 2)}},
                     {},
                     true,
                     largeShown};
        QTest::newRow("one byte every 100 ms")
            << Fault{Act::Stream, {SendSplit{tiny, 1, 100ms}}, {}, true, shows(tiny, {2, 2})};
        QTest::newRow("floods through the Stop")
            << Fault{Act::Stream,
                     {SendForever{small, 0ms}},
                     {},
                     true,
                     {assembledLength(small), kAnyLength, kSmall}};
        QTest::newRow("garbage, then a frame")
            << Fault{Act::Stream, {Send{concat({garbage(1 << 20), small})}}, {}, true, smallShown};
        QTest::newRow("Length 65535") << Fault{
            Act::Stream, {Send{concat({small, oversizedPacket(), large})}}, {}, true, largeShown};
        QTest::newRow("frame of 99999 bytes")
            << Fault{Act::Stream, {Send{paddedFrame(99'999)}}, {}, true, {99'999, 99'999, kSmall}};
        QTest::newRow("frame of 100001 bytes")
            << Fault{Act::StreamGoesOn,
                     {Send{concat({large, paddedFrame(100'001)})}},
                     {},
                     true,
                     {assembledLength(large), 0, kLarge}};
        QTest::newRow("JPEG refused at the header") << refused(frameOf(data, kSmall.width(), 0));
        QTest::newRow("JPEG refused in the middle") << refused(
            frameOf(withSecondStart(data, data.size() / 2), kSmall.width(), kSmall.height()));
        QTest::newRow("JPEG refused at the end") << refused(
            frameOf(withSecondStart(data, data.size() - 2), kSmall.width(), kSmall.height()));
        QTest::newRow("reset during a command while streaming")
            << Fault{Act::StreamCommand, {Send{small}, Expect{1}, Close{}}, {}, true, smallShown};
        QTest::newRow("settings folder not writable")
            << Fault{Act::OpenAndClose, {}, {}, false, {}};
        QTest::newRow("disk full while saving a snapshot")
            << Fault{Act::StreamSnapshot,
                     {Send{small}},
                     {qs(kestrel::video::kFailedToWriteSnapshot)},
                     true,
                     smallShown};
    }

    void faults() {
        QFETCH(Fault, fault);
        FakeCamera camera(scriptFor(fault));
        FaultWindow w(fault.act == Act::OpenAndClose);
        play(fault, w, camera);
        if (QTest::currentTestFailed()) {
            return;
        }
        QCOMPARE(w.errors, fault.errors);
        stillOfUse(w, fault.connected);
        if (QTest::currentTestFailed()) {
            return;
        }
        w.form->close();
        QCOMPARE(w.errors, fault.errors);  // closing shows nothing
        if (fault.act == Act::OpenAndClose) {
            // Nothing was written anywhere, and the file in the way is still a file.
            QCOMPARE(w.settingsFolder(), QStringList{"file"});
            QVERIFY(w.blockerIsAFile());
        }
    }
};

int main(int argc, char* argv[]) {
    KestrelApplication application(argc, argv);
    TestFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_faults.moc"
