// A flood of camera-sized pictures: a simulated scanner answers every poll with a picture
// and the window saves each one, in the default mode by default (writing a 16-bit PNG is
// then slower than processing it). Prints resident memory after 10 s and at the end, the
// most pictures ever in work and saves ever waiting, how many pictures "1001" ever lagged
// behind the picture on screen, and how long the close took. Runs in the private test
// network, where the scanner is a simulator on one of the hosted subnet's addresses:
//
//   tests/support/run-in-test-net.sh build/bench/bench_flood [SECONDS [WIDTH HEIGHT [MODE]]]

#include "acquisition/picturepipeline.h"
#include "acquisition/widget.h"
#include "bench/timing.h"
#include "common/settings.h"
#include "tests/support/procstats.h"
#include "tests/support/windowfixture.h"
#include "tools/scannersim/scannersimulator.h"
#include "tools/scannersim/syntheticpicture.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    const int seconds = argc > 1 ? std::max(11, std::atoi(argv[1])) : 60;
    const int width = argc > 3 ? std::atoi(argv[2]) : 1600;
    const int height = argc > 3 ? std::atoi(argv[3]) : 1200;
    const int mode = argc > 4 ? std::atoi(argv[4]) : 0;

    QTemporaryDir dir;
    overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
    writeSetting(QStringLiteral("IMAHE/ImageScanPth"), dir.filePath(QStringLiteral("scan.png")));
    writeSetting(QStringLiteral("IMAHE/AutoSave"), QStringLiteral("1"));
    writeSetting(QStringLiteral("IMAHE/ProType"), QString::number(mode));

    const QString address = QStringLiteral("192.168.137.103");
    ScannerSimulator scanner;
    scanner.setDefaultReply(
        ScannerReply::image(syntheticPicture(width, height, 16, QStringLiteral(".png"), 1)));
    if (!scanner.start(QHostAddress(address), kScannerPort)) {
        std::fprintf(stderr, "cannot listen on %s: run me in the test network\n",
                     qPrintable(address));
        return 1;
    }
    WindowFixture fixture;
    fixture.listScanners({address});
    auto window = fixture.make();
    window->show();
    auto* combo = window->findChild<QComboBox*>(QStringLiteral("comboBox_wifi"));
    pumpEvents(15000, [&] { return combo->currentText() == address; });

    int shown = 0, saved = 0, lag = 0;
    QObject::connect(window->pipeline(), &PicturePipeline::shown,
                     [&](const PicturePipeline::Shown& state) { shown += !state.bar.isNull(); });
    // Saves are told in the order of the pictures; none is replaced in this flow.
    QObject::connect(window->pipeline(), &PicturePipeline::saved, [&] {
        ++saved;
        lag = std::max(lag, shown - saved);
    });
    const qint64 startKiB = residentKiB();
    pumpEvents(10000);
    const qint64 tenSecondsKiB = residentKiB();
    pumpEvents((seconds - 10) * 1000);
    const qint64 endKiB = residentKiB();
    PicturePipeline* pipeline = window->pipeline();
    QElapsedTimer closing;
    closing.start();
    window->close();
    const double closeMs = closing.nsecsElapsed() / 1e6;
    std::printf("%d s flood of %d x %d 16-bit PNG pictures, mode %d, auto-save\n", seconds, width,
                height, mode);
    std::printf("  pictures shown %d, saves told (\"1001\") %d\n", shown, saved);
    std::printf("  resident memory: at start %lld MiB, after 10 s %lld MiB, at the end %lld MiB\n",
                startKiB / 1024, tenSecondsKiB / 1024, endKiB / 1024);
    std::printf("  most pictures in work %d, most saves waiting %d\n",
                pipeline->mostPicturesInWork(), pipeline->mostSavesWaiting());
    std::printf("  \"1001\" lag behind the picture on screen, most: %d pictures\n", lag);
    std::printf("  close() returned in %.1f ms\n", closeMs);
    fixture.listScanners({});
    window.reset();
    return 0;
}
