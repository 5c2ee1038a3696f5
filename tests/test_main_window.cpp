// The main window through its real controls, against a scripted camera on loopback.

#include <QMessageBox>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <stdexcept>

#include "app/application.h"
#include "protocol/wire.h"

#include "window_fixture.h"

using namespace kestrel::testing;
namespace p = kestrel::protocol;

namespace {

struct Geometry {
    const char* name;
    QWidget* widget;
    QRect rect;
};

Bytes setBrightness(std::uint8_t seq, std::int32_t value) {
    const auto message = p::buildSetBrightness(seq, value);
    return {message.begin(), message.end()};
}

}  // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void windowAsDesigned() {
        Window w;
        TForm1& f = w.form;
        QCOMPARE(f.windowTitle(), QStringLiteral("Kestrel by Pellworth"));
        QCOMPARE(f.size(), QSize(498, 424));
        QVERIFY(!(f.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(f.windowFlags() & Qt::WindowMinimizeButtonHint);
        QCOMPARE(f.font().pixelSize(), 11);
        QVERIFY(f.btnStreamStart->font().bold());
        QVERIFY(!f.btnStreamStop->font().bold());
        QCOMPARE(QApplication::applicationName(), QStringLiteral("Kestrel"));
        QVERIFY(QGuiApplication::applicationDisplayName() == QStringLiteral("Kestrel") ||
                QGuiApplication::applicationDisplayName().isEmpty());

        const std::vector<Geometry> controls{
            {"txtAddress", f.txtAddress, {80, 8, 89, 21}},
            {"cmdConnect", f.cmdConnect, {175, 35, 74, 22}},
            {"cmdDisconnect", f.cmdDisconnect, {175, 62, 74, 21}},
            {"txtPort", f.txtPort, {207, 8, 42, 21}},
            {"txtUser", f.txtUser, {80, 35, 89, 21}},
            {"txtPass", f.txtPass, {80, 62, 89, 21}},
            {"GroupBox1", f.GroupBox1, {273, 7, 102, 76}},
            {"btnMoveUp", f.btnMoveUp, {39, 21, 25, 23}},
            {"btnMoveLeft", f.btnMoveLeft, {13, 33, 25, 23}},
            {"btnMoveRight", f.btnMoveRight, {65, 33, 25, 23}},
            {"btnMoveDown", f.btnMoveDown, {39, 44, 25, 23}},
            {"GroupBox2", f.GroupBox2, {381, 7, 100, 76}},
            {"btnStatusOn", f.btnStatusOn, {15, 21, 33, 23}},
            {"btnStatusOff", f.btnStatusOff, {54, 21, 33, 23}},
            {"GroupBox3", f.GroupBox3, {8, 89, 102, 112}},
            {"btnStreamSelect1", f.btnStreamSelect1, {12, 20, 78, 23}},
            {"btnStreamSelect2", f.btnStreamSelect2, {12, 49, 78, 23}},
            {"btnStreamSelect3", f.btnStreamSelect3, {12, 78, 78, 23}},
            {"GroupBox4", f.GroupBox4, {8, 255, 97, 82}},
            {"btnStreamStart", f.btnStreamStart, {9, 20, 78, 23}},
            {"btnStreamStop", f.btnStreamStop, {9, 49, 78, 23}},
            {"btnReset", f.btnReset, {8, 393, 65, 23}},
            {"GroupBox5", f.GroupBox5, {116, 89, 374, 327}},
            {"PaintBox1", f.PaintBox1, {7, 18, 360, 302}},
            {"Button1", f.Button1, {8, 343, 102, 23}},
            {"GroupBox6", f.GroupBox6, {8, 207, 102, 42}},
            {"tbBrightness", f.tbBrightness, {3, 16, 96, 21}},
            {"sbGrippy", f.sbGrippy, {482, 408, 16, 16}},
        };
        for (const Geometry& g : controls) {
            QVERIFY2(g.widget->geometry() == g.rect, g.name);
            const bool startsDisabled = g.widget == f.cmdDisconnect || g.widget == f.btnStreamStop;
            QVERIFY2(g.widget->isEnabled() == !startsDisabled, g.name);
        }
        QCOMPARE(f.PaintBox1->parentWidget(), f.GroupBox5);
        QCOMPARE(f.btnStreamStop->parentWidget(), f.GroupBox4);
        QVERIFY(!f.Timer1->isActive());
        QCOMPARE(f.Timer1->interval(), 1);

        const std::vector<std::pair<QPushButton*, QString>> captions{
            {f.cmdConnect, "&Connect"},
            {f.cmdDisconnect, "&Disconnect"},
            {f.btnMoveUp, "U"},
            {f.btnMoveDown, "D"},
            {f.btnMoveLeft, "L"},
            {f.btnMoveRight, "R"},
            {f.btnStatusOn, "On"},
            {f.btnStatusOff, "Off"},
            {f.btnStreamSelect1, "160x120"},
            {f.btnStreamSelect2, "320x240"},
            {f.btnStreamSelect3, "640x480"},
            {f.btnStreamStart, "Start"},
            {f.btnStreamStop, "Stop"},
            {f.btnReset, "Reset"},
            {f.Button1, "Snapshot..."},
        };
        for (const auto& [button, caption] : captions) {
            QCOMPARE(button->text(), caption);
        }
        const std::vector<std::pair<QGroupBox*, QString>> groups{
            {f.GroupBox1, "Move Camera"},   {f.GroupBox2, "Status Light"},
            {f.GroupBox3, "Stream Select"}, {f.GroupBox4, "Stream Control"},
            {f.GroupBox5, "Image Stream"},  {f.GroupBox6, "Brightness"},
        };
        for (const auto& [group, caption] : groups) {
            QCOMPARE(group->title(), caption);
        }
        const std::vector<std::pair<QPushButton*, int>> tags{
            {f.btnMoveUp, 0},        {f.btnMoveDown, 2},      {f.btnMoveLeft, 4},
            {f.btnMoveRight, 6},     {f.btnStatusOn, 1},      {f.btnStatusOff, 0},
            {f.btnStreamSelect1, 0}, {f.btnStreamSelect2, 1}, {f.btnStreamSelect3, 2},
        };
        for (const auto& [button, tag] : tags) {
            QCOMPARE(TForm1::tagOf(button), tag);
        }

        QCOMPARE(f.tbBrightness->minimum(), 0);
        QCOMPARE(f.tbBrightness->maximum(), 10);
        QCOMPARE(f.tbBrightness->value(), 0);
        QCOMPARE(f.tbBrightness->tickPosition(), QSlider::TicksBelow);
        QCOMPARE(f.tbBrightness->singleStep(), 1);
        QCOMPARE(f.tbBrightness->pageStep(), 2);
    }

    void editsAndLabels() {
        Window w;
        TForm1& f = w.form;
        QCOMPARE(f.txtAddress->text(), QString());
        QCOMPARE(f.txtPort->text(), QStringLiteral("1600"));
        QCOMPARE(f.txtUser->text(), QStringLiteral("admin"));
        QCOMPARE(f.txtPass->text(), QStringLiteral("lanterns"));
        QCOMPARE(f.txtPass->echoMode(), QLineEdit::Password);
        QCOMPARE(f.txtPass->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr,
                                               f.txtPass),
                 int('*'));
        QCOMPARE(f.txtAddress->maxLength(), 32767);  // Qt's own ceiling, no limit of ours

        const std::vector<std::pair<kestrel::app::LabeledEdit*, QString>> labels{
            {f.txtAddress, "IP Address:"},
            {f.txtPort, "Port:"},
            {f.txtUser, "User:"},
            {f.txtPass, "Password:"},
        };
        for (const auto& [edit, caption] : labels) {
            const QLabel* label = edit->EditLabel();
            QCOMPARE(label->text(), caption);
            QCOMPARE(label->geometry().right() + 1 + 3, edit->x());  // ends 3 pixels before it
            const int labelCentre2 = 2 * label->y() + label->height();
            const int editCentre2 = 2 * edit->y() + edit->height();
            QVERIFY(std::abs(labelCentre2 - editCentre2) <= 1);
            QVERIFY(label->x() >= 0);
        }
    }

    void tabOrder() {
        Window w;
        TForm1& f = w.form;
        f.show();
        const QList<QWidget*> expected{f.txtAddress,       f.cmdConnect,       f.txtPort,
                                       f.txtUser,          f.txtPass,          f.btnMoveUp,
                                       f.btnMoveLeft,      f.btnMoveRight,     f.btnMoveDown,
                                       f.btnStatusOn,      f.btnStatusOff,     f.btnStreamSelect1,
                                       f.btnStreamSelect2, f.btnStreamSelect3, f.btnStreamStart,
                                       f.btnReset,         f.Button1,          f.tbBrightness};
        // Walk the focus chain as Tab does: enabled, visible controls that take Tab focus.
        QList<QWidget*> visited;
        QWidget* at = f.txtAddress;
        do {
            if (at->isEnabled() && at->isVisible() && (at->focusPolicy() & Qt::TabFocus) &&
                at != &f) {
                visited << at;
            }
            at = at->nextInFocusChain();
        } while (at != f.txtAddress);
        QCOMPARE(visited, expected);
        QCOMPARE(f.sbGrippy->focusPolicy(), Qt::NoFocus);
    }

    void mnemonicsClickTheirButtons() {
        Window w;
        TForm1& f = w.form;
        f.show();
        f.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&f));
        // Through the window, as the platform delivers keys, so that shortcuts are looked up.
        QTest::keyClick(f.windowHandle(), Qt::Key_D, Qt::AltModifier);  // disabled: nothing
        QTest::qWait(300);
        QCOMPARE(w.errors, QStringList());
        QTest::keyClick(f.windowHandle(), Qt::Key_C, Qt::AltModifier);  // with no address typed
        // A mnemonic presses the button visibly, so its click comes a moment later.
        QTRY_COMPARE(w.errors, QStringList{QStringLiteral("Invalid IP address.")});
    }

    void resizingMovesOnlyTheAnchoredControls() {
        Window w;
        TForm1& f = w.form;
        f.show();
        const QRect connectBefore = f.cmdConnect->geometry();
        const QRect groupBefore = f.GroupBox1->geometry();
        f.resize(600, 500);
        QCoreApplication::processEvents();
        QCOMPARE(f.GroupBox5->geometry(), QRect(116, 89, 374 + 102, 327 + 76));
        QCOMPARE(f.PaintBox1->geometry(), QRect(7, 18, 360 + 102, 302 + 76));
        QCOMPARE(f.sbGrippy->geometry(), QRect(482 + 102, 408 + 76, 16, 16));
        QCOMPARE(f.cmdConnect->geometry(), connectBefore);
        QCOMPARE(f.GroupBox1->geometry(), groupBefore);
        f.resize(400, 300);
        QCoreApplication::processEvents();
        QCOMPARE(f.GroupBox5->geometry(), QRect(116, 89, 374 - 98, 327 - 124));
        QCOMPARE(f.sbGrippy->geometry(), QRect(482 - 98, 408 - 124, 16, 16));
    }

    void connectAndDisconnectStates() {
        FakeCamera camera({Expect{132}, Send{logonReply(p::Ack, 0x2A, 255)}});
        Window w;
        TForm1& f = w.form;
        w.connectTo(camera);
        QCOMPARE(w.errors, QStringList());
        QVERIFY(Access::connected(f));
        QCOMPARE(Access::streamId(f), 42U);
        QCOMPARE(f.tbBrightness->maximum(), 255);
        QVERIFY(!f.cmdConnect->isEnabled());
        QVERIFY(f.cmdDisconnect->isEnabled());
        QVERIFY(f.btnStreamStart->isEnabled());
        QVERIFY(!f.btnStreamStop->isEnabled());
        QVERIFY(!f.Timer1->isActive());
        // Only the logon went out: a maximum above the position sends nothing.
        QCOMPARE(camera.waitForReceived(133, std::chrono::milliseconds(300)).size(), 132U);

        f.cmdDisconnect->click();
        QVERIFY(!Access::connected(f));
        QVERIFY(f.cmdConnect->isEnabled());
        QVERIFY(!f.cmdDisconnect->isEnabled());
        QVERIFY(f.btnStreamStart->isEnabled());
        QCOMPARE(Access::streamId(f), 42U);        // kept until the next logon
        QCOMPARE(f.tbBrightness->maximum(), 255);  // so is the range
        QVERIFY(camera.waitFinished());
    }

    void connectFailuresShowTheirTextAndCloseTheSocket_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("replyResult");  // -1: the camera closes; -2: no camera
        QTest::addColumn<QString>("expected");
        QTest::newRow("refused logon") << "127.0.0.1" << 2 << "Logon failed: Error 2";
        QTest::newRow("error number 0") << "127.0.0.1" << 0 << "Logon failed: Error 0";
        QTest::newRow("camera closes") << "127.0.0.1" << -1 << "Failed to receive logon response.";
        QTest::newRow("broadcast") << "255.255.255.255" << -2 << "Invalid IP address.";
        QTest::newRow("host name") << "camera" << -2 << "Invalid IP address.";
        QTest::newRow("multicast") << "224.0.0.1" << -2 << "Failed to connect to IP address.";
    }

    void connectFailuresShowTheirTextAndCloseTheSocket() {
        QFETCH(QString, address);
        QFETCH(int, replyResult);
        QFETCH(QString, expected);
        std::vector<Step> script{Expect{132}};
        if (replyResult >= 0) {
            script.emplace_back(Send{logonReply(static_cast<std::uint8_t>(replyResult))});
        } else {
            script.emplace_back(Close{});
        }
        FakeCamera camera(script);
        Window w;
        TForm1& f = w.form;
        bool openWhileShown = false;
        f.errorBoxHook = [&](const QString& text) {
            w.errors << text;
            openWhileShown = Access::connected(f);
        };
        f.txtAddress->setText(address);
        f.txtPort->setText(QString::fromStdString(camera.portText()));
        f.cmdConnect->click();
        QCOMPARE(w.errors, QStringList{expected});
        QVERIFY(openWhileShown);  // the box comes before the socket is closed
        QVERIFY(!Access::connected(f));
        QVERIFY(f.cmdConnect->isEnabled());
        QVERIFY(!f.cmdDisconnect->isEnabled());
        QVERIFY(f.btnStreamStart->isEnabled());
        QVERIFY(!f.btnStreamStop->isEnabled());
    }

    void maximumBelowThePositionSendsBrightnessInsideConnect() {
        FakeCamera camera({Expect{132}, Send{logonReply(p::Ack, 1, 5)}, Expect{8},
                           Send{commandReply(p::Ack, 1)}});
        Window w;
        TForm1& f = w.form;
        f.tbBrightness->setValue(8);
        bool disconnectEnabledWhenLowered = true;
        QObject::connect(f.tbBrightness, &QSlider::valueChanged,
                         [&] { disconnectEnabledWhenLowered = f.cmdDisconnect->isEnabled(); });
        w.connectTo(camera);
        QCOMPARE(w.errors, QStringList());
        QVERIFY(!disconnectEnabledWhenLowered);  // lowered before the buttons change
        QCOMPARE(f.tbBrightness->maximum(), 5);
        QCOMPARE(f.tbBrightness->value(), 5);
        const Bytes got = camera.waitForReceived(140);
        QCOMPARE(Bytes(got.begin() + 132, got.end()), setBrightness(1, 5));
        QCOMPARE(Access::seqNo(f), std::uint8_t{2});
        QVERIFY(f.cmdDisconnect->isEnabled());
    }

    void brightnessFailureInsideConnectHasItsOwnBoxAndConnectGoesOn() {
        FakeCamera camera(
            {Expect{132}, Send{logonReply(p::Ack, 1, 5)}, Expect{8}, Send{commandReply(7, 1)}});
        Window w;
        w.form.tbBrightness->setValue(8);
        w.connectTo(camera);
        QCOMPARE(w.errors, QStringList{QStringLiteral("Command failed: Error 7")});
        QVERIFY(w.form.cmdDisconnect->isEnabled());
        QVERIFY(Access::connected(w.form));
    }

    void negativeMaximumKeepsTheRange() {
        FakeCamera camera({Expect{132}, Send{logonReply(p::Ack, 1, 0x80000000U)}});
        Window w;
        w.form.tbBrightness->setValue(8);
        w.connectTo(camera);
        QCOMPARE(w.errors, QStringList());
        QCOMPARE(w.form.tbBrightness->minimum(), 0);
        QCOMPARE(w.form.tbBrightness->maximum(), 10);
        QCOMPARE(w.form.tbBrightness->value(), 8);
        QCOMPARE(camera.waitForReceived(133, std::chrono::milliseconds(300)).size(), 132U);
    }

    void newConnectStartsAgainAtSequenceZero() {
        FakeCamera camera({Expect{132}, Send{logonReply(p::Ack)}});
        Window w;
        Access::setSeqNo(w.form, 200);
        w.connectTo(camera);
        const Bytes got = camera.waitForReceived(132);
        QCOMPARE(got.at(3), std::uint8_t{0});
        QCOMPARE(Access::seqNo(w.form), std::uint8_t{1});
    }

    void portTextIsUsedAsTyped() {
        // The camera listens on its port; a text with blanks and letters around it still finds it.
        FakeCamera camera({Expect{132}, Send{logonReply(p::Ack)}});
        Window w;
        w.form.txtAddress->setText(QStringLiteral("127.0.0.1"));
        w.form.txtPort->setText(QStringLiteral("  ") + QString::fromStdString(camera.portText()) +
                                QStringLiteral("abc"));
        w.form.cmdConnect->click();
        QCOMPARE(w.errors, QStringList());
        QVERIFY(Access::connected(w.form));
    }

    void commandsDoNothingWithoutAConnection() {
        Window w;
        TForm1& f = w.form;
        Access::setSeqNo(f, 9);
        for (QPushButton* button :
             {f.btnMoveUp, f.btnStatusOn, f.btnStreamSelect3, f.btnReset, f.btnStreamStart}) {
            button->click();
        }
        f.tbBrightness->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QCOMPARE(Access::seqNo(f), std::uint8_t{9});
        QCOMPARE(w.errors, QStringList());
    }

    void settingsSurviveBetweenRuns() {
        IsolatedSettings settings;
        const QString file = settings.path() + "/Pellworth/Kestrel.reg";
        FakeCamera camera({Expect{132}, Send{logonReply(p::Ack)}});
        {
            TForm1 first;
            // First start: the key is created, the edits keep their own texts.
            QVERIFY(QFile::exists(file));
            QCOMPARE(first.txtAddress->text(), QString());
            QCOMPARE(first.txtUser->text(), QStringLiteral("admin"));
            QCOMPARE(first.txtPass->text(), QStringLiteral("lanterns"));
            QCOMPARE(first.txtPort->text(), QStringLiteral("1600"));
            first.errorBoxHook = [](const QString& text) { QFAIL(qPrintable(text)); };
            first.txtAddress->setText(QStringLiteral("127.0.0.1"));
            first.txtPort->setText(QString::fromStdString(camera.portText()) + "  ");
            first.txtUser->setText(QStringLiteral(" Ünïcode \\ \"user\" "));
            first.txtPass->setText(QString());
            first.cmdConnect->click();
            QVERIFY(Access::connected(first));
            // Closing while connected closes the connection (nothing sent), then stores.
            first.close();
            QVERIFY(!Access::connected(first));
            QVERIFY(camera.waitFinished());
            QCOMPARE(camera.received().size(), 132U);
        }
        TForm1 second;
        QCOMPARE(second.txtAddress->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(second.txtPort->text(), QString::fromStdString(camera.portText()) + "  ");
        QCOMPARE(second.txtUser->text(), QStringLiteral(" Ünïcode \\ \"user\" "));
        QCOMPARE(second.txtPass->text(), QString());  // stays empty, not the default
        QCOMPARE(QFile(file).permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);
    }

    void errorBoxIsAModalWarningWithOneOkButton() {
        Window w;
        TForm1& form = w.form;
        form.errorBoxHook = nullptr;
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box != nullptr);
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = box->standardButtons();
            box->accept();
        });
        form.ShowErrorBox("Invalid IP address.");
        QCOMPARE(title, QStringLiteral("Error"));
        QCOMPARE(text, QStringLiteral("Invalid IP address."));
        QCOMPARE(icon, QMessageBox::Warning);
        QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }

    void exceptionFromAHandlerIsReportedAndTheLoopGoesOn() {
        QStringList reports;
        kestrel::app::KestrelApplication::exceptionReportHook() = [&](const QString& message) {
            reports << message;
        };
        QTimer thrower;
        QObject::connect(&thrower, &QTimer::timeout, [&] {
            thrower.stop();
            throw std::runtime_error("out of frames");
        });
        thrower.start(0);
        QTRY_COMPARE(reports, QStringList{QStringLiteral("out of frames")});
        bool later = false;
        QTimer::singleShot(0, [&] { later = true; });
        QTRY_VERIFY(later);
        kestrel::app::KestrelApplication::exceptionReportHook() = nullptr;
    }
};

int main(int argc, char* argv[]) {
    kestrel::app::KestrelApplication application(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_main_window.moc"
