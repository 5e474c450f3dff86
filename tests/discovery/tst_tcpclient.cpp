#include "common/settings.h"
#include "discovery/qtwifi.h"
#include "discovery/tcpclient.h"
#include "tests/mock/fakerunner.h"
#include "tests/support/adapterrows.h"
#include "tests/support/procstats.h"
#include "tools/scannersim/scannersimulator.h"

#include <QtTest>

#include <list>

// Real links to simulated scanners on the test network's loopback; discovery's tools are faked.
class TestTCPClient final : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    FakeAdapterTable adapters;
    FakeRunner runner;
    std::list<ScannerSimulator> scanners;
    QMap<QString, int> status; // of the last record from each address

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

    // Makes discovery see exactly these hosts in a pass on its own thread; a tick opens links.
    void discover(TCPClient& monitor, const QStringList& hosts)
    {
        runner.answer(QStringLiteral("arp"),
                      FakeRunner::arpListing(QStringLiteral("192.168.137.1"), hosts));
        QMetaObject::invokeMethod(
            monitor.wifi(), [&] { monitor.wifi()->discoveryPass(); }, Qt::BlockingQueuedConnection);
        monitor.TimerTimeOut();
    }

    // Collects passes until each address has handed over a record; the last pass's online list.
    QStringList collectUntil(TCPClient& monitor, const QStringList& addresses)
    {
        QElapsedTimer clock;
        for (clock.start(); clock.elapsed() < 8000; QThread::msleep(5)) {
            QList<OstraInfo> records;
            const QStringList online = monitor.onlineDevices(records);
            for (const OstraInfo& r : records)
                status[r.ip] = r.status;
            if (std::all_of(addresses.begin(), addresses.end(),
                            [&](const QString& ip) { return status.contains(ip); }))
                return online;
        }
        return {QStringLiteral("timed out")};
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("OSTRA_TEST_NET"))
            QSKIP("needs the private test network: run through tests/support/run-in-test-net.sh");
        runner.answer(QStringLiteral("ping"), FakeRunner::ping(QStringLiteral("any")));
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
        adapters.set({wifi({"192.168.137.1"})});
    }

    // 106 has no scanner and is dropped and rediscovered over and over. Then 5 answers with a
    // status, 100 with pictures, 101 is refused (its record handed over, the address dropped)
    // and 103 is silent until the receive time-out; the monitor goes with 103 waiting.
    void linksComeAndGo()
    {
        const int threadsBefore = threadCount();
        {
            TCPClient monitor(adapters, runner);
            const int idleThreads = threadCount();
            for (int flap = 0; flap < 200; ++flap) {
                discover(monitor, {address(106)});
                status.clear();
                QCOMPARE(collectUntil(monitor, {address(106)}), QStringList());
                QVERIFY(!monitor.wifi()->deviceList().contains(address(106)));
                QCOMPARE(monitor.linkCount(), 0);
            }
            QTRY_VERIFY((monitor.TimerTimeOut(), monitor.retiredLinkCount() == 0));
            QCOMPARE(threadCount(), idleThreads);

            scanner(5).setCommandReply(ScannerReply::closeAtOnce()); // a command here is no answer
            scanner(100, ScannerReply::image("picture"))
                .setCommandReply(ScannerReply::status(REPLY_STATE_ANIMATED));
            ScannerSimulator& silent = scanner(103, ScannerReply::neverAnswer());
            const QStringList all{address(5), address(100), address(101), address(103)};
            discover(monitor, all);
            monitor.TimerTimeOut();
            QCOMPARE(monitor.linkCount(), 4);
            OstraInfo picture;
            QVERIFY(!monitor.takePicture(address(5), picture)); // its status record waits
            QVERIFY(QTest::qWaitFor([&] { return monitor.takePicture(address(100), picture); }));
            QCOMPARE(picture.status, REPLY_IMAGE);
            QVERIFY(silent.waitForRequests(1, 5000));
            for (int pass = 1; pass < 40; ++pass)
                QVERIFY(collectUntil(monitor, {}).contains(address(103)));
            QVERIFY(!collectUntil(monitor, {}).contains(address(103))); // the 40th miss
            // The time-out's record brings it back at once; the online list is in text order.
            QCOMPARE(collectUntil(monitor, all),
                     (QStringList{address(100), address(103), address(5)}));
            QCOMPARE(status.value(address(101)), DEVICE_CONNECT_ERROR);
            QCOMPARE(status.value(address(103)), DEVICE_RECV_ERROR);
            QCOMPARE(monitor.linkCount(), 3);
            QVERIFY(monitor.sendCommand(address(100), REQUEST_COMMAND));
            QVERIFY(!monitor.sendCommand(address(101), REQUEST_COMMAND));
            QVERIFY(silent.waitForRequests(2, 5000));
        }
        scanners.clear();
        QTRY_COMPARE(threadCount(), threadsBefore);
    }
};

QTEST_GUILESS_MAIN(TestTCPClient)
#include "tst_tcpclient.moc"
