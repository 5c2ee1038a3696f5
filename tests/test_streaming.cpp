// Starting, pumping, showing and stopping the live stream through the real window.

#include <QApplication>
#include <QTest>

#include "app/application.h"
#include "protocol/stream_packet.h"
#include "protocol/wire.h"
#include "tools/camsim/sample_frames.h"
#include "window_fixture.h"

using namespace kestrel::testing;
using namespace std::chrono_literals;
namespace p = kestrel::protocol;
using kestrel::camsim::encodedFrame;
using kestrel::camsim::framePackets;

namespace {

Bytes request(const auto& message) {
    return {message.begin(), message.end()};
}

const Bytes kAck1 = commandReply(p::Ack, 1);

bool streaming(const TForm1& f) {
    return f.Timer1->isActive() && !f.btnStreamStart->isEnabled() && f.btnStreamStop->isEnabled();
}
bool idle(const TForm1& f) {
    return !f.Timer1->isActive() && f.btnStreamStart->isEnabled() && !f.btnStreamStop->isEnabled();
}

}  // namespace

class TestStreaming : public QObject {
    Q_OBJECT

private slots:
    void startShowsFramesAndStopDrainsToIdle() {
        // The Ack and the first frame arrive in one piece: nothing of the frame is lost.
        const Bytes frame = framePackets(160, 120);
        FakeCamera camera(afterLogon({Expect{11}, Send{concat({kAck1, frame})}, Expect{4},
                                      Send{concat({commandReply(p::Ack, 2), frame})}}));
        Window w;
        TForm1& f = w.form;
        w.connectTo(camera);
        f.btnStreamStart->click();
        QCOMPARE(w.errors, QStringList());
        QVERIFY(streaming(f));
        QVERIFY(!Access::stopRequested(f));
        QVERIFY(!f.cmdConnect->isEnabled() && f.cmdDisconnect->isEnabled());

        QVERIFY(waitUntil([&] { return Access::frames(f).imageLen > 0; }));
        QCOMPARE(Access::picture(f)->width, 160);
        QCOMPARE(Access::picture(f)->height, 120);
        QCOMPARE(f.PaintBox1->picture().size(), QSize(160, 120));
        // A repaint draws the picture again rather than blanking the area.
        const QImage shown = f.PaintBox1->grab().toImage();
        QVERIFY(shown.pixelColor(80, 60) != f.PaintBox1->palette().color(QPalette::Window));

        const std::int32_t published = Access::frames(f).imageLen;
        f.btnStreamStop->click();
        QVERIFY(Access::stopRequested(f));
        QVERIFY(streaming(f) || !f.btnStreamStart->isEnabled());  // nothing visible until the tick
        QVERIFY(waitUntil([&] { return idle(f); }, std::chrono::milliseconds(5000)));
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY(Access::stopRequested(f));
        // The drain took the stop reply and the frame behind it without assembling it.
        QCOMPARE(Access::frames(f).imageLen, published);
        const Bytes sent = camera.waitForReceived(147);
        QCOMPARE(Bytes(sent.begin() + 132, sent.end()),
                 concat({request(p::buildStartStream(1, 0x2A)), request(p::buildStopStream(2))}));
    }

    void startRefusedOrUnanswered_data() {
        QTest::addColumn<int>("result");  // -1: no answer
        QTest::addColumn<QString>("expected");
        QTest::newRow("refused") << 3 << "Command failed: Error 3";
        QTest::newRow("error 0") << 0 << "Command failed: Error 0";
        QTest::newRow("silent") << -1 << "Failed to receive response.";
    }
    void startRefusedOrUnanswered() {
        QFETCH(int, result);
        QFETCH(QString, expected);
        std::vector<Step> then{Expect{11}};
        if (result >= 0) {
            then.emplace_back(Send{commandReply(static_cast<std::uint8_t>(result), 1)});
        }
        FakeCamera camera(afterLogon(then));
        Window w;
        w.connectTo(camera);
        w.form.btnStreamStart->click();
        QCOMPARE(w.errors, QStringList{expected});
        QVERIFY(idle(w.form));
    }

    void twoStopsBeforeATickAndOneDrain() {
        FakeCamera camera(
            afterLogon({Expect{11}, Send{kAck1}, Expect{8},
                        Send{concat({commandReply(p::Ack, 2), commandReply(p::Ack, 3)})}}));
        Window w;
        TForm1& f = w.form;
        w.connectTo(camera);
        f.btnStreamStart->click();
        f.btnStreamStopClick(f.btnStreamStop);
        f.btnStreamStopClick(f.btnStreamStop);
        QVERIFY(waitUntil([&] { return idle(f); }, std::chrono::milliseconds(5000)));
        QCOMPARE(w.errors, QStringList());
        const Bytes sent = camera.waitForReceived(151);
        QCOMPARE(Bytes(sent.begin() + 143, sent.end()),
                 concat({request(p::buildStopStream(2)), request(p::buildStopStream(3))}));
    }

