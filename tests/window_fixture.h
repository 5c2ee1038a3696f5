#pragma once
// The main window as the GUI tests use it: its error boxes collected instead of shown, and read
// access to its private state.

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>

#include "app/Unit1.h"
#include "fake_camera.h"

namespace kestrel::app {
struct TForm1TestAccess {
    static bool connected(const TForm1& form) { return form.sock.isOpen(); }
    static std::uint8_t seqNo(const TForm1& form) { return form.seqNo; }
    static void setSeqNo(TForm1& form, std::uint8_t value) { form.seqNo = value; }
    static std::uint32_t streamId(const TForm1& form) { return form.streamId; }
    static bool stopRequested(const TForm1& form) { return form.stopRequested; }
    static bool snapshotBusy(const TForm1& form) { return form.snapshotBusy; }
    static const video::FrameBuffers& frames(const TForm1& form) { return form.frames; }
    static const video::Picture* picture(const TForm1& form) { return form.bmpView.get(); }
};
}  // namespace kestrel::app

namespace kestrel::testing {

using kestrel::app::TForm1;
using Access = kestrel::app::TForm1TestAccess;

// Runs the event loop until `done` holds or `timeout` of real time has passed. Unlike QTRY_*, it
// counts real time: a pump tick may block for a second while the camera is silent.
template <typename Condition>
bool waitUntil(Condition done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout.count()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Points the settings at a folder of its own for as long as it lives, so that no test reads or
// writes the user's settings or another test's.
class IsolatedSettings {
public:
    IsolatedSettings() : previous_(qgetenv("XDG_CONFIG_HOME")) {
        qputenv("XDG_CONFIG_HOME", folder_.path().toUtf8());
    }
    ~IsolatedSettings() { qputenv("XDG_CONFIG_HOME", previous_); }
    IsolatedSettings(const IsolatedSettings&) = delete;
    IsolatedSettings& operator=(const IsolatedSettings&) = delete;
    [[nodiscard]] QString path() const { return folder_.path(); }

private:
    QByteArray previous_;
    QTemporaryDir folder_;
};

// Runs `act` on the modal widget of type T once it is open.
template <typename T>
void whenOpen(std::function<void(T*)> act) {
    auto* poll = new QTimer;  // deleted by itself once it has acted
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        if (auto* widget = qobject_cast<T*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            act(widget);
        }
    });
    poll->start(10);
}

// Types a path into the dialog's own file name field and accepts, as a user would. (selectFile()
// does nothing while the field has the focus.)
inline void saveAs(QFileDialog* dialog, const QString& path) {
    dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(path);
    QMetaObject::invokeMethod(dialog, "accept");
}

struct Window {
    IsolatedSettings settings;
    TForm1 form;
    QStringList errors;
    Window() {
        form.errorBoxHook = [this](const QString& text) { errors << text; };
    }
    void connectTo(const FakeCamera& camera) {
        form.txtAddress->setText(QStringLiteral("127.0.0.1"));
        form.txtPort->setText(QString::fromStdString(camera.portText()));
        form.cmdConnect->click();
    }
};

}  // namespace kestrel::testing
