// Saving the last frame through the window's Snapshot button and Qt's own save dialog.

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <functional>
#include <iterator>

#include "app/application.h"
#include "protocol/bytes.h"
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

// What a frame's packets assemble to: the header and every packet's data.
std::int32_t assembledLength(const Bytes& packets) {
    std::size_t length = 400;
    for (std::size_t at = 0; at < packets.size();) {
        const std::size_t size = p::getU16(packets, at);
        length += size - (packets[at + 2] == 0 ? 26 : 8);
        at += size;
    }
    return static_cast<std::int32_t>(length);
}

Bytes readFile(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

class TestSnapshot : public QObject {
    Q_OBJECT

private slots:
    void init() { QVERIFY(folder.isValid()); }

    void theDialogAsConfigured() {
        Window w;
        QString title;
        QStringList filters;
        QString selectedFilter;
        QString proposed;
        QString suffix;
        bool native = true;
        bool confirms = false;
        whenOpen<QFileDialog>([&](QFileDialog* d) {
            title = d->windowTitle();
            filters = d->nameFilters();
            selectedFilter = d->selectedNameFilter();
            proposed = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text();
            suffix = d->defaultSuffix();
            native = !d->testOption(QFileDialog::DontUseNativeDialog);
            confirms = !d->testOption(QFileDialog::DontConfirmOverwrite);
            QVERIFY(Access::snapshotBusy(w.form));
            QCOMPARE(d->parentWidget(), &w.form);
            d->reject();
        });
        w.form.Button1->click();
        QCOMPARE(title, QStringLiteral("Save Image"));
        QCOMPARE(filters, (QStringList{"JPEG Files (*.jpg)", "All Files (*.*)"}));
        QCOMPARE(selectedFilter, QStringLiteral("JPEG Files (*.jpg)"));
        QCOMPARE(proposed, QStringLiteral("Snapshot.jpg"));
        QCOMPARE(suffix, QStringLiteral("jpg"));
        QVERIFY(!native);
        QVERIFY(confirms);
        QVERIFY(!Access::snapshotBusy(w.form));
        QVERIFY(w.errors.isEmpty());
    }

    void beforeAnyFrameTheFileIsEmpty() {
        Window w;
        const QString path = folder.filePath(QStringLiteral("empty"));
        whenOpen<QFileDialog>([&](QFileDialog* d) { saveAs(d, path); });
        w.form.Button1->click();
        QVERIFY(w.errors.isEmpty());
        // The default suffix completes a name typed without one.
        QVERIFY(QFile::exists(path + ".jpg"));
        QCOMPARE(QFile(path + ".jpg").size(), 0);
        QVERIFY(!Access::snapshotBusy(w.form));
    }

    void theLastFrameByteForByteAndNoneThatCompletesMeanwhile() {
        const Bytes first = framePackets(160, 120);
        const Bytes second = framePackets(320, 240);
        const std::int32_t secondLength = assembledLength(second);
        FakeCamera camera({Expect{132}, Send{logonReply(p::Ack)}, Expect{11},
                           Send{concat({commandReply(p::Ack, 1), first})}, Pause{800ms},
                           Send{second}});
        Window w;
        TForm1& f = w.form;
        w.connectTo(camera);
        f.btnStreamStart->click();
        QVERIFY(waitUntil([&] { return Access::frames(f).imageLen > 0; }));
        const auto published = Access::frames(f).image();
        const Bytes expected(published.begin(), published.end());

        const QString path = folder.filePath(QStringLiteral("frame.jpg"));
        bool completedMeanwhile = false;
        whenOpen<QFileDialog>([&](QFileDialog* d) {
            // The second frame arrives whole while the dialog is open: assembled, not published.
            completedMeanwhile =
                waitUntil([&] { return Access::frames(f).frameLen == secondLength; });
            saveAs(d, path);
        });
        f.Button1->click();
        QVERIFY(completedMeanwhile);
        QVERIFY(w.errors.isEmpty());
        QCOMPARE(readFile(path), expected);
        QCOMPARE(Access::frames(f).imageLen, static_cast<std::int32_t>(expected.size()));
        QCOMPARE(f.PaintBox1->picture().size(), QSize(160, 120));  // not shown either
        QVERIFY(!Access::snapshotBusy(f));
    }

    void anExistingFileIsReplacedOnceConfirmed() {
        const QString path = folder.filePath(QStringLiteral("old.jpg"));
        {
            QFile old(path);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write(QByteArray(5000, 'x'));
        }
        Window w;
        bool asked = false;
        whenOpen<QFileDialog>([&](QFileDialog* d) {
            whenOpen<QMessageBox>([&](QMessageBox* box) {
                asked = true;
                box->button(QMessageBox::Yes)->click();
            });
            saveAs(d, path);
        });
        w.form.Button1->click();
        QVERIFY(asked);
        QCOMPARE(QFile(path).size(), 0);  // the old bytes are gone entirely
        QVERIFY(!Access::snapshotBusy(w.form));
    }

    void cancelWritesNothing() {
        Window w;
        QTemporaryDir empty;
        whenOpen<QFileDialog>([&](QFileDialog* d) {
            d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
                ->setText(empty.filePath(QStringLiteral("never.jpg")));
            d->reject();
        });
        w.form.Button1->click();
        QVERIFY(QDir(empty.path()).isEmpty());
        QVERIFY(w.errors.isEmpty());
        QVERIFY(!Access::snapshotBusy(w.form));
    }

    void aFileThatCannotBeCreated() {
        Window w;
        bool busyWhileShown = false;
        w.form.errorBoxHook = [&](const QString& text) {
            w.errors << text;
            busyWhileShown = Access::snapshotBusy(w.form);
        };
        // No file can be made in /proc, not even by root.
        whenOpen<QFileDialog>([](QFileDialog* d) { saveAs(d, "/proc/kestrel-snapshot.jpg"); });
        w.form.Button1->click();
        QCOMPARE(w.errors, QStringList{QStringLiteral("Failed to create the file for saving.")});
        QVERIFY(busyWhileShown);
        QVERIFY(!Access::snapshotBusy(w.form));
    }

private:
    QTemporaryDir folder;
};

int main(int argc, char* argv[]) {
    kestrel::app::KestrelApplication application(argc, argv);
    TestSnapshot test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_snapshot.moc"