    void disconnectWhileStreamingThenConnectAgain() {
        const Bytes frame = framePackets(160, 120);
        FakeCamera first(afterLogon({Expect{11}, Send{concat({kAck1, frame})}}));
        Window w;
        TForm1& f = w.form;
        w.connectTo(first);
        f.btnStreamStart->click();
        QVERIFY(waitUntil([&] { return Access::frames(f).imageLen > 0; }));

        f.cmdDisconnect->click();
        // Disconnected while streaming: the timer goes on, Start stays off, Stop on.
        QVERIFY(f.Timer1->isActive());
        QVERIFY(!f.btnStreamStart->isEnabled() && f.btnStreamStop->isEnabled());
        QVERIFY(f.cmdConnect->isEnabled() && !f.cmdDisconnect->isEnabled());
        QVERIFY(!Access::stopRequested(f));
        const std::uint8_t seq = Access::seqNo(f);
        f.btnStreamStop->click();  // no connection: nothing happens
        QVERIFY(!Access::stopRequested(f));
        QCOMPARE(Access::seqNo(f), seq);
        QTest::qWait(20);  // ticks on a closed connection end at once
        QVERIFY(f.Timer1->isActive());

        // A new logon while the timer runs: buttons as Connected, the timer still on, and
        // Start does nothing; the pump reads the new connection.
        FakeCamera second(afterLogon({Send{frame}}));
        w.connectTo(second);
        QCOMPARE(w.errors, QStringList());
        QVERIFY(f.Timer1->isActive());
        QVERIFY(f.btnStreamStart->isEnabled() && !f.btnStreamStop->isEnabled());
        f.btnStreamStart->click();
        QCOMPARE(Access::seqNo(f), std::uint8_t{1});
        QCOMPARE(second.waitForReceived(133, 200ms).size(), 132U);
        QVERIFY(waitUntil([&] { return Access::frames(f).imageLen > 0; }));
    }

    void disconnectWhileStoppingEndsTheDrainAtOnce() {
        FakeCamera camera(afterLogon({Expect{11}, Send{kAck1}}));
        Window w;
        TForm1& f = w.form;
        w.connectTo(camera);
        f.btnStreamStart->click();
        f.btnStreamStopClick(f.btnStreamStop);
        f.cmdDisconnectClick(f.cmdDisconnect);
        QVERIFY(f.Timer1->isActive());
        QVERIFY(waitUntil([&] { return idle(f); }));
        QVERIFY(f.cmdConnect->isEnabled());
    }

    void aFrameThatFailsToDecodeKeepsThePictureAndTheStream() {
        const Bytes good = framePackets(160, 120);
        const Bytes large = framePackets(320, 240);
        // A frame whose data starts a second image: the decoder rejects it.
        const Bytes bad = p::packetiseFrame(Bytes{0xFF, 0xD8, 0xFF, 0xD9}, {120, 160});
        FakeCamera camera(afterLogon({Expect{11}, Send{kAck1}, Send{good}, Pause{300ms}, Send{bad},
                                      Pause{300ms}, Send{large}}));
        Window w;
        TForm1& f = w.form;
        w.connectTo(camera);
        f.btnStreamStart->click();
        QVERIFY(waitUntil([&] { return Access::frames(f).imageLen > 0; }));
        QCOMPARE(f.PaintBox1->picture().size(), QSize(160, 120));
        const QImage before = f.PaintBox1->picture().copy();
        QVERIFY(waitUntil([&] { return Access::frames(f).imageLen == std::int32_t{400 + 4}; }));
        QCOMPARE(f.PaintBox1->picture(), before);  // published, not shown
        QVERIFY(waitUntil([&] { return f.PaintBox1->picture().size() == QSize(320, 240); }));
        QVERIFY(f.Timer1->isActive());
        QCOMPARE(w.errors, QStringList());
    }

    void aCameraThatNeverFallsSilentCannotHoldTheDrainForEver() {
        FakeCamera camera(afterLogon(
            {Expect{11}, Send{kAck1}, Expect{4}, SendForever{framePackets(160, 120), 2ms}}));
        Window w;
        TForm1& f = w.form;
        w.connectTo(camera);
        f.btnStreamStart->click();
        f.btnStreamStop->click();
        QVERIFY(waitUntil([&] { return idle(f); }, std::chrono::milliseconds(15000)));
    }
};

int main(int argc, char* argv[]) {
    kestrel::app::KestrelApplication application(argc, argv);
    TestStreaming test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_streaming.moc"
