#include "common/settings.h"
#include "discovery/qtwifi.h"
#include "tests/mock/fakerunner.h"
#include "tests/support/adapterrows.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

const QString kDerived = QStringLiteral("quorvane@ostra001A2B3C4D5");

QString pingLine(const QString& address)
{
    return QStringLiteral("ping %1 -n 1 -w 1000").arg(address);
}

bool run(const QString& command)
{
    return QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), command}) == 0;
}

} // namespace

class TestQtWifi final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    FakeAdapterTable adapters;
    std::unique_ptr<FakeRunner> runner;

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void init()
    {
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
        QFile::remove(configFilePath());
        adapters.set({});
        runner = std::make_unique<FakeRunner>();
    }

    // The result, and the name derived on the way (written with the flag set).
    void hostedNetworkCheck_data()
    {
        addAdapterColumns();
        adapterRow("The gateway on a wired adapter does not count", {lan({"192.168.137.1"})}, 2);
        adapterRow("A failed query counts as no adapter", {wifi({"192.168.137.1"})}, 2, {}, {},
                   false);
        adapterRow("Wi-Fi without the gateway: 3", {wifi({"169.254.3.4"})}, 3, kDerived);
        adapterRow("A later Wi-Fi adapter with the gateway wins; earlier ones derive",
                   {wifi({"0.0.0.0"}), wifi({"192.168.137.1"}, {9, 9, 9, 9, 9, 9})}, 0, kDerived);
        adapterRow("quorvane@ostra and the first 13 hex digits of the address",
                   {wifi({"0.0.0.0"}, {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef})}, 3,
                   QStringLiteral("quorvane@ostra0123456789ABCDE"));
        adapterRow("One byte gives one digit", {wifi({"0.0.0.0"}, {0xff})}, 3,
                   QStringLiteral("quorvane@ostraF"), "0");
        adapterRow("A flag that is no number counts as 0", {wifi({"0.0.0.0"})}, 3, kDerived, "yes");
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
        QTWIFI wifi(adapters, *runner);
        QCOMPARE(wifi.checkHostedNetwork(), result);
        QCOMPARE(readSetting(QStringLiteral("WIFI/ssid")), name);
        QCOMPARE(readSetting(QStringLiteral("WIFI/setSSID")),
                 name.isEmpty() ? flag : QStringLiteral("1"));
        if (result == 0)
            return;
        wifi.discoveryPass();
        QCOMPARE(wifi.wifiStatus().state, result == 3 ? 1 : 2);
        QVERIFY(runner->runs().isEmpty());
    }

    // Each gateway selects its own subnet: the neighbours on it that answer a ping are the
    // scanners; the other subnet, the gateways and those that do not answer are not.
    void passKeepsTheAnsweringNeighboursOfTheGatewaysSubnet_data()
    {
        QTest::addColumn<QString>("gateway");
        QTest::addColumn<QStringList>("neighbours");
        QTest::addColumn<QStringList>("pinged");
        QTest::addColumn<QStringList>("scanners");
        QTest::newRow("192.168.137.1 selects 192.168.137.x")
            << "192.168.137.1"
            << QStringList{"192.168.137.45", "192.168.137.45",  "192.168.137.60", "192.168.173.45",
                           "192.168.137.61", "192.168.137.255", "224.0.0.22"}
            << QStringList{"192.168.137.1", "192.168.137.45", "192.168.137.60", "192.168.137.61",
                           "192.168.137.255"}
            << QStringList{"192.168.137.45", "192.168.137.255"};
        QTest::newRow("192.168.173.1 selects 192.168.173.x")
            << "192.168.173.1" << QStringList{"192.168.137.45", "192.168.173.45", "192.168.173.60",
                                              "192.168.173.1",  "192.168.173.61", "192.168.173.9"}
            << QStringList{"192.168.173.1", "192.168.173.45", "192.168.173.60", "192.168.173.61",
                           "192.168.173.9"}
            << QStringList{"192.168.173.45", "192.168.173.9"};
    }
    void passKeepsTheAnsweringNeighboursOfTheGatewaysSubnet()
    {
        QFETCH(QString, gateway);
        QFETCH(QStringList, neighbours);
        QFETCH(QStringList, pinged);
        QFETCH(QStringList, scanners);
        writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("clinic"));
        writeSetting(QStringLiteral("WIFI/setSSID"), QStringLiteral("1"));
        adapters.set({lan({"10.0.0.7"}), wifi({"0.0.0.0", gateway.toStdString()})});
        runner->answer(QStringLiteral("arp"), FakeRunner::arpListing(gateway, neighbours));
        // Everything answers but .60 (unreachable) and .61 (timed out).
        runner->answer(QStringLiteral("ping"), FakeRunner::pingReply(gateway));
        const QString subnet = gateway.section(QLatin1Char('.'), 0, 2);
        runner->answer(pingLine(subnet + ".60"), FakeRunner::pingUnreachable(subnet + ".60"));
        runner->answer(pingLine(subnet + ".61"), FakeRunner::pingTimedOut(subnet + ".61"));
        QTWIFI wifi(adapters, *runner);
        wifi.Start();
        wifi.discoveryPass();
        QCOMPARE(wifi.deviceList(), scanners);
        QCOMPARE(wifi.wifiStatus().state, 0);
        QCOMPARE(wifi.wifiStatus().ssid, QStringLiteral("clinic"));

        // Every candidate is pinged once, the gateway and the known ones included.
        QStringList lines{QStringLiteral("arp -a")};
        for (const QString& address : pinged)
            lines.append(pingLine(address));
        QStringList ran;
        for (const platform::ToolRun& run : runner->runs()) {
            QVERIFY(run.commandLine);
            QCOMPARE(run.readyReadMs, 1000);
            QCOMPARE(run.finishMs, 1000);
            ran.append(run.program);
        }
        QCOMPARE(ran, lines);

        // A removed scanner comes back at the end of the list; the name is read only once.
        writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("changed"));
        wifi.removeDeviceIP(subnet + ".99");
        wifi.removeDeviceIP(scanners.first());
        QCOMPARE(wifi.deviceList(), scanners.mid(1));
        wifi.discoveryPass();
        QCOMPARE(wifi.deviceList(), scanners.mid(1) + scanners.mid(0, 1));
        QCOMPARE(wifi.wifiStatus().ssid, QStringLiteral("clinic"));
        wifi.Stop();
    }

    // Before discovery starts its state 2 is no finding.
    void toolsThatNeverAnswerFindNothing()
    {
        adapters.set({wifi({"192.168.137.1"})});
        QTWIFI wifi(adapters, *runner);
        QCOMPARE(wifi.wifiStatus().state, 2);
        QVERIFY(!wifi.wifiStatus().started);
        wifi.Start();
        QVERIFY(wifi.wifiStatus().started);
        wifi.discoveryPass();
        QCOMPARE(wifi.wifiStatus().state, 0);
        QVERIFY(wifi.deviceList().isEmpty());
        QVERIFY(!wifi.pingDevice(QStringLiteral("192.168.137.45")));
        wifi.Stop();
    }

    // In its own thread a pass comes on the 31st tick of the 100 ms timer; the GUI thread
    // reads and removes meanwhile.
    void passesRunOnTheirThreadWhileTheGuiThreadReads()
    {
        adapters.set({wifi({"192.168.137.1"})});
        runner->answer(QStringLiteral("arp"),
                       FakeRunner::arpListing(QStringLiteral("192.168.137.1"),
                                              {QStringLiteral("192.168.137.45")}));
        runner->answer(QStringLiteral("ping"),
                       FakeRunner::pingReply(QStringLiteral("192.168.137.45")));
        QThread thread;
        auto* wifi = new QTWIFI(adapters, *runner);
        wifi->moveToThread(&thread);
        connect(&thread, SIGNAL(started()), wifi, SLOT(Start()));
        connect(&thread, SIGNAL(finished()), wifi, SLOT(Stop()));
        connect(&thread, &QThread::finished, wifi, &QObject::deleteLater);
        QElapsedTimer clock;
        clock.start();
        thread.start();
        bool seen = false;
        // Hammers the shared state from this thread while passes run.
        while (clock.elapsed() < 30000 && !seen) {
            seen = wifi->deviceList().contains(QStringLiteral("192.168.137.45"));
            wifi->wifiStatus();
        }
        qInfo("the first pass found the scanner after %lld ms", clock.elapsed());
        QVERIFY(seen);
        wifi->removeDeviceIP(QStringLiteral("192.168.137.45"));
        QTRY_VERIFY_WITH_TIMEOUT(wifi->deviceList().contains(QStringLiteral("192.168.137.45")),
                                 30000);
        thread.quit();
        thread.wait();
    }

    // The real adapter table, neighbour table and ping inside the test network, with the
    // hosted network on the second gateway's subnet.
    void secondGatewayOnTheTestNetwork()
    {
        const QString host = qEnvironmentVariable("OSTRA_TEST_HOST_NS");
        if (qEnvironmentVariable("OSTRA_TEST_NET") != QLatin1String("1") || host.isEmpty())
            QSKIP("runs inside the test network only (tst_qtwifi_net)");
        QVERIFY(run("ip addr del 192.168.137.1/24 dev veth-pc && "
                    "ip addr add 192.168.173.1/24 dev veth-pc && ip -n " +
                    host + " addr add 192.168.173.45/24 dev veth-dev"));
        // The first ping makes the kernel's neighbour entry that arp -a lists.
        QVERIFY(run(QStringLiteral("ping -c 1 -W 5 192.168.173.45 >/dev/null")));
        QTWIFI wifi;
        wifi.discoveryPass();
        QCOMPARE(wifi.wifiStatus().state, 0);
        QCOMPARE(wifi.deviceList(), QStringList{QStringLiteral("192.168.173.45")});
    }
};

QTEST_GUILESS_MAIN(TestQtWifi)
#include "tst_qtwifi.moc"
