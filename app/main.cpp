// Kestrel: a desktop client for a pan/tilt network camera.

#include <exception>

#include "app/Unit1.h"
#include "app/application.h"

int main(int argc, char* argv[]) {
    kestrel::app::KestrelApplication application(argc, argv);
    try {
        kestrel::app::TForm1 Form1;
        Form1.show();
        kestrel::app::KestrelApplication::exec();
    } catch (const std::exception& error) {
        // Construction failed: report it, and end without showing the window.
        kestrel::app::KestrelApplication::reportException(QString::fromUtf8(error.what()));
    } catch (...) {
        kestrel::app::KestrelApplication::reportException(QString());
    }
    return 0;
}
