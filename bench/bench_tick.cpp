// How long the window's 500 ms tick blocks the GUI thread with one scanner, and what in
// it does: the hotspot presence probe, the record collection with the device selector,
// and the frame handling. Runs in the private test network, where the scanner is a
// simulator on one of the hosted subnet's addresses:
//
//   tests/support/run-in-test-net.sh build/bench/bench_tick [TICKS]

#include "acquisition/widget.h"
#include "common/processprobe.h"
#include "common/settings.h"
#include "discovery/qtwifi.h"
#include "discovery/tcpclient.h"
#include "tests/support/windowfixture.h"
#include "tools/scannersim/scannersimulator.h"
#include "tools/scannersim/syntheticpicture.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Series
{
    std::vector<double> ms;
    void add(qint64 ns) { ms.push_back(ns / 1e6); }
    void print(const char* what)
    {
        std::sort(ms.begin(), ms.end());
        std::printf("  %-34s median %8.3f ms   longest %8.3f ms\n", what, ms[ms.size() / 2],
                    ms.back());
    }
};

void pump(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

void run(const char* title, const ScannerReply& reply, int ticks)
{
    const QString address = QStringLiteral("192.168.137.100");
    ScannerSimulator scanner;
    scanner.setDefaultReply(reply);
    if (!scanner.start(QHostAddress(address), kScannerPort)) {
        std::fprintf(stderr, "cannot listen on %s: run me in the test network\n",
                     qPrintable(address));
        std::exit(1);
    }
    WindowFixture fixture;
    fixture.listScanners({address});
    auto window = fixture.make();
    window->show();
    auto* combo = window->findChild<QComboBox*>(QStringLiteral("comboBox_wifi"));
    QElapsedTimer wait;
    wait.start();
    while (combo->currentText() != address && wait.elapsed() < 15000)
        pump(50);
    // From here the ticks are made by hand, one at a time, so each can be timed.
    for (QTimer* timer : window->findChildren<QTimer*>())
        if (timer->interval() == 500)
            timer->stop();

    Series probe, collect, frames, whole;
    for (int i = 0; i < ticks; ++i) {
        pump(60); // the link takes its next poll after the record was taken
        QElapsedTimer clock;
        clock.start();
        QMetaObject::invokeMethod(window.get(), "Wifi_TimerTimeOut", Qt::DirectConnection);
        whole.add(clock.nsecsElapsed());

        pump(60);
        clock.restart();
        hotspotRunning(window->monitor()->toolRunner());
        probe.add(clock.nsecsElapsed());
        clock.restart();
        window->monitor()->wifi()->wifiStatus();
        QList<OstraInfo> records;
        window->syncDeviceSelector(window->monitor()->onlineDevices(records));
        collect.add(clock.nsecsElapsed());
        clock.restart();
        window->dispatchRecords(records);
        frames.add(clock.nsecsElapsed());
    }
    std::printf("%s, %d ticks\n", title, ticks);
    whole.print("whole tick");
    probe.print("hotspot presence probe");
    collect.print("record collection and selector");
    frames.print("frame handling");
    window.reset();
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    const int ticks = argc > 1 ? std::max(5, atoi(argv[1])) : 30;
    QTemporaryDir dir;
    overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
    std::printf("GUI thread blocked per tick, one scanner\n");
    run("status replies only", ScannerReply::status(REPLY_STATE_LIT), ticks);
    run("1500 x 2000 16-bit PNG pictures",
        ScannerReply::image(syntheticPicture(1500, 2000, 16, QStringLiteral(".png"), 1)), ticks);
    return 0;
}
