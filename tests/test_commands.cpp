// The camera commands through the window's controls: the bytes they send, whether they read a
// reply, and the messages they show.

#include <QTest>

#include "app/application.h"
#include "protocol/wire.h"
#include "window_fixture.h"

using namespace kestrel::testing;
using namespace std::chrono_literals;
namespace p = kestrel::protocol;

namespace {

template <typename Message>
Bytes bytesOf(const Message& message) {
    return {message.begin(), message.end()};
}

enum class Control { Up, Down, Left, Right, On, Off, Size1, Size2, Size3, Brightness, Reset };

struct Row {
    Bytes request;  // built with the sequence number it must carry
    bool readsReply;
};

Row expectedFor(Control control, std::uint8_t seq) {
    switch (control) {
        case Control::Up:
            return {bytesOf(p::buildMoveCamera(seq, 0)), true};
        case Control::Down:
            return {bytesOf(p::buildMoveCamera(seq, 2)), true};
        case Control::Left:
            return {bytesOf(p::buildMoveCamera(seq, 4)), true};
        case Control::Right:
            return {bytesOf(p::buildMoveCamera(seq, 6)), true};
        case Control::On:
            return {bytesOf(p::buildSetStatusLight(seq, 1)), false};
        case Control::Off:
            return {bytesOf(p::buildSetStatusLight(seq, 0)), false};
        case Control::Size1:
            return {bytesOf(p::buildSelectStream(seq, 0)), false};
        case Control::Size2:
            return {bytesOf(p::buildSelectStream(seq, 1)), false};
        case Control::Size3:
            return {bytesOf(p::buildSelectStream(seq, 2)), false};
        case Control::Brightness:
            return {bytesOf(p::buildSetBrightness(seq, 1)), true};
        case Control::Reset:
            return {bytesOf(p::buildResetCamera(seq)), true};
    }
    return {};
}

void operate(TForm1& f, Control control) {
    switch (control) {
        case Control::Up:
            f.btnMoveUp->click();
            break;
        case Control::Down:
            f.btnMoveDown->click();
            break;
        case Control::Left:
            f.btnMoveLeft->click();
            break;
        case Control::Right:
            f.btnMoveRight->click();
            break;
        case Control::On:
            f.btnStatusOn->click();
            break;
        case Control::Off:
            f.btnStatusOff->click();
            break;
        case Control::Size1:
            f.btnStreamSelect1->click();
            break;
        case Control::Size2:
            f.btnStreamSelect2->click();
            break;
        case Control::Size3:
            f.btnStreamSelect3->click();
            break;
        case Control::Brightness:
            f.tbBrightness->triggerAction(QAbstractSlider::SliderSingleStepAdd);
            break;
        case Control::Reset:
            f.btnReset->click();
            break;
    }
}

}  // namespace

class TestCommands : public QObject {
    Q_OBJECT

private slots:
    void eachControlSendsItsRequest_data() {
        QTest::addColumn<int>("control");
        QTest::addColumn<bool>("streamRunning");
        const char* names[] = {"up",       "down",       "left",    "right",
                               "light on", "light off",  "160x120", "320x240",
                               "640x480",  "brightness", "reset"};
        for (int c = 0; c <= static_cast<int>(Control::Reset); ++c) {
            QTest::addRow("%s", names[c]) << c << false;
            QTest::addRow("%s while streaming", names[c]) << c << true;
        }
    }

    void eachControlSendsItsRequest() {
        QFETCH(int, control);
        QFETCH(bool, streamRunning);
        // The camera answers every command with error 7, so a reply that is read shows up.
        const std::uint8_t seq = streamRunning ? 2 : 1;
        const Row row = expectedFor(static_cast<Control>(control), seq);
        std::vector<Step> script;
        if (streamRunning) {
            script = afterLogon({Expect{11}, Send{commandReply(p::Ack, 1)},
                                 Expect{row.request.size()}, Send{commandReply(7, seq)}});
        } else {
            script = afterLogon({Expect{row.request.size()}, Send{commandReply(7, seq)}});
        }
        FakeCamera camera(script);
        Window w;
        w.connectTo(camera);
        if (streamRunning) {
            w.form.btnStreamStart->click();
            QVERIFY(w.form.Timer1->isActive());
        }
        operate(w.form, static_cast<Control>(control));

        const std::size_t before = streamRunning ? 143 : 132;
        const Bytes got = camera.waitForReceived(before + row.request.size());
        QCOMPARE(Bytes(got.begin() + static_cast<long>(before), got.end()), row.request);
        QCOMPARE(Access::seqNo(w.form), static_cast<std::uint8_t>(seq + 1));
        const bool read = row.readsReply && !streamRunning;
        QCOMPARE(w.errors,
                 read ? QStringList{QStringLiteral("Command failed: Error 7")} : QStringList());
    }

