#include "common/settings.h"
#include "hotspot/mythread.h"
#include "hotspot/openwifi.h"
#include "hotspot/winversion.h"
#include "tests/mock/fakerunner.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <mutex>

using namespace winversion;

namespace {

std::mutex debugLock;
QStringList debugLines;
QtMessageHandler previousHandler = nullptr;

void recordDebug(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtDebugMsg) {
        std::lock_guard<std::mutex> lock(debugLock);
        debugLines.append(message);
    }
    previousHandler(type, context, message);
}

QStringList takeDebugLines()
{
    std::lock_guard<std::mutex> lock(debugLock);
    QStringList lines;
    lines.swap(debugLines);
    return lines;
}

const QString kAirstepListing =
    QStringLiteral("\r\nImage Name                     PID Session Name        Session#    Mem "
                   "Usage\r\n========================= ======== ================ =========== "
                   "============\r\nAirstep.exe                   5120 Console                    "
                   "1     12,345 K\r\n");
const QString kNoTasks =
    QStringLiteral("INFO: No tasks are running which match the specified criteria.\r\n");

// One line per run: the command line, or the program and its arguments.
QStringList lines(const QVector<platform::ToolRun>& runs)
{
    QStringList result;
    for (const platform::ToolRun& run : runs) {
        result.append(run.commandLine
                          ? run.program
                          : (QStringList{run.program} + run.arguments).join(QLatin1Char('|')));
    }
    return result;
}

const QString kAllow =
    QStringLiteral("netsh|wlan|set|hostednetwork|mode=allow|ssid=net|key=kelp5820");
const QString kStart = QStringLiteral("netsh|wlan|start|hostednetwork");
const QString kStop = QStringLiteral("netsh|wlan|stop|hostednetwork");
const QString kDisallow = QStringLiteral("netsh|wlan|set|hostednetwork|mode=disallow");
const QString kTasklist = QStringLiteral("tasklist|-fi|imagename eq Airstep.exe ");
const QString kTaskkill = QStringLiteral("taskkill|-im|Airstep.exe|-f");

// Records when each run began, to find the worker's pause.
class TimedRunner final : public platform::ToolRunner
{
public:
    explicit TimedRunner(FakeRunner& inner) : m_inner(inner) { m_clock.start(); }
    platform::ToolOutput run(const platform::ToolRun& run) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_times.append(m_clock.elapsed());
        }
        return m_inner.run(run);
    }
    bool startDetached(const QString& program, const QStringList& arguments) override
    {
        return m_inner.startDetached(program, arguments);
    }
    QVector<qint64> times() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_times;
    }

private:
    FakeRunner& m_inner;
    QElapsedTimer m_clock;
    mutable std::mutex m_mutex;
    QVector<qint64> m_times;
};

} // namespace

