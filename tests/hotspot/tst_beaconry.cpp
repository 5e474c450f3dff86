#include "common/settings.h"
#include "hotspot/beaconry.h"
#include "hotspot/mythread.h"
#include "hotspot/winversion.h"
#include "tests/mock/fakerunner.h"
#include "tests/support/adapterrows.h"
#include "ui_beaconry.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

const QString kDerived = QStringLiteral("ostra@001A2B3C4D5");

const Adapters kTurningOn = {wifi({"169.254.7.7"})};
const Adapters kHosted = {wifi({"192.168.137.1"})};
const Adapters kNoAdapter = {lan({"10.0.0.7"})};

QString setting(const char* key)
{
    return readSetting(QLatin1String(key));
}

} // namespace

class TestBeaconry final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    FakeAdapterTable table;
    std::unique_ptr<FakeRunner> fake;

    std::unique_ptr<Beaconry> window() { return std::make_unique<Beaconry>(table, *fake); }
    // The label and the tray show the state's image.
    static bool shows(const Beaconry& w, const char* image)
    {
        return w.ui->label_state->styleSheet().contains(QLatin1String(image)) &&
               w.trayIcon->icon().cacheKey() == w.stateIcon.cacheKey();
    }
    // Lets a worker run end and its report reach the window.
    static bool finishWorkerRun(Beaconry& w)
    {
        const bool ended = w.workerThread->wait(20000);
        QCoreApplication::processEvents();
        return ended;
    }
    int netshRuns()
    {
        const auto runs = fake->runs();
        return int(std::count_if(runs.begin(), runs.end(), [](const platform::ToolRun& run) {
            return run.program == QLatin1String("netsh");
        }));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        // Tests close windows without an event loop to end.
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void init()
    {
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
        QFile::remove(configFilePath());
        table.set({});
        fake = std::make_unique<FakeRunner>();
    }
    void cleanup() { winversion::overrideCurrent(-1); }

    // The result, and the name learnt (shown and stored, with the flag set) on the way.
    void probe_data()
    {
        addAdapterColumns();
        const std::vector<unsigned char> other = {1, 2, 3, 4, 5, 6};
        adapterRow("No adapter: 0", {}, 0);
        adapterRow("A failed query counts as no adapter", kHosted, 0, {}, {}, false);
        adapterRow("The gateway on a wired adapter does not count", {lan({"192.168.137.1"})}, 0);
        adapterRow("Wi-Fi without the gateway: 1", {lan({"192.168.137.1"}), wifi({"0.0.0.0"})}, 1,
                   kDerived);
        adapterRow("Wi-Fi with 192.168.137.1: 2", kHosted, 2);
        adapterRow("Wi-Fi with 192.168.173.1 as its second address: 2",
                   {wifi({"169.254.1.1", "192.168.173.1"})}, 2);
        adapterRow("Only the exact gateway address counts", {wifi({"192.168.137.10"})}, 1,
                   kDerived);
        adapterRow("Wi-Fi adapters before the hosted one derive on the way",
                   {wifi({"0.0.0.0"}), wifi({"192.168.137.1"}, other)}, 2, kDerived);
        adapterRow("Wi-Fi adapters after the hosted one are not looked at",
                   {wifi({"192.168.137.1"}, other), wifi({"0.0.0.0"})}, 2);
        adapterRow("The name is ostra@ and the first 13 hex digits of the address",
                   {wifi({}, {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef})}, 1,
                   QStringLiteral("ostra@0123456789ABCDE"));
        adapterRow("Later Wi-Fi adapters read the derived name back",
                   {wifi({"0.0.0.0"}), wifi({"0.0.0.0"}, other)}, 1, kDerived);
        adapterRow("A non-zero flag takes the stored name as it is, even empty", kTurningOn, 1, {},
                   "7");
        adapterRow("A flag that is no unsigned number counts as 0", kTurningOn, 1, kDerived, "-1");
        adapterRow("A word as flag counts as 0", kTurningOn, 1, kDerived, "yes");
        adapterRow("No hardware address derives nothing", {wifi({"0.0.0.0"}, {})}, 1);
    }
    void probe()
    {
        QFETCH(Adapters, listed);
        QFETCH(bool, queryOk);
        QFETCH(QString, flag);
        QFETCH(int, result);
        QFETCH(QString, name);
        auto w = window();
        QFile::remove(configFilePath());
        if (!flag.isNull())
            writeSetting(QStringLiteral("WIFI/setSSID"), flag);
        table.set(listed, queryOk);
        QCOMPARE(w->probeAdapters(), result);
        QCOMPARE(w->ssidText, name);
        QCOMPARE(setting("WIFI/ssid"), name);
        QCOMPARE(setting("WIFI/setSSID"), name.isEmpty() ? flag : QStringLiteral("1"));
    }

    void startUp()
    {
        const QString work = dir.filePath(QStringLiteral("work"));
        const QString airstepFile = work + QStringLiteral("/Wifi/wifi/win10/setting.ini");
        {
            QSettings airstep(airstepFile, QSettings::IniFormat);
            airstep.setValue(QStringLiteral("WIFI/ssid"), QStringLiteral("airstep net"));
            airstep.setValue(QStringLiteral("WIFI/setSSID"), QStringLiteral("1"));
        }
        writeSetting(QStringLiteral("WORK_DIR/dirConfig"), work);
        auto w = window();
        // Airstep's name is copied first, then the flag is reset so that it is derived anew.
        QCOMPARE(setting("WIFI/ssid"), QStringLiteral("airstep net"));
        QCOMPARE(setting("WIFI/setSSID"), QStringLiteral("0"));
        QVERIFY(w->trayIcon->isVisible());
        QVERIFY(shows(*w, "1 (10).png"));
        QCOMPARE(w->checkTimer->interval(), 10000);
        QVERIFY(w->checkTimer->isActive());
        QCOMPARE(w->suiteTimer->interval(), 3000);
        QVERIFY(w->suiteTimer->isActive());
        QVERIFY(!w->workerThread->isRunning());
        const QList<QAction*> menu = w->trayIcon->contextMenu()->actions();
        QCOMPARE(menu.size(), 3);
        QCOMPARE(menu.at(0), w->restartAction);
        QCOMPARE(menu.at(2), w->exitAction);

        // Shown for a moment, then only the tray icon; nothing brings the window back.
        w->show();
        QTRY_VERIFY_WITH_TIMEOUT(!w->isVisible(), 10000);
        QVERIFY(!w->hideTimer->isActive());
        w->on_activatedSysTrayIcon(QSystemTrayIcon::Trigger);
        QVERIFY(!w->isVisible());

        // Empty values are copied as they are; a missing file copies nothing.
        QFile::remove(airstepFile);
        QSettings(airstepFile, QSettings::IniFormat).setValue(QStringLiteral("Other/key"), 1);
        w->copyAirstepSettings();
        QCOMPARE(setting("WIFI/ssid"), QString());
        QFile::remove(airstepFile);
        writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("kept"));
        w->copyAirstepSettings();
        QCOMPARE(setting("WIFI/ssid"), QStringLiteral("kept"));
    }

    // The worker runs at most five times in a row while the network does not come up.
    void statusCycleLimit()
    {
        auto w = window();
        int done = 0;
        connect(w->workerThread, &MyThread::isDone, this, [&] { ++done; });
        table.set(kTurningOn);
        for (int attempt = 1; attempt <= 5; ++attempt) {
            w->checkHotspot();
            QVERIFY(!w->checkTimer->isActive());
            QVERIFY(w->blinkTimer->isActive());
            QCOMPARE(w->trayIcon->toolTip(), QStringLiteral("WIFI is turning on"));
            for (const char* frame : {"1 (13).png", "1 (14).png", "1 (12).png", "1 (13).png"}) {
                w->blinkStateIcon();
                QVERIFY2(attempt > 1 || shows(*w, frame), frame);
            }
            QVERIFY(finishWorkerRun(*w));
            QCOMPARE(done, attempt);
            // After a worker run the check comes every 5 s.
            QCOMPARE(w->checkTimer->interval(), 5000);
            QVERIFY(w->checkTimer->isActive());
        }
        for (int check = 0; check < 2; ++check) {
            w->checkHotspot();
            QVERIFY(!w->blinkTimer->isActive());
            QCOMPARE(w->trayIcon->toolTip(), QStringLiteral("Unable to open WIFI"));
            QVERIFY(shows(*w, "1 (10).png"));
            QVERIFY(finishWorkerRun(*w));
            QCOMPARE(done, 5);
        }

        // "Restart" runs the worker once more; the next check still fails at once.
        w->blinkStep = 2;
        w->restartAction->trigger();
        QCOMPARE(w->blinkStep, 0);
        QVERIFY(finishWorkerRun(*w));
        QCOMPARE(done, 6);
        w->checkHotspot();
        QVERIFY(finishWorkerRun(*w));
        QCOMPARE(done, 6);

        // Finding the network, or no adapter, starts the count again and ends the
        // animation, which would paint over either.
        for (const Adapters& reset : {kHosted, kNoAdapter, kHosted}) {
            table.set(reset);
            w->checkHotspot();
            QVERIFY(!w->blinkTimer->isActive());
            table.set(kTurningOn);
            const int before = done;
            w->checkHotspot();
            QVERIFY(w->blinkTimer->isActive());
            QVERIFY(finishWorkerRun(*w));
            QCOMPARE(done, before + 1);
        }
    }

    // The first probe may catch the adapter mid-change: the second one decides what shows.
    void stateShown_data()
    {
        QTest::addColumn<Adapters>("first");
        QTest::addColumn<Adapters>("second");
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("tooltip");
        const QString set = QStringLiteral("1");
        QTest::newRow("Hosted, then no adapter: no network card")
            << kHosted << kNoAdapter << set << "1 (9).png"
            << "Network card does not exist";
        QTest::newRow("No adapter, then hosted: running, with the stored name")
            << kNoAdapter << kHosted << set << "1 (14).png"
            << "clinic";
        const Adapters learnt = {wifi({"0.0.0.0"}), wifi({"192.168.173.1"}, {1, 2, 3, 4, 5, 6})};
        QTest::newRow("Running, with the name the probe learnt") << learnt << learnt << "0"
                                                                 << "1 (14).png" << kDerived;
    }
    void stateShown()
    {
        QFETCH(Adapters, first);
        QFETCH(Adapters, second);
        QFETCH(QString, flag);
        QFETCH(QString, image);
        QFETCH(QString, tooltip);
        auto w = window();
        writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("clinic"));
        writeSetting(QStringLiteral("WIFI/setSSID"), flag);
        table.set(first);
        table.then(second);
        w->checkHotspot();
        QVERIFY(shows(*w, qPrintable(image)));
        QCOMPARE(w->trayIcon->toolTip(), tooltip);
    }

    void suiteNotice()
    {
        winversion::overrideCurrent(winversion::WV_WINDOWS7);
        fake->answer(QStringLiteral("tasklist"),
                     QStringLiteral("\r\nImage Name                     PID Session Name\r\n"
                                    "========================= ======== ============\r\n"
                                    "Tessaly.exe                   3150 Console\r\n"));
        auto w = window();
        // The suite runs at start: the status check never starts.
        QVERIFY(!w->checkTimer->isActive());
        w->show();
        QList<QMessageBox*> notices;
        int probesWhileOpen = -1;
        // Answers the first notice; while it is open, the timer fires again.
        QTimer first;
        connect(&first, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !notices.isEmpty())
                return;
            notices.append(box);
            QCOMPARE(box->text(),
                     QStringLiteral("Tessaly.exe has been opened Beaconry.exe will be closed"));
            const int before = fake->runs().size();
            w->handleTimeout();
            probesWhileOpen = fake->runs().size() - before;
            box->button(QMessageBox::Ok)->click();
        });
        // Dismisses any further notice, so that a fault shows as a count, not a hang.
        QTimer further;
        connect(&further, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box && !notices.isEmpty() && !notices.contains(box)) {
                notices.append(box);
                box->button(QMessageBox::Ok)->click();
            }
        });
        first.start(10);
        further.start(10);
        w->handleTimeout();
        QCOMPARE(notices.size(), 1);
        QCOMPARE(probesWhileOpen, 0);
        QVERIFY(!w->isVisible());
        // The check never ran, so the access point is left alone on the way out.
        w.reset();
        QCOMPARE(netshRuns(), 0);
    }

    void programEnd()
    {
        winversion::overrideCurrent(winversion::WV_WINDOWS7);
        // The check is active: the access point is taken down, once.
        auto w = window();
        w.reset();
        const auto runs = fake->runs();
        QCOMPARE(runs.size(), 3); // the suite probe, then the two commands
        QCOMPARE(runs.at(1).arguments.join(' '), QStringLiteral("wlan stop hostednetwork"));
        QCOMPARE(runs.at(2).arguments.join(' '),
                 QStringLiteral("wlan set hostednetwork mode=disallow"));

        // A check started the worker: its whole cycle ends, and the access point stays up.
        fake = std::make_unique<FakeRunner>();
        w = window();
        table.set(kTurningOn);
        w->checkHotspot();
        w.reset();
        QCOMPARE(netshRuns(), 8);
        QCOMPARE(fake->runs().last().arguments.join(' '),
                 QStringLiteral("wlan start hostednetwork"));

        // The menu started it while the check ran: both sequences run to their end.
        fake = std::make_unique<FakeRunner>();
        w = window();
        w->restartAction->trigger();
        w.reset();
        QCOMPARE(netshRuns(), 10);

        w = window();
        w->show();
        w->exitAction->trigger();
        QVERIFY(!w->isVisible());
    }
};

QTEST_MAIN(TestBeaconry)
#include "tst_beaconry.moc"
