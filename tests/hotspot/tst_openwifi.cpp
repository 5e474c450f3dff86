#include "common/settings.h"
#include "hotspot/mythread.h"
#include "hotspot/openwifi.h"
#include "hotspot/winversion.h"
#include "tests/mock/fakerunner.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace winversion;

namespace {

const QString kAirstepListing =
    QStringLiteral("\r\nImage Name                     PID Session Name        Session#    Mem "
                   "Usage\r\n========================= ======== ================ =========== "
                   "============\r\nAirstep.exe                   5120 Console                    "
                   "1     12,345 K\r\n");
const QString kNoTasks =
    QStringLiteral("INFO: No tasks are running which match the specified criteria.\r\n");

const QString kAllow =
    QStringLiteral("netsh|wlan|set|hostednetwork|mode=allow|ssid=net|key=kelp5820");
const QString kStart = QStringLiteral("netsh|wlan|start|hostednetwork");
const QString kStop = QStringLiteral("netsh|wlan|stop|hostednetwork");
const QString kDisallow = QStringLiteral("netsh|wlan|set|hostednetwork|mode=disallow");
const QString kTasklist = QStringLiteral("tasklist|-fi|imagename eq Airstep.exe ");
const QString kTaskkill = QStringLiteral("taskkill|-im|Airstep.exe|-f");

// One line per run, each waited for 30 s: the command line, or the program and its arguments.
QStringList lines(const FakeRunner& runner)
{
    QStringList result;
    for (const platform::ToolRun& run : runner.runs()) {
        result.append(run.commandLine
                          ? run.program
                          : (QStringList{run.program} + run.arguments).join(QLatin1Char('|')));
        if (run.finishMs != 30000)
            result.append(QStringLiteral("waited %1 ms").arg(run.finishMs));
    }
    return result;
}

} // namespace

