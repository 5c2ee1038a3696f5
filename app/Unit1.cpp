#include "app/Unit1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFont>
#include <QKeyEvent>
#include <QMessageBox>
#include <QResizeEvent>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

#include "connection/exchange.h"
#include "connection/logon.h"
#include "connection/messages.h"
#include "connection/stream_control.h"
#include "protocol/wire.h"
#include "settings/connection_settings.h"
#include "video/snapshot.h"

namespace kestrel::app {

namespace p = kestrel::protocol;
namespace c = kestrel::connection;

namespace {

// The window's design size; the anchored controls follow the difference to it.
constexpr QSize kDesignClientSize(498, 424);
constexpr QRect kGroupBox5Design(116, 89, 374, 327);
constexpr QRect kPaintBox1Design(7, 18, 360, 302);
constexpr QPoint kGrippyDesign(482, 408);

QPushButton* makeButton(const QString& caption, QWidget* parent, QRect geometry, int tag) {
    auto* button = new QPushButton(caption, parent);
    button->setGeometry(geometry);
    button->setProperty("Tag", tag);
    button->setFocusPolicy(Qt::StrongFocus);
    button->setAutoDefault(false);
    return button;
}

QGroupBox* makeGroup(const QString& caption, QWidget* parent, QRect geometry) {
    auto* group = new QGroupBox(caption, parent);
    group->setGeometry(geometry);
    return group;
}

LabeledEdit* makeEdit(const QString& label, const QString& text, QWidget* parent, QRect geometry) {
    auto* edit = new LabeledEdit(label, parent, geometry);
    edit->setText(text);
    return edit;
}

std::string utf8(const LabeledEdit* edit) {
    return edit->text().toStdString();
}

// Runs its action when the scope is left, however it is left.
template <typename Action>
class ScopeExit {
public:
    explicit ScopeExit(Action action) : action_(std::move(action)) {}
    ~ScopeExit() { action_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ScopeExit(ScopeExit&&) = delete;
    ScopeExit& operator=(ScopeExit&&) = delete;

private:
    Action action_;
};

}  // namespace

TForm1::TForm1(QWidget* owner) : QWidget(owner) {
    createControls();
    frames.frameLen = 0;
    frames.imageLen = 0;
    stopRequested = false;
    snapshotBusy = false;
    c::SocketsStartup();
    // sbGrippy is a size grip already (QSizeGrip); nothing to restyle.
    bmpView = std::make_unique<video::Picture>();
    txtPort->setText(QStringLiteral("1600"));
    LoadSettings();
}

TForm1::~TForm1() = default;

void TForm1::createControls() {
    setWindowTitle(QStringLiteral("Kestrel by Pellworth"));
    // Sizeable, with system menu and minimise but no maximise button.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    QFont font(QStringLiteral("Tahoma"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);  // 8 point at 96 pixels per inch
    setFont(font);
    resize(kDesignClientSize);

    txtAddress = makeEdit(QStringLiteral("IP Address:"), QString(), this, {80, 8, 89, 21});
    cmdConnect = makeButton(QStringLiteral("&Connect"), this, {175, 35, 74, 22}, 0);
    cmdDisconnect = makeButton(QStringLiteral("&Disconnect"), this, {175, 62, 74, 21}, 0);
    cmdDisconnect->setEnabled(false);
    txtPort = makeEdit(QStringLiteral("Port:"), QStringLiteral("1600"), this, {207, 8, 42, 21});
    txtUser = makeEdit(QStringLiteral("User:"), QStringLiteral("admin"), this, {80, 35, 89, 21});
    txtPass =
        makeEdit(QStringLiteral("Password:"), QStringLiteral("lanterns"), this, {80, 62, 89, 21});
    txtPass->setEchoMode(QLineEdit::Password);
    // Every character shows as "*", whatever the style's own mask character is.
    txtPass->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));

