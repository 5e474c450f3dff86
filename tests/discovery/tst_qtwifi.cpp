#include "common/settings.h"
#include "discovery/qtwifi.h"
#include "tests/mock/fakeadaptertable.h"
#include "tests/mock/fakerunner.h"

#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <thread>

using platform::kAdapterTypeEthernet;
using platform::kAdapterTypeWireless;

namespace {

const std::vector<unsigned char> kMac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

} // namespace

class TestQtWifi final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    FakeAdapterTable adapters;
    FakeRunner runner;

    void hostedNetwork(const char* gateway = "192.168.137.1")
    {
        adapters.set({FakeAdapterTable::adapter(kAdapterTypeEthernet, {1, 2, 3, 4, 5, 6},
                                                {"10.0.0.7"}, "lan"),
                      FakeAdapterTable::adapter(kAdapterTypeWireless, kMac, {"0.0.0.0", gateway})});
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void init()
    {
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
        QFile::remove(configFilePath());
        adapters.set({});
        runner.clearRuns();
    }

    void stateBeforeAndAfterStart()
    {
        QTWIFI wifi(adapters, runner);
        QCOMPARE(wifi.wifiStatus().state, 2);
        QCOMPARE(wifi.wifiStatus().ssid, QString());
        QVERIFY(!wifi.wifiStatus().started);
        wifi.Start();
        QVERIFY(wifi.wifiStatus().started);
        QCOMPARE(wifi.wifiStatus().state, 0);
        QCOMPARE(wifi.wifiStatus().ssid, QString());
        QVERIFY(wifi.deviceList().isEmpty());
        wifi.Stop();
    }

    void noWirelessAdapter()
    {
        QTWIFI wifi(adapters, runner);
        adapters.set({FakeAdapterTable::adapter(kAdapterTypeEthernet, kMac, {"192.168.137.1"})});
        QCOMPARE(wifi.checkHostedNetwork(), 2); // the gateway on a wired adapter does not count
        adapters.set({FakeAdapterTable::adapter(kAdapterTypeWireless, kMac, {"192.168.137.1"})},
                     false);
        QCOMPARE(wifi.checkHostedNetwork(), 2); // a failed query
        wifi.discoveryPass();
        QCOMPARE(wifi.wifiStatus().state, 2);
        QVERIFY(runner.runs().isEmpty());
        QVERIFY(!QFile::exists(configFilePath()));
    }

    void wirelessWithoutHostedNetworkDerivesTheSsidOnce()
    {
        QTWIFI wifi(adapters, runner);
        adapters.set({FakeAdapterTable::adapter(kAdapterTypeWireless, kMac, {"169.254.3.4"})});
        wifi.discoveryPass();
        QCOMPARE(wifi.wifiStatus().state, 1);
        QCOMPARE(readSetting(QStringLiteral("WIFI/ssid")),
                 QStringLiteral("quorvane@ostra001A2B3C4D5"));
        QCOMPARE(readSetting(QStringLiteral("WIFI/setSSID")), QStringLiteral("1"));
        QCOMPARE(wifi.wifiStatus().ssid, QStringLiteral("quorvane@ostra001A2B3C4D5"));

        // With the flag set, nothing is derived again.
        writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("kept"));
        wifi.discoveryPass();
        QCOMPARE(readSetting(QStringLiteral("WIFI/ssid")), QStringLiteral("kept"));
    }

    void derivationRules_data()
    {
        QTest::addColumn<QByteArray>("hardware");
        QTest::addColumn<QString>("setSsid");
        QTest::addColumn<QString>("ssid"); // empty: nothing written
        QTest::newRow("6 bytes") << QByteArray("\x00\x1a\x2b\x3c\x4d\x5e", 6) << QString()
                                 << QStringLiteral("quorvane@ostra001A2B3C4D5");
        QTest::newRow("8 bytes") << QByteArray("\x01\x23\x45\x67\x89\xab\xcd\xef", 8) << QString()
                                 << QStringLiteral("quorvane@ostra0123456789ABCDE");
        QTest::newRow("1 byte") << QByteArray("\xff", 1) << QStringLiteral("0")
                                << QStringLiteral("quorvane@ostraF");
        QTest::newRow("flag not a number")
            << QByteArray("\x00\x1a\x2b\x3c\x4d\x5e", 6) << QStringLiteral("yes")
            << QStringLiteral("quorvane@ostra001A2B3C4D5");
        QTest::newRow("no hardware address") << QByteArray() << QString() << QString();
        QTest::newRow("flag set") << QByteArray("\x00\x1a\x2b\x3c\x4d\x5e", 6)
                                  << QStringLiteral("1") << QString();
        QTest::newRow("flag negative")
            << QByteArray("\x00\x1a\x2b\x3c\x4d\x5e", 6) << QStringLiteral("-1") << QString();
    }
    void derivationRules()
    {
        QFETCH(QByteArray, hardware);
        QFETCH(QString, setSsid);
        QFETCH(QString, ssid);
        if (!setSsid.isNull())
            writeSetting(QStringLiteral("WIFI/setSSID"), setSsid);
        QTWIFI wifi(adapters, runner);
        adapters.set({FakeAdapterTable::adapter(
            kAdapterTypeWireless, std::vector<unsigned char>(hardware.begin(), hardware.end()),
            {"0.0.0.0"})});
        QCOMPARE(wifi.checkHostedNetwork(), 3);
        if (ssid.isEmpty()) {
            QCOMPARE(readSetting(QStringLiteral("WIFI/ssid")), QString());
            QCOMPARE(readSetting(QStringLiteral("WIFI/setSSID")),
                     setSsid.isNull() ? QString() : setSsid);
        } else {
            QCOMPARE(readSetting(QStringLiteral("WIFI/ssid")), ssid);
            QCOMPARE(readSetting(QStringLiteral("WIFI/setSSID")), QStringLiteral("1"));
        }
    }

    void ssidIsReadOnceOnTheFirstMatch()
    {
        writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("clinic"));
        writeSetting(QStringLiteral("WIFI/setSSID"), QStringLiteral("1"));
        QTWIFI wifi(adapters, runner);
        wifi.Start();
        hostedNetwork("192.168.173.1");
        QCOMPARE(wifi.checkHostedNetwork(), 0);
        QCOMPARE(wifi.wifiStatus().ssid, QStringLiteral("clinic"));
        writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("changed"));
        runner.answer(QStringLiteral("arp"),
                      FakeRunner::arpListing(QStringLiteral("192.168.173.1"), {}));
        wifi.discoveryPass();
        QCOMPARE(wifi.wifiStatus().state, 0);
        QCOMPARE(wifi.wifiStatus().ssid, QStringLiteral("clinic"));
        wifi.Stop();
    }

    // An earlier Wi-Fi adapter without the gateway is published, yet a later one with it
    // still ends the walk with the hosted network up.
    void laterAdapterWithTheGatewayWins()
    {
        QTWIFI wifi(adapters, runner);
        adapters.set({FakeAdapterTable::adapter(kAdapterTypeWireless, kMac, {"0.0.0.0"}, "first"),
                      FakeAdapterTable::adapter(kAdapterTypeWireless, {9, 9, 9, 9, 9, 9},
                                                {"192.168.137.1"}, "second")});
        QCOMPARE(wifi.checkHostedNetwork(), 0);
        QCOMPARE(readSetting(QStringLiteral("WIFI/ssid")),
                 QStringLiteral("quorvane@ostra001A2B3C4D5"));
    }

    void passFindsTheScannersThatAnswer()
    {
        QTWIFI wifi(adapters, runner);
        wifi.Start();
        hostedNetwork();
        const QString g = QStringLiteral("192.168.137.1");
        runner.answer(QStringLiteral("arp"),
                      FakeRunner::arpListing(
                          g, {QStringLiteral("192.168.137.45"), QStringLiteral("192.168.137.45"),
                              QStringLiteral("192.168.137.60"), QStringLiteral("192.168.137.61"),
                              QStringLiteral("192.168.137.255"), QStringLiteral("224.0.0.22")}));
        for (const char* address : {"192.168.137.1", "192.168.137.45", "192.168.137.255"})
            runner.answer(QStringLiteral("ping %1 -n 1 -w 1000").arg(QLatin1String(address)),
                          FakeRunner::pingReply(QLatin1String(address)));
        runner.answer(QStringLiteral("ping 192.168.137.60 -n 1 -w 1000"),
                      FakeRunner::pingUnreachable(QStringLiteral("192.168.137.60")));
        runner.answer(QStringLiteral("ping 192.168.137.61 -n 1 -w 1000"),
                      FakeRunner::pingTimedOut(QStringLiteral("192.168.137.61")));
        wifi.discoveryPass();
        QCOMPARE(wifi.deviceList(), (QStringList{QStringLiteral("192.168.137.45"),
                                                 QStringLiteral("192.168.137.255")}));

        // Every candidate is pinged, the gateway and the known ones included, once each.
        QStringList lines;
        for (const platform::ToolRun& run : runner.runs()) {
            QVERIFY(run.commandLine);
            QCOMPARE(run.readyReadMs, 1000);
            QCOMPARE(run.finishMs, 1000);
            lines.append(run.program);
        }
        QCOMPARE(lines, (QStringList{QStringLiteral("arp -a"),
                                     QStringLiteral("ping 192.168.137.1 -n 1 -w 1000"),
                                     QStringLiteral("ping 192.168.137.45 -n 1 -w 1000"),
                                     QStringLiteral("ping 192.168.137.60 -n 1 -w 1000"),
                                     QStringLiteral("ping 192.168.137.61 -n 1 -w 1000"),
                                     QStringLiteral("ping 192.168.137.255 -n 1 -w 1000")}));

        // A removed device comes back at the end of the list.
        wifi.removeDeviceIP(QStringLiteral("192.168.137.99"));
        QCOMPARE(wifi.deviceList().size(), 2);
        wifi.removeDeviceIP(QStringLiteral("192.168.137.45"));
        QCOMPARE(wifi.deviceList(), QStringList{QStringLiteral("192.168.137.255")});
        wifi.discoveryPass();
        QCOMPARE(wifi.deviceList(), (QStringList{QStringLiteral("192.168.137.255"),
                                                 QStringLiteral("192.168.137.45")}));
        wifi.Stop();
    }

    void missingToolsFindNothing()
    {
        QTWIFI wifi(adapters, runner);
        wifi.Start();
        hostedNetwork();
        FakeRunner silent;
        QTWIFI quiet(adapters, silent);
        quiet.discoveryPass();
        QCOMPARE(quiet.wifiStatus().state, 0);
        QVERIFY(quiet.deviceList().isEmpty());
        QVERIFY(!quiet.pingDevice(QStringLiteral("192.168.137.45")));
        wifi.Stop();
    }

    // In its own thread the first pass comes on the 31st tick of the 100 ms timer; the GUI
    // thread reads and removes meanwhile.
    void passesRunOnTheirThreadWhileTheGuiThreadReads()
    {
        hostedNetwork();
        runner.answer(QStringLiteral("arp"),
                      FakeRunner::arpListing(QStringLiteral("192.168.137.1"),
                                             {QStringLiteral("192.168.137.45")}));
        runner.answer(QStringLiteral("ping"),
                      FakeRunner::pingReply(QStringLiteral("192.168.137.45")));
        const int queriesBefore = adapters.queries();
        QThread thread;
        auto* wifi = new QTWIFI(adapters, runner);
        wifi->moveToThread(&thread);
        connect(&thread, SIGNAL(started()), wifi, SLOT(Start()));
        connect(&thread, SIGNAL(finished()), wifi, SLOT(Stop()));
        connect(&thread, &QThread::finished, wifi, &QObject::deleteLater);
        thread.start();

        QTest::qWait(1500);
        QCOMPARE(adapters.queries(), queriesBefore); // no pass before the 31st tick
        QCOMPARE(wifi->wifiStatus().state, 0);

        QElapsedTimer clock;
        clock.start();
        bool seen = false;
        while (clock.elapsed() < 15000 && !seen) {
            // Hammer the shared state from this thread while passes run.
            seen = wifi->deviceList().contains(QStringLiteral("192.168.137.45"));
            wifi->wifiStatus();
            if (seen)
                wifi->removeDeviceIP(QStringLiteral("192.168.137.45"));
        }
        QVERIFY(seen);
        QTRY_VERIFY_WITH_TIMEOUT(wifi->deviceList().contains(QStringLiteral("192.168.137.45")),
                                 10000);
        thread.quit();
        thread.wait();
    }
};

QTEST_GUILESS_MAIN(TestQtWifi)
#include "tst_qtwifi.moc"
