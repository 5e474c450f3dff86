#include "common/settings.h"
#include "discovery/qtwifi.h"
#include "discovery/tcpclient.h"
#include "tests/mock/fakeadaptertable.h"
#include "tests/mock/fakerunner.h"
#include "tests/support/procstats.h"
#include "tools/scannersim/scannersimulator.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <map>
#include <memory>

// The monitor with real links to simulated scanners on the scanner port, at addresses of
// the hosted subnet that the private test network puts on this process's loopback.
// Discovery's Windows facilities are faked: the adapter table shows the hosted network
// and the ARP listing and ping answer for the addresses each test names.
class TestTCPClient final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    FakeAdapterTable adapters;
    FakeRunner runner;
    std::map<QString, std::unique_ptr<ScannerSimulator>> scanners;

    static QString address(int host) { return QStringLiteral("192.168.137.%1").arg(host); }

    ScannerSimulator& scanner(int host,
                              const ScannerReply& reply = ScannerReply::status(REPLY_STATE_LIT))
    {
        auto sim = std::make_unique<ScannerSimulator>();
        sim->setDefaultReply(reply);
        if (!sim->start(QHostAddress(address(host)), kScannerPort))
            qFatal("cannot listen on %s", qPrintable(address(host)));
        return *(scanners[address(host)] = std::move(sim));
    }

    // Makes discovery see exactly these hosts, then runs a pass on its own thread and one
    // monitor tick, which opens the links.
    void discover(TCPClient& monitor, const QList<int>& hosts)
    {
        QStringList listed;
        for (int host : hosts) {
            listed.append(address(host));
            runner.answer(QStringLiteral("ping %1 -n 1 -w 1000").arg(address(host)),
                          FakeRunner::pingReply(address(host)));
        }
        runner.answer(QStringLiteral("arp"),
                      FakeRunner::arpListing(QStringLiteral("192.168.137.1"), listed));
        QTWIFI* wifi = monitor.wifi();
        QMetaObject::invokeMethod(
            wifi, [wifi] { wifi->discoveryPass(); }, Qt::BlockingQueuedConnection);
        monitor.TimerTimeOut();
    }

    // Collects until the address's record arrives.
    static bool collectUntil(TCPClient& monitor, const QString& ip, QList<OstraInfo>& seen,
                             QStringList& online, int timeoutMs = 8000)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            QList<OstraInfo> records;
            online = monitor.onlineDevices(records);
            seen += records;
            for (const OstraInfo& r : records)
                if (r.ip == ip)
                    return true;
            QThread::msleep(5);
        }
        return false;
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("OSTRA_TEST_NET"))
            QSKIP("needs the private test network: run through tests/support/run-in-test-net.sh");
        QVERIFY(dir.isValid());
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
        adapters.set({FakeAdapterTable::adapter(platform::kAdapterTypeWireless, {2, 0, 0, 0, 0, 1},
                                                {"192.168.137.1"})});
    }

    void cleanup()
    {
        scanners.clear();
        runner.clearRuns();
    }

    void nothingBeforeDiscovery()
    {
        TCPClient monitor(adapters, runner);
        QList<OstraInfo> records{OstraInfo{}};
        QVERIFY(monitor.onlineDevices(records).isEmpty());
        QVERIFY(records.isEmpty());
        QVERIFY(!monitor.sendCommand(address(100), REQUEST_COMMAND));
    }

    void newAddressIsOnlineBeforeItsFirstRecord()
    {
        ScannerSimulator& sim = scanner(100, ScannerReply::neverAnswer());
        TCPClient monitor(adapters, runner);
        discover(monitor, {100});
        QCOMPARE(monitor.linkCount(), 1);
        QVERIFY(sim.waitForRequests(1, 5000));
        QList<OstraInfo> records;
        QCOMPARE(monitor.onlineDevices(records), QStringList{address(100)});
        QVERIFY(records.isEmpty());
        // A second tick opens no second link for the same address.
        monitor.TimerTimeOut();
        QCOMPARE(monitor.linkCount(), 1);
    }

    void failedConnectDropsTheAddressButHandsOverItsRecord()
    {
        // 101 has no scanner: its connection is refused. 102 answers.
        ScannerSimulator& second = scanner(102);
        TCPClient monitor(adapters, runner);
        discover(monitor, {101, 102});
        QCOMPARE(monitor.linkCount(), 2);
        QVERIFY(second.waitForRequests(1, 5000));
        // Both links have their record waiting well before this, even on a loaded machine.
        QTest::qWait(1500);

        QList<OstraInfo> records;
        const QStringList online = monitor.onlineDevices(records);
        QCOMPARE(records.size(), 2);
        QCOMPARE(records.at(0).ip, address(101));
        QCOMPARE(records.at(0).status, DEVICE_CONNECT_ERROR);
        QCOMPARE(records.at(1).ip, address(102));
        QCOMPARE(records.at(1).status, REPLY_STATE_LIT);
        QCOMPARE(online, QStringList{address(102)});
        QCOMPARE(monitor.linkCount(), 1);
        QCOMPARE(monitor.wifi()->deviceList(), QStringList{address(102)});
    }

    void missCountDecidesWhoIsOnline()
    {
        // The first exchange hangs until the receive time-out, so no record comes for a while.
        ScannerSimulator& sim = scanner(103, ScannerReply::neverAnswer());
        TCPClient monitor(adapters, runner);
        discover(monitor, {103});
        QVERIFY(sim.waitForRequests(1, 5000));
        QList<OstraInfo> records;
        for (int pass = 1; pass <= 39; ++pass)
            QCOMPARE(monitor.onlineDevices(records), QStringList{address(103)});
        QVERIFY(records.isEmpty());
        QCOMPARE(monitor.onlineDevices(records), QStringList()); // the 40th miss
        // The time-out's record brings it back at once.
        QStringList online;
        QList<OstraInfo> seen;
        QVERIFY(collectUntil(monitor, address(103), seen, online));
        QCOMPARE(seen.last().status, DEVICE_RECV_ERROR);
        QCOMPARE(online, QStringList{address(103)});
    }

    void onlineListIsInTextOrder()
    {
        scanner(5);
        scanner(100);
        TCPClient monitor(adapters, runner);
        discover(monitor, {5, 100});
        QList<OstraInfo> records;
        QCOMPARE(monitor.onlineDevices(records), (QStringList{address(100), address(5)}));
    }

    void commandGoesToTheLinkOfThatAddress()
    {
        ScannerSimulator& sim = scanner(104);
        sim.setCommandReply(ScannerReply::status(REPLY_STATE_ANIMATED));
        TCPClient monitor(adapters, runner);
        discover(monitor, {104});
        QVERIFY(monitor.sendCommand(address(104), REQUEST_COMMAND));
        QVERIFY(!monitor.sendCommand(address(105), REQUEST_COMMAND));
        bool commandSeen = false;
        for (const auto& request : sim.requests())
            commandSeen |= request.code == REQUEST_COMMAND;
        QVERIFY(commandSeen);
    }

    // A scanner whose connection keeps failing is dropped and rediscovered over and over;
    // each round must leave no link and no thread behind.
    void flappingScannerLeavesNothingBehind()
    {
        TCPClient monitor(adapters, runner);
        QTest::qWait(200);
        const int threadsBefore = threadCount();
        const qint64 memoryBefore = residentKiB();
        constexpr int kFlaps = 200;
        for (int flap = 0; flap < kFlaps; ++flap) {
            discover(monitor, {106});
            QCOMPARE(monitor.linkCount(), 1);
            QList<OstraInfo> seen;
            QStringList online;
            QVERIFY(collectUntil(monitor, address(106), seen, online));
            QCOMPARE(seen.last().status, DEVICE_CONNECT_ERROR);
            QCOMPARE(monitor.linkCount(), 0);
        }
        QTRY_VERIFY([&] {
            monitor.TimerTimeOut();
            return monitor.retiredLinkCount() == 0;
        }());
        const int threadsAfter = threadCount();
        const qint64 memoryAfter = residentKiB();
        qInfo("%d flaps: threads %d -> %d, resident memory %lld KiB -> %lld KiB", kFlaps,
              threadsBefore, threadsAfter, memoryBefore, memoryAfter);
        QCOMPARE(threadsAfter, threadsBefore);
    }

    void destructionStopsEverythingPromptly()
    {
        const int threadsBefore = threadCount();
        scanner(107, ScannerReply::neverAnswer());
        scanner(108);
        QElapsedTimer clock;
        {
            TCPClient monitor(adapters, runner);
            discover(monitor, {107, 108, 109});
            QVERIFY(scanners[address(107)]->waitForRequests(1, 5000));
            clock.start();
        }
        qInfo("monitor with three links gone in %lld ms", clock.elapsed());
        QVERIFY(clock.elapsed() < 3000);
        scanners.clear();
        // A thread left from an earlier test may end meanwhile: fewer is fine, more is not.
        QVERIFY(threadCount() <= threadsBefore);
    }
};

QTEST_GUILESS_MAIN(TestTCPClient)
#include "tst_tcpclient.moc"
