#include "common/settings.h"
#include "discovery/qtwifi.h"
#include "discovery/tcpclient.h"
#include "tests/mock/fakeadaptertable.h"
#include "tests/mock/fakerunner.h"
#include "tests/support/procstats.h"
#include "tools/scannersim/scannersimulator.h"

#include <QTemporaryDir>
#include <QtTest>

#include <list>

// Real links to simulated scanners at hosted-subnet addresses that the private test network
// puts on loopback; the adapter table, ARP listing and ping answers are faked.
class TestTCPClient final : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    FakeAdapterTable adapters;
    FakeRunner runner;
    std::list<ScannerSimulator> scanners;

    static QString address(int host) { return QStringLiteral("192.168.137.%1").arg(host); }

    ScannerSimulator& scanner(int host,
                              const ScannerReply& reply = ScannerReply::status(REPLY_STATE_LIT))
    {
        ScannerSimulator& sim = scanners.emplace_back();
        sim.setDefaultReply(reply);
        if (!sim.start(QHostAddress(address(host)), kScannerPort))
            qFatal("cannot listen on %s", qPrintable(address(host)));
        return sim;
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

    // Collects passes until each address has handed over a record; the last pass's online list.
    static QStringList collectUntil(TCPClient& monitor, QStringList waiting, QList<OstraInfo>& seen)
    {
        QStringList online;
        QElapsedTimer clock;
        for (clock.start(); !waiting.isEmpty() && clock.elapsed() < 8000; QThread::msleep(5)) {
            QList<OstraInfo> records;
            online = monitor.onlineDevices(records);
            seen += records;
            for (const OstraInfo& r : records)
                waiting.removeAll(r.ip);
        }
        return waiting.isEmpty() ? online : QStringList{QStringLiteral("timed out")};
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

    // 101 has no scanner: its refused connection's record is handed over and the address
    // dropped. The online list is in text order.
    void collectsOrdersAndCommands()
    {
        scanner(5).setCommandReply(ScannerReply::closeAtOnce()); // a command here is no answer
        scanner(100, ScannerReply::image("picture"))
            .setCommandReply(ScannerReply::status(REPLY_STATE_ANIMATED));
        TCPClient monitor(adapters, runner);
        discover(monitor, {5, 100, 101});
        QCOMPARE(monitor.linkCount(), 3);
        OstraInfo picture;
        QVERIFY(QTest::qWaitFor([&] { return monitor.takePicture(address(100), picture); }));
        QCOMPARE(picture.ip, address(100));
        QCOMPARE(picture.status, REPLY_IMAGE);
        QList<OstraInfo> seen;
        QCOMPARE(collectUntil(monitor, {address(5), address(100), address(101)}, seen),
                 (QStringList{address(100), address(5)}));
        for (const OstraInfo& r : seen)
            if (r.ip == address(101))
                QCOMPARE(r.status, DEVICE_CONNECT_ERROR);
        QCOMPARE(monitor.linkCount(), 2);
        QVERIFY(!monitor.wifi()->deviceList().contains(address(101)));
        QVERIFY(monitor.sendCommand(address(100), REQUEST_COMMAND));
        QVERIFY(!monitor.sendCommand(address(101), REQUEST_COMMAND));
    }

    // The first exchange hangs until the receive time-out, so no record comes for a while;
    // the monitor then goes with the link still waiting on the scanner.
    void dropsAScannerAfterExactlyItsMissLimit()
    {
        const int threadsBefore = threadCount();
        ScannerSimulator& sim = scanner(103, ScannerReply::neverAnswer());
        QElapsedTimer clock;
        {
            TCPClient monitor(adapters, runner);
            discover(monitor, {103});
            monitor.TimerTimeOut();
            QCOMPARE(monitor.linkCount(), 1);
            QVERIFY(sim.waitForRequests(1, 5000));
            QList<OstraInfo> records;
            for (int pass = 1; pass < 40; ++pass)
                QCOMPARE(monitor.onlineDevices(records), QStringList{address(103)});
            QVERIFY(records.isEmpty());
            QCOMPARE(monitor.onlineDevices(records), QStringList()); // the 40th miss
            // The time-out's record brings it back at once.
            QList<OstraInfo> seen;
            QCOMPARE(collectUntil(monitor, {address(103)}, seen), QStringList{address(103)});
            QCOMPARE(seen.last().status, DEVICE_RECV_ERROR);
            QVERIFY(sim.waitForRequests(2, 5000));
            clock.start();
        }
        qInfo("monitor gone in %lld ms with its link mid-exchange", clock.elapsed());
        scanners.clear();
        // A thread left from an earlier test may end meanwhile: fewer is fine, more is not.
        QTRY_VERIFY(threadCount() <= threadsBefore);
    }

    // A scanner whose connection keeps failing is dropped and rediscovered over and over.
    void flappingScannerLeavesNothingBehind()
    {
        TCPClient monitor(adapters, runner);
        const int threadsBefore = threadCount();
        const qint64 memoryBefore = residentKiB();
        for (int flap = 0; flap < 200; ++flap) {
            discover(monitor, {106});
            QList<OstraInfo> seen;
            QCOMPARE(collectUntil(monitor, {address(106)}, seen), QStringList());
            QCOMPARE(monitor.linkCount(), 0);
        }
        QTRY_VERIFY((monitor.TimerTimeOut(), monitor.retiredLinkCount() == 0));
        qInfo("200 flaps: threads %d -> %d, resident memory %lld KiB -> %lld KiB", threadsBefore,
              threadCount(), memoryBefore, residentKiB());
        QCOMPARE(threadCount(), threadsBefore);
    }
};

QTEST_GUILESS_MAIN(TestTCPClient)
#include "tst_tcpclient.moc"
