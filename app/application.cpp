#include "app/application.h"

#include <QMessageBox>
#include <exception>

namespace kestrel::app {

KestrelApplication::KestrelApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // The application title. No display name is set, so window titles stay exactly as given.
    setApplicationName(QStringLiteral("Kestrel"));
}

bool KestrelApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        reportException(QString::fromUtf8(error.what()));
    } catch (...) {
        reportException(QString());
    }
    return false;
}

std::function<void(const QString&)>& KestrelApplication::exceptionReportHook() {
    static std::function<void(const QString&)> hook;
    return hook;
}

void KestrelApplication::reportException(const QString& message) {
    if (const auto& hook = exceptionReportHook()) {
        hook(message);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(), message,
                    QMessageBox::Ok);
    box.exec();
}

}  // namespace kestrel::app
