#pragma once
// The main window: every control, the state of the connection and the stream, and the event
// handlers that act on them. All of it runs on the user-interface thread.

#include <QGroupBox>
#include <QImage>
#include <QPushButton>
#include <QSizeGrip>
#include <QSlider>
#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "app/widgets.h"
#include "connection/socket.h"
#include "settings/connection_settings.h"
#include "video/frame_assembly.h"
#include "video/jpeg_decoder.h"
#include "video/packet_pump.h"

namespace kestrel::app {

struct TForm1TestAccess;

class TForm1 : public QWidget {
    Q_OBJECT
public:
    explicit TForm1(QWidget* owner = nullptr);
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // Controls, in declaration order. The window owns them through Qt's parent ownership.
    LabeledEdit* txtAddress = nullptr;
    QPushButton* cmdConnect = nullptr;
    QPushButton* cmdDisconnect = nullptr;
    LabeledEdit* txtPort = nullptr;
    LabeledEdit* txtUser = nullptr;
    LabeledEdit* txtPass = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QPushButton* btnMoveUp = nullptr;
    QPushButton* btnMoveLeft = nullptr;
    QPushButton* btnMoveRight = nullptr;
    QPushButton* btnMoveDown = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QPushButton* btnStatusOn = nullptr;
    QPushButton* btnStatusOff = nullptr;
    QGroupBox* GroupBox3 = nullptr;
    QPushButton* btnStreamSelect1 = nullptr;
    QPushButton* btnStreamSelect2 = nullptr;
    QPushButton* btnStreamSelect3 = nullptr;
    QGroupBox* GroupBox4 = nullptr;
    QPushButton* btnStreamStart = nullptr;
    QPushButton* btnStreamStop = nullptr;
    QPushButton* btnReset = nullptr;
    QTimer* Timer1 = nullptr;
    QGroupBox* GroupBox5 = nullptr;
    PaintBox* PaintBox1 = nullptr;
    QPushButton* Button1 = nullptr;
    QGroupBox* GroupBox6 = nullptr;
    QSlider* tbBrightness = nullptr;
    QSizeGrip* sbGrippy = nullptr;

    // Event handlers; Sender is the control that raised the event.
    void cmdConnectClick(QObject* Sender);
    void cmdDisconnectClick(QObject* Sender);
    void btnMoveUpClick(QObject* Sender);
    void btnStatusOnClick(QObject* Sender);
    void btnStreamSelect1Click(QObject* Sender);
    void btnStreamStartClick(QObject* Sender);
    void btnStreamStopClick(QObject* Sender);
    void btnResetClick(QObject* Sender);
    void Timer1Timer(QObject* Sender);
    void Button1Click(QObject* Sender);
    void tbBrightnessChange(QObject* Sender);
    void FormClose();

    // Every failure message goes through here: a modal box captioned "Error" with the warning
    // icon and one OK button. A hook, when set, receives the text instead (tests read it).
    void ShowErrorBox(std::string_view text);
    std::function<void(const QString&)> errorBoxHook;

    // The Tag of a control: the integer that tells controls sharing a handler apart.
    static int tagOf(const QObject* control);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    friend struct TForm1TestAccess;

    void createControls();
    void setTabOrder();
    void setBrightnessMaximum(std::int32_t maximum);
    void runCommand(std::span<const std::uint8_t> request, bool readsReply);
    void drainStopped();
    void AssembleStreamPacket(std::span<const std::uint8_t> packet);
    void ShowImage();
    settings::ConnectionTexts connectionTexts() const;
    void LoadSettings();
    void SaveSettings();

    connection::Socket sock;
    std::array<std::uint8_t, 4096> recvBuf{};
    // frameBuf/frameLen, the frame in assembly, and imageBuf/imageLen, the last published frame.
    video::FrameBuffers frames;
    // The last decoded picture, shown by PaintBox1; a frame decodes into decodeScratch first so
    // that a frame that fails to decode leaves the picture as it was.
    std::unique_ptr<video::Picture> bmpView;
    video::Picture decodeScratch;
    video::JpegDecoder decoder;
    video::PacketPump pump{recvBuf};
    std::uint32_t streamId = 0;
    std::uint8_t seqNo = 0;
    bool stopRequested = false;
    bool snapshotBusy = false;
    bool closed_ = false;
};

}  // namespace kestrel::app
