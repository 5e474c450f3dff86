#include "common/settings.h"
#include "discovery/qtwifi.h"
#include "discovery/udpsocket.h"
#include "tests/mock/fakerunner.h"
#include "tests/support/adapterrows.h"

#include <QtNetwork>
#include <QtTest>

// Discovery of the scanners, and the bridge that tells the data source of pictures.
class TestDiscovery final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    FakeAdapterTable adapters;
    FakeRunner runner; // shared: each row sets the answers it needs
    QUdpSocket listener;

private slots:
    void initTestCase() { QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0)); }
    // Qt may miss a same-size rewrite of a file within a clock tick: a file per row.
    void init()
    {
        static int serial = 0;
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig%1.ini").arg(++serial)));
    }

    // The result, and the name derived on the way (written with the flag set).
    void hostedNetworkCheck_data()
    {
        addAdapterColumns();
        const QString derived = QStringLiteral("quorvane@ostra001A2B3C4D5");
        adapterRow("The gateway on a wired adapter does not count", {lan({"192.168.137.1"})}, 2);
        adapterRow("A failed query is no adapter", {wifi({"192.168.137.1"})}, 2, {}, {}, false);
        adapterRow("Wi-Fi without the gateway: 3", {wifi({"169.254.3.4"})}, 3, derived);
        adapterRow("A later Wi-Fi adapter with the gateway wins; earlier ones derive",
                   {wifi({"0.0.0.0"}), wifi({"192.168.137.1"}, {9, 9, 9, 9, 9, 9})}, 0, derived);
        adapterRow("A flag that is no number counts as 0", {wifi({"0.0.0.0"})}, 3, derived, "yes");
        adapterRow("No hardware address derives nothing", {wifi({"0.0.0.0"}, {})}, 3);
        adapterRow("A set flag keeps the stored name", {wifi({"0.0.0.0"})}, 3, {}, "1");
        adapterRow("A negative flag keeps the stored name", {wifi({"0.0.0.0"})}, 3, {}, "-1");
    }
    void hostedNetworkCheck()
    {
        QFETCH(Adapters, listed);
        QFETCH(bool, queryOk);
        QFETCH(QString, flag);
        QFETCH(int, result);
        QFETCH(QString, name);
        if (!flag.isNull())
            writeSetting(QStringLiteral("WIFI/setSSID"), flag);
        adapters.set(listed, queryOk);
        QTWIFI wifi(adapters, runner);
        QVERIFY(!wifi.wifiStatus().noWifiAdapter()); // not before discovery has looked
        QCOMPARE(wifi.checkHostedNetwork(), result);
        QCOMPARE(readSetting(QStringLiteral("WIFI/ssid")), name);
        QCOMPARE(readSetting(QStringLiteral("WIFI/setSSID")),
                 name.isEmpty() ? flag : QStringLiteral("1"));
        if (result == 0)
            return;
        wifi.discoveryPass();
        QCOMPARE(wifi.wifiStatus().state, result == 3 ? 1 : 2);
        QVERIFY(runner.runs().isEmpty());
    }

    // Each gateway selects its own subnet: the neighbours on it that answer a ping are the
    // scanners; the other subnet, multicast, the gateway and those that do not answer are not.
    void passKeepsTheAnsweringNeighboursOfTheGatewaysSubnet_data()
    {
        QTest::addColumn<QString>("subnet");
        QTest::newRow("192.168.137.1 selects 192.168.137.x") << "192.168.137";
        QTest::newRow("192.168.173.1 selects 192.168.173.x") << "192.168.173";
    }
    void passKeepsTheAnsweringNeighboursOfTheGatewaysSubnet()
    {
        QFETCH(QString, subnet);
        const QString other = subnet == "192.168.137" ? "192.168.173" : "192.168.137";
        const QString gateway = subnet + ".1", scanner = subnet + ".45", last = subnet + ".255";
        writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("clinic"));
        writeSetting(QStringLiteral("WIFI/setSSID"), QStringLiteral("1"));
        adapters.set({lan({"10.0.0.7"}), wifi({"0.0.0.0", gateway.toStdString()})});
        runner.answer(
            QStringLiteral("arp"),
            FakeRunner::arpListing(gateway, {scanner, scanner, subnet + ".60", other + ".45",
                                             gateway, subnet + ".61", last, "224.0.0.22"}));
        // Everything answers but .60 (unreachable) and .61 (timed out).
        runner.answer(QStringLiteral("ping"), FakeRunner::ping(gateway));
        runner.answer("ping " + subnet + ".60 -n 1 -w 1000",
                      FakeRunner::ping(subnet + ".60", "Reply from 192.168.137.1: Destination "
                                                       "host unreachable."));
        runner.answer("ping " + subnet + ".61 -n 1 -w 1000",
                      FakeRunner::ping(subnet + ".61", "Request timed out."));
        QTWIFI wifi(adapters, runner);
        wifi.discoveryPass();
        QCOMPARE(wifi.deviceList(), (QStringList{scanner, last}));
        QCOMPARE(wifi.wifiStatus().state, 0);
        QCOMPARE(wifi.wifiStatus().ssid, QStringLiteral("clinic"));
        // A removed scanner comes back at the end of the list.
        wifi.removeDeviceIP(scanner);
        wifi.discoveryPass();
        QCOMPARE(wifi.deviceList(), (QStringList{last, scanner}));
    }

    // Each notification is one four-byte datagram to 127.0.0.1 at the configured port, "1001"
    // for a scan and "1000" for the close; a send that goes nowhere neither fails nor blocks.
    void notifications_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("when");
        QTest::addColumn<QByteArray>("arrived");
        const QByteArray own = QByteArray::number(listener.localPort());
        QTest::newRow("A scan is 1001 at the configured port")
            << own << "" << QByteArray("1001 1000 end");
        QTest::newRow("No port configured") << QByteArray() << "" << QByteArray("end");
        QTest::newRow("A port that is no number") << QByteArray("udp") << "" << QByteArray("end");
        QTest::newRow("A port past 65535 does not wrap onto another")
            << QByteArray::number(65536 + listener.localPort()) << "" << QByteArray("end");
        QTest::newRow("A send before the thread ran") << own << "before" << QByteArray("end");
        QTest::newRow("A send after the socket was closed") << own << "after" << QByteArray("end");
    }
    void notifications()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, when);
        QFETCH(QByteArray, arrived);
        if (!value.isNull())
            writeSetting(QStringLiteral("UDP/Port"), QString::fromLatin1(value));
        UDPSocket bridge;
        if (when == QLatin1String("before"))
            bridge.UDPSendDataScan();
        bridge.start();
        bridge.wait();
        if (when == QLatin1String("after"))
            bridge.closeSocket();
        if (when != QLatin1String("before")) {
            bridge.UDPSendDataScan();
            bridge.UDPSendDataClose();
        }
        QCOMPARE(bridge.destinationPort(), value.toInt());
        // Nothing may come before the test's own marker but what the bridge sent.
        QUdpSocket().writeDatagram("end", QHostAddress::LocalHost, listener.localPort());
        QByteArrayList got;
        while (got.isEmpty() || got.last() != "end") {
            QVERIFY(listener.hasPendingDatagrams() || listener.waitForReadyRead(10000));
            got.append(listener.receiveDatagram().data());
        }
        QCOMPARE(got.join(' '), arrived);
    }
};

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"
