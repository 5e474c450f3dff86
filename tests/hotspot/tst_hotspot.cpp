#include "common/settings.h"
#include "hotspot/beaconry.h"
#include "hotspot/mythread.h"
#include "hotspot/openwifi.h"
#include "hotspot/winversion.h"
#include "platform/account.h"
#include "tests/mock/fakerunner.h"
#include "tests/support/adapterrows.h"
#include "ui_beaconry.h"

#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QSettings>
#include <QTimer>
#include <QtTest>

using namespace winversion;

namespace {

const Adapters kTurningOn = {wifi({"169.254.7.7"})};
const Adapters kHosted = {wifi({"192.168.137.1"})};
const Adapters kNoAdapter = {lan({"10.0.0.7"})};

const QString kListed = "Airstep.exe  5120 Console\r\n";
const QString kStart = "netsh|wlan|start|hostednetwork";
const QStringList kNetshCycle = {
    "netsh|wlan|stop|hostednetwork", "netsh|wlan|set|hostednetwork|mode=disallow",
    "netsh|wlan|set|hostednetwork|mode=allow|ssid=net|key=kelp5820", kStart};
const QString kTasklist = "tasklist|-fi|imagename eq Airstep.exe ";
// NetworkManager's side: asked first, then told.
const QString kNmRunning = "nmcli|-t|-f|RUNNING|general";
const QString kNmDevice = "nmcli|-g|GENERAL.TYPE,GENERAL.STATE,WIFI-PROPERTIES.AP|device|show|";
const QString kNmProfiles = "nmcli|-t|-f|UUID,NAME|connection|show";
const QString kNmUp = "nmcli|--wait|25|connection|up|id|ostra-hotspot";
const QString kNmDown = "nmcli|connection|down|id|ostra-hotspot";
QString nmAdd(const QString& device)
{
    const QString user = QString::fromStdString(platform::loginName());
    return "nmcli|connection|add|type|wifi|ifname|" + device +
           "|con-name|ostra-hotspot|autoconnect|no|ssid|net|802-11-wireless.mode|ap|"
           "802-11-wireless.band|bg|802-11-wireless.channel|1|wifi-sec.key-mgmt|wpa-psk|"
           "wifi-sec.proto|rsn|wifi-sec.pairwise|ccmp|wifi-sec.group|ccmp|wifi-sec.psk|kelp5820|"
           "ipv4.method|shared|ipv4.addresses|192.168.137.1/24|ipv6.method|ignore" +
           (user.isEmpty() ? QString() : "|connection.permissions|user:" + user);
}
const QString kTaskkill = "taskkill|-im|Airstep.exe|-f";

// One line per run: the program and its arguments.
QStringList lines(const FakeRunner& runner)
{
    QStringList result;
    for (const platform::ToolRun& run : runner.runs())
        result.append((QStringList{run.program} + run.arguments).join('|'));
    return result;
}

} // namespace

class TestBeaconry final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    FakeAdapterTable table;
    std::unique_ptr<FakeRunner> fake;

    static bool shows(const Beaconry& w, const QString& image)
    {
        return w.ui->label_state->styleSheet().contains(image) &&
               w.trayIcon->icon().cacheKey() == w.stateIcon.cacheKey();
    }

    // Lets a worker run end and its report reach the window.
    static bool finishWorkerRun(Beaconry& w)
    {
        const bool ended = w.workerThread->wait(20000);
        QCoreApplication::processEvents();
        return ended;
    }