    GroupBox1 = makeGroup(QStringLiteral("Move Camera"), this, {273, 7, 102, 76});
    btnMoveUp = makeButton(QStringLiteral("U"), GroupBox1, {39, 21, 25, 23}, 0);
    btnMoveLeft = makeButton(QStringLiteral("L"), GroupBox1, {13, 33, 25, 23}, 4);
    btnMoveRight = makeButton(QStringLiteral("R"), GroupBox1, {65, 33, 25, 23}, 6);
    btnMoveDown = makeButton(QStringLiteral("D"), GroupBox1, {39, 44, 25, 23}, 2);

    GroupBox2 = makeGroup(QStringLiteral("Status Light"), this, {381, 7, 100, 76});
    btnStatusOn = makeButton(QStringLiteral("On"), GroupBox2, {15, 21, 33, 23}, 1);
    btnStatusOff = makeButton(QStringLiteral("Off"), GroupBox2, {54, 21, 33, 23}, 0);

    GroupBox3 = makeGroup(QStringLiteral("Stream Select"), this, {8, 89, 102, 112});
    btnStreamSelect1 = makeButton(QStringLiteral("160x120"), GroupBox3, {12, 20, 78, 23}, 0);
    btnStreamSelect2 = makeButton(QStringLiteral("320x240"), GroupBox3, {12, 49, 78, 23}, 1);
    btnStreamSelect3 = makeButton(QStringLiteral("640x480"), GroupBox3, {12, 78, 78, 23}, 2);

    GroupBox4 = makeGroup(QStringLiteral("Stream Control"), this, {8, 255, 97, 82});
    btnStreamStart = makeButton(QStringLiteral("Start"), GroupBox4, {9, 20, 78, 23}, 0);
    QFont bold = btnStreamStart->font();
    bold.setBold(true);
    btnStreamStart->setFont(bold);
    btnStreamStop = makeButton(QStringLiteral("Stop"), GroupBox4, {9, 49, 78, 23}, 0);
    btnStreamStop->setEnabled(false);

    btnReset = makeButton(QStringLiteral("Reset"), this, {8, 393, 65, 23}, 0);

    Timer1 = new QTimer(this);
    Timer1->setInterval(1);
    Timer1->setTimerType(Qt::PreciseTimer);

    GroupBox5 = makeGroup(QStringLiteral("Image Stream"), this, kGroupBox5Design);
    PaintBox1 = new PaintBox(GroupBox5);
    PaintBox1->setGeometry(kPaintBox1Design);

    Button1 = makeButton(QStringLiteral("Snapshot..."), this, {8, 343, 102, 23}, 0);

    GroupBox6 = makeGroup(QStringLiteral("Brightness"), this, {8, 207, 102, 42});
    tbBrightness = new QSlider(Qt::Horizontal, GroupBox6);
    tbBrightness->setGeometry(3, 16, 96, 21);
    tbBrightness->setRange(0, 10);
    tbBrightness->setValue(0);
    tbBrightness->setTickPosition(QSlider::TicksBelow);
    tbBrightness->setTickInterval(1);
    tbBrightness->setSingleStep(1);
    tbBrightness->setPageStep(2);
    tbBrightness->setFocusPolicy(Qt::StrongFocus);

    sbGrippy = new QSizeGrip(this);
    sbGrippy->setGeometry(QRect(kGrippyDesign, QSize(16, 16)));
    sbGrippy->setFocusPolicy(Qt::NoFocus);

    setTabOrder();

