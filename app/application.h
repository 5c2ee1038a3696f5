#pragma once
// The application object: reports any exception that leaves an event handler and lets the event
// loop go on.

#include <QApplication>
#include <QString>
#include <functional>

namespace kestrel::app {

class KestrelApplication : public QApplication {
    Q_OBJECT
public:
    KestrelApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // The exception report: a box captioned with the application title, critical icon, OK.
    static void reportException(const QString& message);

    // Tests put their own sink here to read reports without a modal box.
    static std::function<void(const QString&)>& exceptionReportHook();
};

}  // namespace kestrel::app