class TestOpenWifi final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    std::unique_ptr<FakeRunner> fake;

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void init()
    {
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
        QFile::remove(configFilePath());
        writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("net"));
        fake = std::make_unique<FakeRunner>();
    }
    void cleanup() { overrideCurrent(-1); }

    void versionDecision_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<QStringList>("openRuns");
        QTest::addColumn<QStringList>("closeRuns");
        QTest::addColumn<QStringList>("launched");
        const QStringList none;
        const QStringList start{kAllow, kStart};
        const QStringList stop{kStop, kDisallow};
        QTest::newRow("XP: nothing") << WV_XP << none << none << none;
        QTest::newRow("Vista: nothing") << WV_VISTA << none << none << none;
        QTest::newRow("7: netsh") << WV_WINDOWS7 << start << stop << none;
        QTest::newRow("8: netsh") << WV_WINDOWS8 << start << stop << none;
        QTest::newRow("8.1: netsh") << WV_WINDOWS8_1 << start << stop << none;
        QTest::newRow("10: Airstep, launched when it is not running")
            << WV_WINDOWS10 << QStringList{kTasklist} << QStringList{kTasklist}
            << QStringList{"C:/Program Files/Airstep/Airstep.exe -tray"};
        QTest::newRow("No Windows version (this system): nothing")
            << WV_None << none << none << none;
        QTest::newRow("2003: nothing") << WV_2003 << none << none << none;
        QTest::newRow("Unknown version: nothing") << 0x1234 << none << none << none;
    }
    void versionDecision()
    {
        QFETCH(int, version);
        QFETCH(QStringList, openRuns);
        QFETCH(QStringList, closeRuns);
        QFETCH(QStringList, launched);
        // The launch takes the configured command line, quotes and all.
        writeSetting(QStringLiteral("WIFI/Path"),
                     QStringLiteral("\"C:/Program Files/Airstep/Airstep.exe\" -tray"));
        fake->answer(QStringLiteral("tasklist"), kNoTasks);
        if (version != WV_None)
            overrideCurrent(version);
        OPENWIFI wifi(*fake);
        wifi.openWifi();
        QCOMPARE(lines(*fake), openRuns);
        QCOMPARE(fake->detached(), launched);
        fake->clearRuns();
        wifi.closeWifi();
        QCOMPARE(lines(*fake), closeRuns);
        QCOMPARE(fake->detached(), launched);
    }

    // The stored name is one argument whatever it holds: white space of any kind in it must
    // not add arguments of its own. The passphrase is fixed whatever the file holds.
    void netshArguments_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("ssidArgument");
        QTest::newRow("A missing name gives an empty one") << QString() << QStringLiteral("ssid=");
        QTest::newRow("A blank stays inside the name")
            << QStringLiteral("my net") << QStringLiteral("ssid=my net");
        QTest::newRow("Quotes are dropped, not let out")
            << QStringLiteral("x\" key=\"open") << QStringLiteral("ssid=x key=open");
        for (const char* blank : {"\t", "\n", "\r", "\v", "\u00a0"}) {
            const QString name =
                QStringLiteral("x") + QString::fromUtf8(blank) + QStringLiteral("key=evil");
            QTest::newRow(qPrintable(QStringLiteral("White space U+%1 stays inside the name")
                                         .arg(int(name.at(1).unicode()), 4, 16, QChar('0'))))
                << name << QStringLiteral("ssid=") + name;
        }
    }
    void netshArguments()
    {
        QFETCH(QString, stored);
        QFETCH(QString, ssidArgument);
        overrideCurrent(WV_WINDOWS7);
        OPENWIFI wifi(*fake);
        QFile::remove(configFilePath());
        writeSetting(QStringLiteral("WIFI/key"), QStringLiteral("other"));
        if (!stored.isNull())
            writeSetting(QStringLiteral("WIFI/ssid"), stored);
        wifi.startHostedNetwork();
        const auto runs = fake->runs();
        QCOMPARE(runs.size(), 2);
        QVERIFY(!runs.at(0).commandLine);
        QCOMPARE(runs.at(0).arguments, (QStringList{"wlan", "set", "hostednetwork", "mode=allow",
                                                    ssidArgument, "key=kelp5820"}));
        QCOMPARE(lines(*fake).at(1), kStart);

        // Nothing netsh says is looked at: a command that never finishes does not stop the next.
        fake->answer(QStringLiteral("netsh"), QString(), false);
        fake->clearRuns();
        wifi.stopHostedNetwork();
        QCOMPARE(lines(*fake), (QStringList{kStop, kDisallow}));
    }

    void airstepIsEndedOnlyWhenListed_data()
    {
        QTest::addColumn<QString>("listing");
        QTest::addColumn<bool>("finished");
        QTest::addColumn<bool>("ended");
        QTest::newRow("Listed: ended") << kAirstepListing << true << true;
        QTest::newRow("Not listed: left alone") << kNoTasks << true << false;
        QTest::newRow("The name's case counts")
            << QString(kAirstepListing).replace("Airstep", "AIRSTEP") << true << false;
        QTest::newRow("A list that timed out lists nothing") << kAirstepListing << false << false;
    }
    void airstepIsEndedOnlyWhenListed()
    {
        QFETCH(QString, listing);
        QFETCH(bool, finished);
        QFETCH(bool, ended);
        fake->answer(QStringLiteral("tasklist"), listing, finished);
        overrideCurrent(WV_WINDOWS10);
        OPENWIFI(*fake).closeWifi();
        QCOMPARE(lines(*fake),
                 ended ? (QStringList{kTasklist, kTaskkill}) : QStringList{kTasklist});
    }

    void nothingToLaunchIsNoAttempt()
    {
        fake->answer(QStringLiteral("tasklist"), kNoTasks);
        overrideCurrent(WV_WINDOWS10);
        OPENWIFI(*fake).openWifi();
        QVERIFY(fake->detached().isEmpty());
    }

    // A cycle closes and opens the access point twice, with a pause between the two.
    void workerCycle_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<QStringList>("runs");
        QTest::addColumn<QStringList>("launched");
        QTest::newRow("7: netsh down and up, twice")
            << WV_WINDOWS7
            << QStringList{kStop, kDisallow, kAllow, kStart, kStop, kDisallow, kAllow, kStart}
            << QStringList();
        QTest::newRow("10: Airstep ended and launched, twice")
            << WV_WINDOWS10 << QStringList{kTasklist, kTaskkill, kTasklist, kTaskkill,
                                           kTasklist, kTaskkill, kTasklist, kTaskkill}
            << QStringList{"Airstep.exe", "Airstep.exe"};
    }
    void workerCycle()
    {
        QFETCH(int, version);
        QFETCH(QStringList, runs);
        QFETCH(QStringList, launched);
        overrideCurrent(version);
        fake->answer(QStringLiteral("tasklist"), kAirstepListing);
        writeSetting(QStringLiteral("WIFI/Path"), QStringLiteral("Airstep.exe"));
        MyThread worker(*fake);
        QSignalSpy done(&worker, &MyThread::isDone);
        QElapsedTimer clock;
        clock.start();
        worker.start();
        QVERIFY(worker.wait(20000));
        qInfo("one cycle took %lld ms", clock.elapsed());
        QCOMPARE(done.count(), 1);
        QCOMPARE(worker.objectName(), QStringLiteral("hotspot worker"));
        QCOMPARE(lines(*fake), runs);
        QCOMPARE(fake->detached(), launched);
    }
};

QTEST_GUILESS_MAIN(TestOpenWifi)
#include "tst_openwifi.moc"