class TestOpenWifi final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    std::unique_ptr<FakeRunner> fake;
    FakeRunner& runner() { return *fake; }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        previousHandler = qInstallMessageHandler(recordDebug);
    }
    void cleanupTestCase() { qInstallMessageHandler(previousHandler); }

    void init()
    {
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
        QFile::remove(configFilePath());
        writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("net"));
        fake = std::make_unique<FakeRunner>();
        takeDebugLines();
    }
    void cleanup() { overrideCurrent(-1); }

    void thisSystemReportsNoWindowsVersion()
    {
        QCOMPARE(current(), WV_None);
        OPENWIFI wifi(runner());
        wifi.openWifi();
        wifi.closeWifi();
        QVERIFY(runner().runs().isEmpty());
        QVERIFY(takeDebugLines().isEmpty());
    }

    void versionDecision_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<QStringList>("openDebug");
        QTest::addColumn<QStringList>("openRuns");
        QTest::addColumn<QStringList>("closeDebug");
        QTest::addColumn<QStringList>("closeRuns");
        QTest::addColumn<QStringList>("launched");

        const QStringList none;
        const QStringList start{kAllow, kStart};
        const QStringList stop{kStop, kDisallow};
        QTest::newRow("XP") << WV_XP << QStringList{"WV_XP"} << none << QStringList{"WV_XP"} << none
                            << none;
        QTest::newRow("Vista") << WV_VISTA << QStringList{"WV_VISTA"} << none
                               << QStringList{"WV_VISTA"} << none << none;
        QTest::newRow("7") << WV_WINDOWS7 << QStringList{"WV_WINDOWS7"} << start
                           << QStringList{"Stop WV_WINDOWS7"} << stop << none;
        QTest::newRow("8") << WV_WINDOWS8 << none << start << QStringList{"WV_WINDOWS8"} << stop
                           << none;
        QTest::newRow("8.1") << WV_WINDOWS8_1 << QStringList{"WV_WINDOWS8_1"} << start
                             << QStringList{"WV_WINDOWS8_1"} << stop << none;
        // Airstep is not running: only the presence test, then the launch.
        QTest::newRow("10") << WV_WINDOWS10 << QStringList{"WV_WINDOWS10"} << QStringList{kTasklist}
                            << none << QStringList{kTasklist}
                            << QStringList{"C:/Airstep/Airstep.exe -hidden"};
        QTest::newRow("none") << WV_None << none << none << none << none << none;
        QTest::newRow("2003") << WV_2003 << none << none << none << none << none;
        QTest::newRow("unknown") << 0x1234 << none << none << none << none << none;
    }
    void versionDecision()
    {
        QFETCH(int, version);
        QFETCH(QStringList, openDebug);
        QFETCH(QStringList, openRuns);
        QFETCH(QStringList, closeDebug);
        QFETCH(QStringList, closeRuns);
        QFETCH(QStringList, launched);
        writeSetting(QStringLiteral("WIFI/Path"), QStringLiteral("C:/Airstep/Airstep.exe -hidden"));
        runner().answer(QStringLiteral("tasklist"), kNoTasks);
        overrideCurrent(version);

        OPENWIFI wifi(runner());
        wifi.openWifi();
        QCOMPARE(takeDebugLines(), openDebug);
        QCOMPARE(lines(runner().runs()), openRuns);
        QCOMPARE(runner().detached(), launched);

        runner().clearRuns();
        wifi.closeWifi();
        QCOMPARE(takeDebugLines(), closeDebug);
        QCOMPARE(lines(runner().runs()), closeRuns);
        QCOMPARE(runner().detached(), launched);
    }

    // The stored name is one argument whatever it holds: white space of any kind in it must
    // not add arguments of its own. The passphrase is fixed whatever the file holds.
    void netshArgumentsAndWaits_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("ssidArgument");
        QTest::newRow("missing") << QString() << QStringLiteral("ssid=");
        QTest::newRow("plain") << QStringLiteral("net") << QStringLiteral("ssid=net");
        QTest::newRow("blank") << QStringLiteral("my net") << QStringLiteral("ssid=my net");
        QTest::newRow("quotes dropped")
            << QStringLiteral("x\" key=\"open") << QStringLiteral("ssid=x key=open");
        for (const char* blank : {"\t", "\n", "\r", "\v", "\u00a0"}) {
            const QString name =
                QStringLiteral("x") + QString::fromUtf8(blank) + QStringLiteral("key=evil");
            QTest::newRow(qPrintable(QStringLiteral("white space U+%1")
                                         .arg(int(name.at(1).unicode()), 4, 16, QChar('0'))))
                << name << QStringLiteral("ssid=") + name;
        }
    }
    void netshArgumentsAndWaits()
    {
        QFETCH(QString, stored);
        QFETCH(QString, ssidArgument);
        overrideCurrent(WV_WINDOWS7);
        OPENWIFI wifi(runner());
        QFile::remove(configFilePath());
        writeSetting(QStringLiteral("WIFI/key"), QStringLiteral("other"));
        if (!stored.isNull())
            writeSetting(QStringLiteral("WIFI/ssid"), stored);
        wifi.startHostedNetwork();
        const auto runs = runner().runs();
        QCOMPARE(runs.size(), 2);
        for (const platform::ToolRun& run : runs) {
            QVERIFY(!run.commandLine);
            QCOMPARE(run.program, QStringLiteral("netsh"));
            QCOMPARE(run.finishMs, 30000);
        }
        QCOMPARE(runs.at(0).arguments, (QStringList{"wlan", "set", "hostednetwork", "mode=allow",
                                                    ssidArgument, "key=kelp5820"}));
        QCOMPARE(lines(runs).at(1), kStart);

        // Nothing netsh says is looked at: a command that never finishes does not stop the next.
        runner().answer(QStringLiteral("netsh"), QString(), false);
        runner().clearRuns();
        wifi.stopHostedNetwork();
        QCOMPARE(lines(runner().runs()), (QStringList{kStop, kDisallow}));
    }

    void airstepIsEndedOnlyWhenListed_data()
    {
        QTest::addColumn<QString>("listing");
        QTest::addColumn<bool>("finished");
        QTest::addColumn<bool>("ended");
        QTest::newRow("listed") << kAirstepListing << true << true;
        QTest::newRow("not listed") << kNoTasks << true << false;
        QTest::newRow("other case")
            << QString(kAirstepListing).replace("Airstep", "AIRSTEP") << true << false;
        QTest::newRow("list timed out") << kAirstepListing << false << false;
    }
    void airstepIsEndedOnlyWhenListed()
    {
        QFETCH(QString, listing);
        QFETCH(bool, finished);
        QFETCH(bool, ended);
        runner().answer(QStringLiteral("tasklist"), listing, finished);
        overrideCurrent(WV_WINDOWS10);
        OPENWIFI wifi(runner());
        wifi.closeWifi();
        const auto runs = runner().runs();
        QCOMPARE(lines(runs), ended ? (QStringList{kTasklist, kTaskkill}) : QStringList{kTasklist});
        for (const platform::ToolRun& run : runs)
            QCOMPARE(run.finishMs, 30000);
        QCOMPARE(takeDebugLines(), ended ? QStringList{"stopWin10WifiEXE"} : QStringList());
    }

    void airstepLaunchTakesTheConfiguredCommandLine()
    {
        runner().answer(QStringLiteral("tasklist"), kNoTasks);
        overrideCurrent(WV_WINDOWS10);
        OPENWIFI wifi(runner());
        writeSetting(QStringLiteral("WIFI/Path"),
                     QStringLiteral("\"C:/Program Files/Airstep/Airstep.exe\" -tray"));
        wifi.openWifi();
        QCOMPARE(runner().detached(),
                 QStringList{QStringLiteral("C:/Program Files/Airstep/Airstep.exe -tray")});
        // Nothing to launch: no attempt, no complaint.
        writeSetting(QStringLiteral("WIFI/Path"), QString());
        wifi.openWifi();
        QCOMPARE(runner().detached().size(), 1);
    }

    void workerCycle()
    {
        overrideCurrent(WV_WINDOWS7);
        TimedRunner timed(runner());
        MyThread worker(timed);
        int done = 0;
        connect(&worker, &MyThread::isDone, this, [&] { ++done; });
        worker.start();
        QVERIFY(worker.wait(20000));
        QCoreApplication::processEvents();
        QCOMPARE(done, 1);
        QCOMPARE(worker.objectName(), QStringLiteral("hotspot worker"));

        QCOMPARE(lines(runner().runs()),
                 (QStringList{kStop, kDisallow, kAllow, kStart, kStop, kDisallow, kAllow, kStart}));
        QCOMPARE(takeDebugLines(), (QStringList{"Stop WV_WINDOWS7", "WV_WINDOWS7",
                                                "Stop WV_WINDOWS7", "WV_WINDOWS7"}));
        // The pause lies between the first start and the second stop.
        const QVector<qint64> times = timed.times();
        QCOMPARE(times.size(), 8);
        QVERIFY2(times.at(4) - times.at(3) >= 990,
                 qPrintable(QString::number(times.at(4) - times.at(3))));
    }

    // On Windows 10 a cycle ends the running Airstep, launches it, ends it again and
    // launches it a last time.
    void workerCycleOnWindows10()
    {
        overrideCurrent(WV_WINDOWS10);
        runner().answer(QStringLiteral("tasklist"), kAirstepListing);
        writeSetting(QStringLiteral("WIFI/Path"), QStringLiteral("Airstep.exe"));
        MyThread worker(runner());
        worker.start();
        QVERIFY(worker.wait(20000));
        QCOMPARE(lines(runner().runs()), (QStringList{kTasklist, kTaskkill, kTasklist, kTaskkill,
                                                      kTasklist, kTaskkill, kTasklist, kTaskkill}));
        QCOMPARE(runner().detached(), (QStringList{"Airstep.exe", "Airstep.exe"}));
    }
};

QTEST_GUILESS_MAIN(TestOpenWifi)
#include "tst_openwifi.moc"
