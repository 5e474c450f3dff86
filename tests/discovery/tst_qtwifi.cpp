#include "common/settings.h"
#include "discovery/qtwifi.h"
#include "tests/mock/fakerunner.h"
#include "tests/support/adapterrows.h"

#include <QTemporaryDir>
#include <QtTest>

class TestQtWifi final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    FakeAdapterTable adapters;
    FakeRunner runner; // shared: each row sets the answers it needs

private slots:
    void init()
    {
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
        QFile::remove(configFilePath());
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
        runner.answer(QStringLiteral("ping"), FakeRunner::pingReply(gateway));
        for (const QString& host : {subnet + ".60", subnet + ".61"})
            runner.answer(QStringLiteral("ping %1 -n 1 -w 1000").arg(host),
                          host.endsWith("0") ? FakeRunner::pingUnreachable(host)
                                             : FakeRunner::pingTimedOut(host));
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
};

QTEST_GUILESS_MAIN(TestQtWifi)
#include "tst_qtwifi.moc"