private slots:
    void init()
    {
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
        QFile::remove(configFilePath());
        writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("net"));
        table.set({});
        fake = std::make_unique<FakeRunner>();
    }
    void cleanup() { overrideCurrent(-1); }

    // The worker runs at most five times in a row while the network does not come up.
    void statusCycleLimit()
    {
        auto w = std::make_unique<Beaconry>(table, *fake);
        // Counted on this thread, where the window hears the worker too.
        int runs = 0;
        connect(w->workerThread, &MyThread::isDone, this, [&runs] { ++runs; });
        table.set(kTurningOn);
        for (int attempt = 1; attempt <= 5; ++attempt) {
            w->checkHotspot();
            QVERIFY(w->blinkTimer->isActive());
            QCOMPARE(w->trayIcon->toolTip(), QStringLiteral("WIFI is turning on"));
            for (const char* frame : {"1 (13).png", "1 (14).png", "1 (12).png"}) {
                w->blinkStateIcon();
                QVERIFY2(attempt > 1 || shows(*w, frame), frame);
            }
            QVERIFY(finishWorkerRun(*w));
            QCOMPARE(runs, attempt);
            QVERIFY(w->checkTimer->isActive());
        }
        w->checkHotspot();
        QVERIFY(!w->blinkTimer->isActive());
        QCOMPARE(w->trayIcon->toolTip(), QStringLiteral("Unable to open WIFI"));
        QVERIFY(shows(*w, "1 (10).png"));
        QVERIFY(finishWorkerRun(*w));
        QCOMPARE(runs, 5);

        // "Restart" runs the worker once more; the next check still fails at once.
        w->restartAction->trigger();
        QVERIFY(finishWorkerRun(*w));
        w->checkHotspot();
        QVERIFY(finishWorkerRun(*w));
        QCOMPARE(runs, 6);

        // Finding the network, or no adapter, starts the count again and ends the animation.
        for (const Adapters& reset : {kHosted, kNoAdapter}) {
            table.set(reset);
            w->checkHotspot();
            QVERIFY(!w->blinkTimer->isActive());
            table.set(kTurningOn);
            const int before = runs;
            w->checkHotspot();
            QVERIFY(finishWorkerRun(*w));
            QCOMPARE(runs, before + 1);
        }
    }

    // The probe's result, and the name learnt (stored, with the flag set) on the way.
    void probe_data()
    {
        const QString derived = QStringLiteral("ostra@001A2B3C4D5");
        const std::vector<unsigned char> other = {1, 2, 3, 4, 5, 6};
        addAdapterColumns();
        adapterRow("A failed query counts as no adapter", kHosted, 0, {}, {}, false);
        adapterRow("The gateway on a wired adapter does not count", {lan({"192.168.137.1"})}, 0);
        adapterRow("Wi-Fi without the gateway: 1, the name derived", {wifi({"0.0.0.0"})}, 1,
                   derived);
        adapterRow("Wi-Fi with 192.168.173.1 as its second address: 2",
                   {wifi({"169.254.1.1", "192.168.173.1"})}, 2);
        adapterRow("Wi-Fi adapters after the hosted one are not looked at",
                   {wifi({"192.168.137.1"}, other), wifi({"0.0.0.0"})}, 2);
        adapterRow("A non-zero flag keeps the stored name", kTurningOn, 1, {}, "7");
        adapterRow("A flag that is no unsigned number counts as 0", kTurningOn, 1, derived, "-1");
    }
    void probe()
    {
        QFETCH(Adapters, listed);
        QFETCH(bool, queryOk);
        QFETCH(QString, flag);
        QFETCH(int, result);
        QFETCH(QString, name);
        auto w = std::make_unique<Beaconry>(table, *fake);
        QFile::remove(configFilePath());
        if (!flag.isNull())
            writeSetting(QStringLiteral("WIFI/setSSID"), flag);
        table.set(listed, queryOk);
        QCOMPARE(w->probeAdapters(), result);
        QCOMPARE(readSetting(QStringLiteral("WIFI/ssid")), name);
        QCOMPARE(readSetting(QStringLiteral("WIFI/setSSID")),
                 name.isEmpty() ? flag : QStringLiteral("1"));
    }

    // The helper program's name is copied at start, then the flag is reset so that the name
    // is derived anew; at the end the access point is taken down, unless the imaging suite
    // ran from the start and the check never did.
    void startAndEnd()
    {
        const QString work = dir.filePath(QStringLiteral("work"));
        QSettings airstep(work + QStringLiteral("/Wifi/wifi/win10/setting.ini"),
                          QSettings::IniFormat);
        airstep.setValue(QStringLiteral("WIFI/ssid"), QStringLiteral("airstep net"));
        airstep.setValue(QStringLiteral("WIFI/setSSID"), QStringLiteral("1"));
        airstep.sync();
        writeSetting(QStringLiteral("WORK_DIR/dirConfig"), work);
        overrideCurrent(WV_WINDOWS7);
        auto w = std::make_unique<Beaconry>(table, *fake);
        QCOMPARE(readSetting(QStringLiteral("WIFI/ssid")), QStringLiteral("airstep net"));
        QCOMPARE(readSetting(QStringLiteral("WIFI/setSSID")), QStringLiteral("0"));
        w.reset();
        QCOMPARE(lines(*fake).mid(1), kNetshCycle.mid(0, 2));

        fake = std::make_unique<FakeRunner>();
        fake->answer(QStringLiteral("tasklist"), QStringLiteral("Tessaly.exe  3150 Console\r\n"));
        w = std::make_unique<Beaconry>(table, *fake);
        // One notice, however often the suite check fires while it is open.
        int notices = 0;
        QTimer answer;
        connect(&answer, &QTimer::timeout, this, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                if (++notices == 1)
                    w->handleTimeout();
                box->accept();
            }
        });
        answer.start(10);
        w->handleTimeout();
        QCOMPARE(notices, 1);
        w.reset();
        QVERIFY(!lines(*fake).contains(kNetshCycle.at(0)));
    }

    // The first probe may catch the adapter mid-change: the second one decides what shows.
    void trayStates_data()
    {
        QTest::addColumn<Adapters>("first");
        QTest::addColumn<Adapters>("second");
        QTest::addColumn<QString>("image");
        QTest::addColumn<int>("flag");
        QTest::addColumn<QString>("tooltip");
        QTest::newRow("Hosted, then no adapter: no network card")
            << kHosted << kNoAdapter << "1 (9).png" << 1 << "Network card does not exist";
        QTest::newRow("No adapter, then hosted: running, with the stored name")
            << kNoAdapter << kHosted << "1 (14).png" << 1 << "clinic";
        const Adapters learnt = {wifi({"0.0.0.0"}), wifi({"192.168.173.1"}, {1, 2, 3, 4, 5, 6})};
        QTest::newRow("Running, with the name the probe learnt: ostra@ and 11 hex digits")
            << learnt << learnt << "1 (14).png" << 0 << "ostra@001A2B3C4D5";
    }
    void trayStates()
    {
        QFETCH(Adapters, first);
        QFETCH(Adapters, second);
        QFETCH(QString, image);
        QFETCH(int, flag);
        QFETCH(QString, tooltip);
        auto w = std::make_unique<Beaconry>(table, *fake);
        writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("clinic"));
        writeSetting(QStringLiteral("WIFI/setSSID"), QString::number(flag));
        table.set(first);
        table.then(second);
        w->checkHotspot();
        QVERIFY(shows(*w, image));
        QCOMPARE(w->trayIcon->toolTip(), tooltip);
    }

    // The worker closes and opens the access point twice; on 10 the configured helper is ended
    // only when listed, and launched by its command line.
    void workerCycle_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("listing");
        QTest::addColumn<QStringList>("closeThenOpen");
        QTest::addColumn<QStringList>("launched");
        const QStringList none, launched{"C:/Program Files/Airstep/Airstep.exe -tray"};
        QTest::newRow("8.1: netsh") << WV_WINDOWS8_1 << "" << kNetshCycle << none;
        QTest::newRow("10, not listed: launched, never ended")
            << WV_WINDOWS10 << "" << QStringList{kTasklist, kTasklist} << launched;
        QTest::newRow("10, listed: ended")
            << WV_WINDOWS10 << kListed << QStringList{kTasklist, kTaskkill, kTasklist, kTaskkill}
            << launched;
        QTest::newRow("No Windows version (Linux): NetworkManager, here without Wi-Fi")
            << WV_None << "" << QStringList{kNmDown} << none;
    }
    void workerCycle()
    {
        QFETCH(int, version);
        QFETCH(QString, listing);
        QFETCH(QStringList, closeThenOpen);
        QFETCH(QStringList, launched);
        writeSetting(QStringLiteral("WIFI/Path"),
                     QStringLiteral("\"C:/Program Files/Airstep/Airstep.exe\" -tray"));
        fake->answer(QStringLiteral("tasklist"), listing);
        if (version != WV_None)
            overrideCurrent(version);
        MyThread worker(*fake, table);
        worker.start();
        QVERIFY(worker.wait(20000));
        QCOMPARE(lines(*fake), closeThenOpen + closeThenOpen);
        QCOMPARE(fake->detached(), launched + launched);
    }

    // The stored name is one argument whatever it holds; the passphrase is fixed.
    void netshArguments_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("ssidArgument");
        QTest::newRow("Quotes are dropped, not let out")
            << QStringLiteral("x\" key=\"open") << "ssid=x key=open";
        for (const char* blank : {" ", "\t", "\n", "\r", "\v", "\u00a0"}) {
            const QString name = "x" + QString::fromUtf8(blank) + "key=evil";
            QTest::addRow("U+%04X stays inside the name", name.at(1).unicode())
                << name << "ssid=" + name;
        }
    }
    void netshArguments()
    {
        QFETCH(QString, stored);
        QFETCH(QString, ssidArgument);
        writeSetting(QStringLiteral("WIFI/key"), QStringLiteral("other"));
        writeSetting(QStringLiteral("WIFI/ssid"), stored);
        OPENWIFI(*fake, table).startHostedNetwork();
        QCOMPARE(lines(*fake), (QStringList{"netsh|wlan|set|hostednetwork|mode=allow|" +
                                                ssidArgument + "|key=kelp5820",
                                            kStart}));
    }

    // On Linux the access point is NetworkManager's: the device is asked before anything is
    // sent (a Wi-Fi profile sent to a wired device became a wired one and went up), earlier
    // profiles of ours go by UUID, one profile is added and brought up; stop takes it down.
    // tests/hotspot/nmcli-mock.py has the real nmcli's answers for one adapter: a wired one, one
    // that cannot be an access point, one that can (the first Wi-Fi adapter taken, the profile).
    void networkManager_data()
    {
        QTest::addColumn<Adapters>("adapters");
        QTest::addColumn<QStringList>("answers"); // general's, then the devices' (none: no nmcli)
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<QString>("warning");
        Adapters two = {lan({"10.0.0.7"}), wifi({"0.0.0.0"}), wifi({"0.0.0.0"})};
        two.back().name = "wlan2";
        QTest::newRow("The next Wi-Fi adapter when the first cannot be an access point")
            << two
            << QStringList{"running\n", "wifi\n30 (disconnected)\nno\n",
                           "wifi\n30 (disconnected)\nyes\n"}
            << QStringList{kNmRunning, kNmDevice + "wlan", kNmDevice + "wlan2", kNmProfiles} +
                   QStringList{"nmcli|connection|delete|uuid|u-1|uuid|u-3", nmAdd("wlan2"), kNmUp}
            << QString();
        QTest::newRow("No adapter can be an access point: nothing sent")
            << Adapters{wifi({"0.0.0.0"})}
            << QStringList{"running\n", "wifi\n30 (disconnected)\nno\n"}
            << QStringList{kNmRunning, kNmDevice + "wlan"}
            << "No access point: wlan cannot be an access point";
        QTest::newRow("No Wi-Fi adapter: nmcli is not run")
            << Adapters{lan({"10.0.0.7"})} << QStringList{"running\n"} << QStringList{}
            << "No access point: there is no Wi-Fi adapter";
        QTest::newRow("No nmcli (NetworkManager not installed): nothing more")
            << two << QStringList{} << QStringList{kNmRunning}
            << "No access point: nmcli does not run (is NetworkManager installed?)";
    }
    void networkManager()
    {
        QFETCH(Adapters, adapters);
        QFETCH(QStringList, answers);
        QFETCH(QStringList, sent);
        QFETCH(QString, warning);
        table.set(adapters);
        const QStringList asked = {kNmRunning, kNmDevice + "wlan", kNmDevice + "wlan2"};
        for (int i = 0; i < answers.size(); ++i)
            fake->answer(asked.at(i).split('|').join(' '), answers.at(i));
        fake->answer(kNmProfiles.split('|').join(' '),
                     "u-1:ostra-hotspot\nu-2:Home\nu-3:ostra-hotspot\n");
        if (!answers.isEmpty())
            fake->answer("nmcli", QString());
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
        overrideCurrent(WV_None);
        OPENWIFI(*fake, table).openWifi();
        QCOMPARE(lines(*fake), sent);
        OPENWIFI(*fake, table).closeWifi();
        QCOMPARE(lines(*fake).mid(sent.size()), QStringList{kNmDown});
    }

    // The real nmcli against a NetworkManager on a private bus: tests/hotspot/nmcli-mock.py runs
    // this with the device to offer and reads back what arrived there.
    void networkManagerOverDBus()
    {
        const std::string device = qEnvironmentVariable("OSTRA_NM_MOCK_DEVICE").toStdString();
        if (device.empty())
            QSKIP("run by tests/hotspot/nmcli-mock.py against a NetworkManager on a private bus");
        table.set(
            {FakeAdapterTable::adapter(platform::kAdapterTypeWireless, kMac, {"0.0.0.0"}, device)});
        writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("ostra@001A2B3C4D5"));
        overrideCurrent(WV_None);
        OPENWIFI(platform::systemToolRunner(), table).openWifi();
        OPENWIFI(platform::systemToolRunner(), table).closeWifi();
    }
};

QTEST_MAIN(TestBeaconry)
#include "tst_hotspot.moc"
