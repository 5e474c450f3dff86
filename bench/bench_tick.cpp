// How long the GUI thread is blocked with one scanner: every event the GUI thread's loop
// delivers is timed, and the longest delivery of each 500 ms tick period is that period's
// longest block, whatever ran in it (the tick, a picture's hand-over, installing a
// finished picture, painting). Runs in the private test network, where the scanner is a
// simulator on one of the hosted subnet's addresses:
//
//   tests/support/run-in-test-net.sh build/bench/bench_tick [TICKS]

#include "acquisition/picturepipeline.h"
#include "acquisition/widget.h"
#include "bench/timing.h"
#include "common/settings.h"
#include "tests/support/windowfixture.h"
#include "tools/scannersim/scannersimulator.h"
#include "tools/scannersim/syntheticpicture.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

namespace {

constexpr int kTickMs = 500;

double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Times the outermost deliveries of the GUI thread, on the wall clock and in the thread's
// own CPU time: a long wall time with little CPU time is the thread waiting for a core,
// not working. Nested deliveries (a message box's loop) count as part of the one that
// opened them.
class TimedApplication final : public QApplication
{
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override
    {
        if (m_depth > 0 || QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        ++m_depth;
        QElapsedTimer clock;
        clock.start();
        const double cpu = threadCpuMs();
        const bool result = QApplication::notify(receiver, event);
        m_wall = std::max(m_wall, clock.nsecsElapsed() / 1e6);
        m_cpu = std::max(m_cpu, threadCpuMs() - cpu);
        --m_depth;
        return result;
    }
    // The longest wall and CPU times since the last call.
    std::pair<double, double> take()
    {
        const std::pair<double, double> longest(m_wall, m_cpu);
        m_wall = m_cpu = 0;
        return longest;
    }

private:
    int m_depth = 0;
    double m_wall = 0;
    double m_cpu = 0;
};

struct Series
{
    std::vector<double> ms;
    void print(const char* what)
    {
        std::sort(ms.begin(), ms.end());
        std::printf("  %-40s median %8.3f ms   longest %8.3f ms\n", what, ms[ms.size() / 2],
                    ms.back());
    }
};

// A picture every third poll, the others status replies, for `ticks` ticks.
void run(const char* title, const ScannerReply& picture, int ticks)
{
    const QString address = QStringLiteral("192.168.137.100");
    ScannerSimulator scanner;
    QList<ScannerReply> script;
    for (int i = 0; i < ticks + 10; ++i)
        script << picture << ScannerReply::status(REPLY_STATE_LIT)
               << ScannerReply::status(REPLY_STATE_ANIMATED);
    scanner.setScript(script);
    scanner.setDefaultReply(ScannerReply::status(REPLY_STATE_LIT));
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
    pumpEvents(15000, [&] { return combo->currentText() == address; });

    int pictures = 0;
    Series told; // from the link queueing a picture to its save being told, ms
    QObject::connect(window->pipeline(), &PicturePipeline::saved,
                     [&](qint64 queuedAtMs) { told.ms.push_back(linkClockMs() - queuedAtMs); });
    QObject::connect(window->pipeline(), &PicturePipeline::shown,
                     [&](const PicturePipeline::Shown& state) { pictures += !state.bar.isNull(); });
    auto* app = static_cast<TimedApplication*>(qApp);
    Series wall, cpu; // the longest delivery of each tick period
    app->take();
    for (int i = 0; i < ticks; ++i) {
        pumpEvents(kTickMs);
        const auto [w, c] = app->take();
        wall.ms.push_back(w);
        cpu.ms.push_back(c);
    }
    std::printf("%s, %d tick periods, %d pictures shown\n", title, ticks, pictures);
    wall.print("longest GUI block per tick, wall clock");
    cpu.print("longest GUI block per tick, CPU time");
    told.print("picture queued by the link to \"1001\"");
    fixture.listScanners({});
    window.reset();
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TimedApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    const int ticks = argc > 1 ? std::max(5, atoi(argv[1])) : 30;
    QTemporaryDir dir;
    overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
    writeSetting(QStringLiteral("IMAHE/ImageScanPth"), dir.filePath(QStringLiteral("scan.png")));
    writeSetting(QStringLiteral("IMAHE/AutoSave"), QStringLiteral("1"));
    std::printf("GUI thread blocked per 500 ms tick period, one scanner, a picture every third "
                "poll\n");
    run("1500 x 2000 16-bit PNG pictures",
        ScannerReply::image(syntheticPicture(1500, 2000, 16, QStringLiteral(".png"), 1)), ticks);
    run("160 x 120 8-bit PNG pictures",
        ScannerReply::image(syntheticPicture(160, 120, 8, QStringLiteral(".png"), 1)), ticks);
    return 0;
}