    const auto onClick = [this](QPushButton* button, void (TForm1::*handler)(QObject*)) {
        connect(button, &QPushButton::clicked, this,
                [this, button, handler] { (this->*handler)(button); });
    };
    onClick(cmdConnect, &TForm1::cmdConnectClick);
    onClick(cmdDisconnect, &TForm1::cmdDisconnectClick);
    for (QPushButton* move : {btnMoveUp, btnMoveLeft, btnMoveRight, btnMoveDown}) {
        onClick(move, &TForm1::btnMoveUpClick);
    }
    onClick(btnStatusOn, &TForm1::btnStatusOnClick);
    onClick(btnStatusOff, &TForm1::btnStatusOnClick);
    for (QPushButton* size : {btnStreamSelect1, btnStreamSelect2, btnStreamSelect3}) {
        onClick(size, &TForm1::btnStreamSelect1Click);
    }
    onClick(btnStreamStart, &TForm1::btnStreamStartClick);
    onClick(btnStreamStop, &TForm1::btnStreamStopClick);
    onClick(btnReset, &TForm1::btnResetClick);
    onClick(Button1, &TForm1::Button1Click);
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(Timer1); });
    // Every scroll notification of the track bar counts as a change: each step by key, wheel or
    // click (also at either end of the range, where the position stays), each move of the dragged
    // thumb, and the end of a drag, a key press or a click, which report the last position again.
    connect(tbBrightness, &QSlider::actionTriggered, this,
            [this] { tbBrightnessChange(tbBrightness); });
    connect(tbBrightness, &QSlider::sliderReleased, this,
            [this] { tbBrightnessChange(tbBrightness); });
    tbBrightness->installEventFilter(this);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == tbBrightness) {
        const auto isNavigationKey = [](int key) {
            return key == Qt::Key_Left || key == Qt::Key_Right || key == Qt::Key_Up ||
                   key == Qt::Key_Down || key == Qt::Key_PageUp || key == Qt::Key_PageDown ||
                   key == Qt::Key_Home || key == Qt::Key_End;
        };
        if (event->type() == QEvent::KeyRelease) {
            const auto* key = static_cast<QKeyEvent*>(event);
            if (!key->isAutoRepeat() && isNavigationKey(key->key())) {
                tbBrightnessChange(tbBrightness);  // the end of a key press
            }
        } else if (event->type() == QEvent::MouseButtonRelease && !tbBrightness->isSliderDown()) {
            tbBrightnessChange(tbBrightness);  // the end of a click beside the thumb
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::setTabOrder() {
    // Group boxes take no focus themselves; their children follow in the groups' order.
    const std::array<QWidget*, 20> order{
        txtAddress,     cmdConnect,    cmdDisconnect,    txtPort,          txtUser,
        txtPass,        btnMoveUp,     btnMoveLeft,      btnMoveRight,     btnMoveDown,
        btnStatusOn,    btnStatusOff,  btnStreamSelect1, btnStreamSelect2, btnStreamSelect3,
        btnStreamStart, btnStreamStop, btnReset,         Button1,          tbBrightness};
    for (std::size_t i = 0; i + 1 < order.size(); ++i) {
        QWidget::setTabOrder(order[i], order[i + 1]);
    }
}

int TForm1::tagOf(const QObject* control) {
    return control->property("Tag").toInt();
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // GroupBox5 and PaintBox1 follow all four edges, sbGrippy the bottom-right corner.
    const QSize delta = event->size() - kDesignClientSize;
    const auto grown = [&](QRect design) {
        return QRect(design.topLeft(), QSize(std::max(0, design.width() + delta.width()),
                                             std::max(0, design.height() + delta.height())));
    };
    GroupBox5->setGeometry(grown(kGroupBox5Design));
    PaintBox1->setGeometry(grown(kPaintBox1Design));
    sbGrippy->move(kGrippyDesign + QPoint(delta.width(), delta.height()));
}

void TForm1::ShowErrorBox(std::string_view text) {
    const QString message = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (errorBoxHook) {
        errorBoxHook(message);
        return;
    }
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Error"), message, QMessageBox::Ok, this);
    box.exec();
}

// ---- Connection and logon

void TForm1::cmdConnectClick(QObject* /*Sender*/) {
    const std::string address = utf8(txtAddress);
    const std::string port = utf8(txtPort);
    const std::string user = utf8(txtUser);
    const std::string password = utf8(txtPass);
    const c::LogonOutcome outcome = c::logOn(sock, {address, port, user, password}, seqNo);
    if (!outcome.accepted()) {
        // The message is shown while the socket is still open, then the socket is closed.
        ShowErrorBox(outcome.failure);
        sock.close();
        return;
    }
    streamId = outcome.streamId;
    // A stream still pumping from an earlier connection reads this one from its start.
    pump.restart();
    setBrightnessMaximum(static_cast<std::int32_t>(outcome.maxBrightness));
    btnStreamStart->setEnabled(true);
    btnStreamStop->setEnabled(false);
    cmdConnect->setEnabled(false);
    cmdDisconnect->setEnabled(true);
}

void TForm1::setBrightnessMaximum(std::int32_t maximum) {
    // A maximum below the minimum leaves the range as it is (QSlider would move the minimum).
    if (maximum < tbBrightness->minimum()) {
        return;
    }
    const bool positionDrops = maximum < tbBrightness->value();
    tbBrightness->setMaximum(maximum);
    if (positionDrops) {
        tbBrightnessChange(tbBrightness);
    }
}

void TForm1::cmdDisconnectClick(QObject* /*Sender*/) {
    sock.shutdownBoth();
    sock.close();
    cmdConnect->setEnabled(true);
    cmdDisconnect->setEnabled(false);
}

// ---- Camera commands

void TForm1::runCommand(std::span<const std::uint8_t> request, bool readsReply) {
    // A reading command leaves its reply to the stream pump while the stream runs.
    const auto handling =
        readsReply && !Timer1->isActive() ? c::ReplyHandling::Read : c::ReplyHandling::Ignore;
    const std::string failure = c::exchangeRequest(sock, request, handling, recvBuf);
    if (!failure.empty()) {
        ShowErrorBox(failure);
    }
}

void TForm1::btnMoveUpClick(QObject* Sender) {
    if (!sock.isOpen()) {
        return;
    }
    const auto direction = static_cast<std::uint8_t>(tagOf(Sender) & 0xFF);
    runCommand(p::buildMoveCamera(p::takeSequence(seqNo), direction), true);
}

void TForm1::btnStatusOnClick(QObject* Sender) {
    if (!sock.isOpen()) {
        return;
    }
    const auto light = static_cast<std::uint8_t>(tagOf(Sender) & 0xFF);
    runCommand(p::buildSetStatusLight(p::takeSequence(seqNo), light), false);
}

void TForm1::btnStreamSelect1Click(QObject* Sender) {
    if (!sock.isOpen()) {
        return;
    }
    const auto sizeCode = static_cast<std::uint8_t>(tagOf(Sender) & 0xFF);
    runCommand(p::buildSelectStream(p::takeSequence(seqNo), sizeCode), false);
}

void TForm1::tbBrightnessChange(QObject* /*Sender*/) {
    if (!sock.isOpen()) {
        return;
    }
    // The position of this moment, already moved by the action being notified.
    const std::int32_t brightness = tbBrightness->sliderPosition();
    runCommand(p::buildSetBrightness(p::takeSequence(seqNo), brightness), true);
}

void TForm1::btnResetClick(QObject* /*Sender*/) {
    if (!sock.isOpen()) {
        return;
    }
    runCommand(p::buildResetCamera(p::takeSequence(seqNo)), true);
}

// ---- Stream control and packet pump

void TForm1::btnStreamStartClick(QObject* /*Sender*/) {
    if (!sock.isOpen() || Timer1->isActive()) {
        return;
    }
    const c::StreamStart start =
        c::startStream(sock, p::buildStartStream(p::takeSequence(seqNo), streamId), recvBuf);
    if (!start.failure.empty()) {
        ShowErrorBox(start.failure);
        return;
    }
    // Stream bytes that came with the reply are the pump's first bytes.
    pump.restart(start.leftover, start.toSkip);
    frames.restartFrame();
    stopRequested = false;
    Timer1->start();
    btnStreamStart->setEnabled(false);
    btnStreamStop->setEnabled(true);
}

void TForm1::btnStreamStopClick(QObject* /*Sender*/) {
    if (!sock.isOpen()) {
        return;
    }
    const auto request = p::buildStopStream(p::takeSequence(seqNo));
    c::WaitWritable(sock);
    if (sock.send(request) == -1) {
        ShowErrorBox(c::text::FailedToSendRequest);
        return;
    }
    stopRequested = true;
    if (!Timer1->isActive()) {
        // No stream pumping: take the reply here; it is not judged.
        c::WaitReadable(sock);
        (void)sock.receive(std::span(recvBuf).first(255));
    }
}

void TForm1::Timer1Timer(QObject* /*Sender*/) {
    Timer1->stop();
    // However the tick ends, exceptions included, the pump goes on unless a stop was requested.
    const ScopeExit reArm([this] {
        if (!stopRequested) {
            Timer1->start();
        }
    });

    if (stopRequested) {
        drainStopped();
        return;
    }
    switch (pump.readPacket(sock)) {
        case video::PumpResult::Packet:
            AssembleStreamPacket(pump.packet());
            break;
        case video::PumpResult::Oversized:
            frames.dropFrame();
            break;
        case video::PumpResult::Nothing:
            break;
    }
}

void TForm1::drainStopped() {
    // Everything the camera still sends is dropped until it falls silent for a second or closes,
    // but never for longer than a few seconds in all, so a camera that keeps sending cannot
    // freeze the window.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const ScopeExit restoreCursor([] { QApplication::restoreOverrideCursor(); });
    c::drainStream(sock, recvBuf);
    pump.restart();
    btnStreamStart->setEnabled(true);
    btnStreamStop->setEnabled(false);
}

void TForm1::AssembleStreamPacket(std::span<const std::uint8_t> packet) {
    if (video::assemblePacket(frames, packet, snapshotBusy) == video::AssemblyResult::Published) {
        ShowImage();
    }
}

void TForm1::ShowImage() {
    if (!bmpView) {
        return;  // the window has closed; the timer may still tick until the application ends
    }
    try {
        decoder.decode(frames.image(), decodeScratch);
    } catch (...) {
        return;  // a frame that cannot be decoded leaves the picture as it was; nothing is shown
    }
    std::swap(decodeScratch, *bmpView);
    PaintBox1->showPicture(QImage(bmpView->pixels.data(), bmpView->width, bmpView->height,
                                  bmpView->bytesPerLine(), QImage::Format_RGB32));
}

// ---- Snapshot

void TForm1::Button1Click(QObject* /*Sender*/) {
    // Qt's own dialog, the same everywhere; owned by the window for this click only.
    QFileDialog dialog(this, QStringLiteral("Save Image"));
    snapshotBusy = true;
    // While the dialog or an error box is open the pump goes on, but publishes no frame, so the
    // frame saved is the one published last before the click.
    const ScopeExit done([this] { snapshotBusy = false; });
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(
        {QStringLiteral("JPEG Files (*.jpg)"), QStringLiteral("All Files (*.*)")});
    dialog.selectNameFilter(QStringLiteral("JPEG Files (*.jpg)"));
    dialog.setDefaultSuffix(QStringLiteral("jpg"));
    dialog.selectFile(QStringLiteral("Snapshot.jpg"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return;
    }
    const std::filesystem::path path = dialog.selectedFiles().constFirst().toStdString();
    const video::SnapshotResult result = video::saveSnapshot(path, frames.image());
    if (result != video::SnapshotResult::Saved) {
        ShowErrorBox(video::snapshotMessage(result));
    }
}

// ---- Start-up and shutdown

void TForm1::closeEvent(QCloseEvent* event) {
    if (!closed_) {
        closed_ = true;
        FormClose();
    }
    QWidget::closeEvent(event);
}

void TForm1::FormClose() {
    if (sock.isOpen()) {
        sock.shutdownBoth();
        sock.close();
    }
    c::SocketsCleanup();
    PaintBox1->showPicture(QImage());  // it shows bmpView's pixels, which go now
    bmpView.reset();
    SaveSettings();
}

settings::ConnectionTexts TForm1::connectionTexts() const {
    return {utf8(txtAddress), utf8(txtUser), utf8(txtPass), utf8(txtPort)};
}

void TForm1::LoadSettings() {
    // Texts the store does not have stay as they are.
    settings::ConnectionTexts texts = connectionTexts();
    settings::RegistryStore store;
    settings::loadSettings(texts, store);
    txtAddress->setText(QString::fromStdString(texts.address));
    txtUser->setText(QString::fromStdString(texts.user));
    txtPass->setText(QString::fromStdString(texts.password));
    txtPort->setText(QString::fromStdString(texts.port));
}

void TForm1::SaveSettings() {
    settings::RegistryStore store;
    settings::saveSettings(connectionTexts(), store);
}

}  // namespace kestrel::app