    void repliesAndTheirMessages_data() {
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("expected");
        QTest::newRow("ack") << int{p::Ack} << QString();
        QTest::newRow("error 7") << 7 << "Command failed: Error 7";
        QTest::newRow("error 0") << 0 << "Command failed: Error 0";
    }
    void repliesAndTheirMessages() {
        QFETCH(int, result);
        QFETCH(QString, expected);
        FakeCamera camera(
            afterLogon({Expect{5}, Send{commandReply(static_cast<std::uint8_t>(result), 1)}}));
        Window w;
        w.connectTo(camera);
        w.form.btnMoveLeft->click();
        QCOMPARE(w.errors, expected.isEmpty() ? QStringList() : QStringList{expected});
    }

    void aReplyInPiecesIsCompleted() {
        FakeCamera camera(afterLogon({Expect{5}, SendSplit{commandReply(9, 1), 1, 100ms}}));
        Window w;
        w.connectTo(camera);
        w.form.btnMoveUp->click();
        QCOMPARE(w.errors, QStringList{QStringLiteral("Command failed: Error 9")});
    }

    void aLateReplyIsWhatTheNextReaderMeets() {
        FakeCamera camera(afterLogon({Expect{5}, Pause{1500ms}, Send{commandReply(9, 1)}, Expect{4},
                                      Send{commandReply(p::Ack, 2)}}));
        Window w;
        w.connectTo(camera);
        w.form.btnMoveUp->click();
        QCOMPARE(w.errors, QStringList{QStringLiteral("Failed to receive response.")});
        QTest::qWait(700);
        w.form.btnReset->click();
        QCOMPARE(w.errors.size(), 2);
        QCOMPARE(w.errors.at(1), QStringLiteral("Command failed: Error 9"));
    }

    void theStatusLightReplyIsReadByTheNextReadingCommand() {
        FakeCamera camera(afterLogon(
            {Expect{5}, Send{commandReply(9, 1)}, Expect{5}, Send{commandReply(p::Ack, 2)}}));
        Window w;
        w.connectTo(camera);
        w.form.btnStatusOn->click();
        QCOMPARE(w.errors, QStringList());
        camera.waitForReceived(137 + 5, 200ms);
        QTest::qWait(100);  // the light's reply is in the connection by now
        w.form.btnMoveDown->click();
        QCOMPARE(w.errors, QStringList{QStringLiteral("Command failed: Error 9")});
    }

    void aCameraThatClosedLeavesTheWindowConnected() {
        FakeCamera camera(afterLogon({Close{}}));
        Window w;
        w.connectTo(camera);
        QVERIFY(camera.waitFinished());
        w.form.btnReset->click();
        QCOMPARE(w.errors, QStringList{QStringLiteral("Failed to receive response.")});
        QVERIFY(Access::connected(w.form));
        QVERIFY(w.form.cmdDisconnect->isEnabled());
        // Later sends fail, and that is reported as such.
        for (int i = 0; i < 3; ++i) {
            w.form.btnMoveUp->click();
        }
        QCOMPARE(w.errors.last(), QStringLiteral("Failed to send request."));
    }

    void aKeyPressEndsWithTheLastPositionAgain() {
        std::vector<Step> answers;
        for (std::uint8_t seq = 1; seq <= 4; ++seq) {  // two key presses
            answers.emplace_back(Expect{8});
            answers.emplace_back(Send{commandReply(p::Ack, seq)});
        }
        FakeCamera camera(afterLogon(answers));
        Window w;
        w.form.show();
        QSlider* tb = w.form.tbBrightness;
        w.connectTo(camera);
        QTest::keyClick(tb, Qt::Key_Right);   // a step, then the end of the key press
        QTest::keyClick(tb, Qt::Key_PageUp);  // a page step the same way
        Bytes expected;
        const std::pair<std::uint8_t, std::int32_t> sent[] = {{1, 1}, {2, 1}, {3, 3}, {4, 3}};
        for (const auto& [seq, position] : sent) {
            const Bytes one = bytesOf(p::buildSetBrightness(seq, position));
            expected.insert(expected.end(), one.begin(), one.end());
        }
        const Bytes got = camera.waitForReceived(132 + expected.size());
        QCOMPARE(Bytes(got.begin() + 132, got.end()), expected);
        QCOMPARE(w.errors, QStringList());
    }

    void draggingSendsEachPositionAndTheLastAgain() {
        FakeCamera camera(afterLogon({}));
        Window w;
        w.connectTo(camera);
        QSlider* tb = w.form.tbBrightness;
        tb->setSliderDown(true);
        tb->setSliderPosition(3);
        tb->setSliderPosition(4);
        tb->setSliderPosition(6);
        tb->setSliderDown(false);  // the end of the drag
        std::vector<Bytes> expected;
        Bytes all;
        const std::int32_t positions[] = {3, 4, 6, 6};
        for (std::uint8_t i = 0; i < 4; ++i) {
            const Bytes one =
                bytesOf(p::buildSetBrightness(static_cast<std::uint8_t>(i + 1), positions[i]));
            all.insert(all.end(), one.begin(), one.end());
        }
        const Bytes got = camera.waitForReceived(132 + all.size());
        QCOMPARE(Bytes(got.begin() + 132, got.end()), all);
        // Nobody answered: each reading exchange reported it.
        QCOMPARE(w.errors.size(), 4);
    }
};

int main(int argc, char* argv[]) {
    kestrel::app::KestrelApplication application(argc, argv);
    TestCommands test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_commands.moc"
