#include "common/settings.h"
#include "hotspot/beaconry.h"
#include "hotspot/mythread.h"
#include "hotspot/winversion.h"
#include "platform/adapters.h"
#include "tests/mock/fakerunner.h"
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

#include <deque>
#include <memory>
#include <mutex>

using platform::Adapter;
using platform::kAdapterTypeEthernet;
using platform::kAdapterTypeWireless;

using Adapters = std::vector<Adapter>;
Q_DECLARE_METATYPE(Adapters)

namespace {

const std::vector<unsigned char> kMac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const QString kDerived = QStringLiteral("ostra@001A2B3C4D5");

Adapter adapter(int type, std::vector<std::string> ips, std::vector<unsigned char> mac = kMac)
{
    Adapter a;
    a.name = type == kAdapterTypeWireless ? "wlan" : "lan";
    a.type = type;
    a.hardwareAddress = std::move(mac);
    a.ipAddresses = std::move(ips);
    return a;
}
Adapter wifi(std::vector<std::string> ips, std::vector<unsigned char> mac = kMac)
{
    return adapter(kAdapterTypeWireless, std::move(ips), std::move(mac));
}
Adapter lan(std::vector<std::string> ips)
{
    return adapter(kAdapterTypeEthernet, std::move(ips));
}

// The adapter table as the status check sees it over successive probes: each query takes
// the next answer, and the last one stays.
class ScriptedTable final : public platform::AdapterTable
{
public:
    struct Answer
    {
        bool ok;
        Adapters adapters;
    };
    void set(Adapters adapters, bool ok = true) { script({{ok, std::move(adapters)}}); }
    void script(std::deque<Answer> answers)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answers = std::move(answers);
    }
    bool query(Adapters& adapters) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_answers.empty()) {
            adapters.clear();
            return true;
        }
        const Answer answer = m_answers.front();
        if (m_answers.size() > 1)
            m_answers.pop_front();
        adapters = answer.ok ? answer.adapters : Adapters{};
        return answer.ok;
    }

private:
    std::mutex m_mutex;
    std::deque<Answer> m_answers;
};

const Adapters kTurningOn = {wifi({"169.254.7.7"})};
const Adapters kHosted = {wifi({"192.168.137.1"})};
const Adapters kNoAdapter = {lan({"10.0.0.7"})};

QString stateStyleSheet(const char* image, int blanks)
{
    const QString pad(blanks, QLatin1Char(' '));
    return QStringLiteral("QLabel#label_state{") + pad + QStringLiteral("border:outset;") + pad +
           QStringLiteral("border-image:url(:/images/") + QLatin1String(image) +
           QStringLiteral(");") + pad + QStringLiteral("}");
}

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
    ScriptedTable table;
    std::unique_ptr<FakeRunner> fake;

    FakeRunner& runner() { return *fake; }
    std::unique_ptr<Beaconry> window() { return std::make_unique<Beaconry>(table, runner()); }
    static QString tooltip(const Beaconry& w) { return w.trayIcon->toolTip(); }
    static QString labelStyle(const Beaconry& w) { return w.ui->label_state->styleSheet(); }
    // Lets a worker run end and its report reach the window.
    static bool finishWorkerRun(Beaconry& w)
    {
        if (!w.workerThread->wait(20000))
            return false;
        QCoreApplication::processEvents();
        return true;
    }
    int netshRuns()
    {
        int count = 0;
        for (const platform::ToolRun& run : runner().runs())
            count += run.program == QLatin1String("netsh");
        return count;
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

    void form()
    {
        QWidget host;
        Ui::Beaconry form;
        form.setupUi(&host);
        QCOMPARE(host.objectName(), QStringLiteral("Beaconry"));
        QCOMPARE(host.windowTitle(), QStringLiteral("Beaconry"));
        QCOMPARE(host.size(), QSize(315, 145));
        QCOMPARE(host.minimumSize(), QSize(315, 145));
        QCOMPARE(host.maximumSize(), QSize(315, 145));
        QCOMPARE(host.children().size(), 5);
        // Tabs and line breaks survive the form's XML.
        QCOMPARE(form.label_state->styleSheet(),
                 QStringLiteral("QLabel#label_state{\n\tborder:outset;\n\tborder-image:url(:/"
                                "images/1 (10).png);\n}\n\n"));
        QCOMPARE(form.pushButton_close->styleSheet(),
                 QStringLiteral("QPushButton#pushButton_close{\n\tborder:outset;\n\tborder-image: "
                                "url(:/images/1 (18).png);\n}\n\nQPushButton#pushButton_close:"
                                "hover{\n\tborder-image: url(:/images/1 (17).png);\n}\n"));
        for (const char* image : {"1 (9).png", "1 (10).png", "1 (12).png", "1 (13).png",
                                  "1 (14).png", "1 (17).png", "1 (18).png"}) {
            QVERIFY2(QFile::exists(QStringLiteral(":/images/") + QLatin1String(image)), image);
        }
    }

    void probe_data()
    {
        QTest::addColumn<Adapters>("adapters");
        QTest::addColumn<bool>("queryOk");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("published"); // "WIFI/ssid" afterwards; null: never written

        QTest::newRow("no adapter") << Adapters{} << true << 0 << QString();
        QTest::newRow("query failed") << kHosted << false << 0 << QString();
        QTest::newRow("gateway on a wired adapter")
            << Adapters{lan({"192.168.137.1"})} << true << 0 << QString();
        QTest::newRow("wired gateway, Wi-Fi without")
            << Adapters{lan({"192.168.137.1"}), wifi({"0.0.0.0"})} << true << 1 << kDerived;
        QTest::newRow("Wi-Fi with 137.1") << kHosted << true << 2 << QString();
        QTest::newRow("Wi-Fi with 173.1, second address")
            << Adapters{wifi({"169.254.1.1", "192.168.173.1"})} << true << 2 << QString();
        QTest::newRow("no exact match")
            << Adapters{wifi({"192.168.137.10"})} << true << 1 << kDerived;
        // Wi-Fi adapters listed before the hosted one still derive on the way.
        QTest::newRow("plain Wi-Fi first")
            << Adapters{wifi({"0.0.0.0"}), wifi({"192.168.137.1"}, {1, 2, 3, 4, 5, 6})} << true << 2
            << kDerived;
        QTest::newRow("hosted Wi-Fi first")
            << Adapters{wifi({"192.168.137.1"}, {1, 2, 3, 4, 5, 6}), wifi({"0.0.0.0"})} << true << 2
            << QString();
    }
    void probe()
    {
        QFETCH(Adapters, adapters);
        QFETCH(bool, queryOk);
        QFETCH(int, result);
        QFETCH(QString, published);
        auto w = window();
        QFile::remove(configFilePath());
        table.set(adapters, queryOk);
        QCOMPARE(w->probeAdapters(), result);
        QCOMPARE(setting("WIFI/ssid"), published.isNull() ? QString() : published);
        QCOMPARE(setting("WIFI/setSSID"), published.isNull() ? QString() : QStringLiteral("1"));
        QCOMPARE(w->ssidText, published.isNull() ? QString() : published);
    }

    void ssidRule()
    {
        auto w = window();
        QVERIFY(w->deriveSsid(wifi({}, {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef})));
        QCOMPARE(w->ssidText, QStringLiteral("ostra@0123456789ABCDE"));
        QCOMPARE(setting("WIFI/ssid"), QStringLiteral("ostra@0123456789ABCDE"));
        QCOMPARE(setting("WIFI/setSSID"), QStringLiteral("1"));

        // Several Wi-Fi adapters: the first derives, the later ones read the name back.
        writeSetting(QStringLiteral("WIFI/setSSID"), QStringLiteral("0"));
        table.set({wifi({"0.0.0.0"}), wifi({"0.0.0.0"}, {9, 9, 9, 9, 9, 9})});
        QCOMPARE(w->probeAdapters(), 1);
        QCOMPARE(setting("WIFI/ssid"), kDerived);
        QCOMPARE(w->ssidText, kDerived);

        // A non-zero flag takes the stored name as it is, even an empty one.
        for (const char* flag : {"1", "7"}) {
            writeSetting(QStringLiteral("WIFI/setSSID"), QLatin1String(flag));
            writeSetting(QStringLiteral("WIFI/ssid"), QString());
            QCOMPARE(w->probeAdapters(), 1);
            QCOMPARE(w->ssidText, QString());
        }
        // A flag that is no unsigned number counts as 0.
        for (const char* flag : {"-1", "yes", ""}) {
            writeSetting(QStringLiteral("WIFI/setSSID"), QLatin1String(flag));
            QCOMPARE(w->probeAdapters(), 1);
            QCOMPARE(w->ssidText, kDerived);
            QCOMPARE(setting("WIFI/setSSID"), QStringLiteral("1"));
        }
    }

    void noHardwareAddressDerivesNothing()
    {
        auto w = window();
        writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("kept"));
        QVERIFY(!w->deriveSsid(wifi({"0.0.0.0"}, {})));
        table.set({wifi({"0.0.0.0"}, {})});
        QCOMPARE(w->probeAdapters(), 1);
        QCOMPARE(setting("WIFI/ssid"), QStringLiteral("kept"));
        QCOMPARE(setting("WIFI/setSSID"), QStringLiteral("0"));
        QCOMPARE(w->ssidText, QString());
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
        writeSetting(QStringLiteral("WIFI/setSSID"), QStringLiteral("1"));

        auto w = window();
        // The copy comes first, the reset second.
        QCOMPARE(setting("WIFI/ssid"), QStringLiteral("airstep net"));
        QCOMPARE(setting("WIFI/setSSID"), QStringLiteral("0"));

        QCOMPARE(w->windowFlags() & ~Qt::WindowType_Mask, Qt::WindowFlags(Qt::CustomizeWindowHint));
        QCOMPARE(w->trayIcon->icon().cacheKey(), w->stateIcon.cacheKey());
        QVERIFY(!w->stateIcon.isNull());
        QVERIFY(w->trayIcon->isVisible());
        QCOMPARE(tooltip(*w), QString());
        QVERIFY(labelStyle(*w).contains(QLatin1String("1 (10).png")));
        QCOMPARE(w->hideTimer->interval(), 200);
        QVERIFY(w->hideTimer->isActive());
        QCOMPARE(w->checkTimer->interval(), 10000);
        QVERIFY(w->checkTimer->isActive());
        QCOMPARE(w->suiteTimer->interval(), 3000);
        QVERIFY(w->suiteTimer->isActive());
        QVERIFY(!w->blinkTimer->isActive());
        QVERIFY(!w->workerThread->isRunning());
        QCOMPARE(w->workerThread->parent(), nullptr);

        const QList<QAction*> menu = w->trayIcon->contextMenu()->actions();
        QCOMPARE(menu.size(), 3);
        QCOMPARE(menu.at(0)->text(), QStringLiteral("Restart"));
        QVERIFY(menu.at(1)->isSeparator());
        QCOMPARE(menu.at(2)->text(), QStringLiteral("Exit"));

        w->show();
        w->hideAtStart();
        QVERIFY(!w->isVisible());
        QVERIFY(!w->hideTimer->isActive());
        // Nothing brings the window back.
        w->on_activatedSysTrayIcon(QSystemTrayIcon::Trigger);
        QVERIFY(!w->isVisible());

        // Empty values are copied as they are; a missing file copies nothing.
        QFile::remove(airstepFile);
        QSettings(airstepFile, QSettings::IniFormat).setValue(QStringLiteral("Other/key"), 1);
        w->copyAirstepSettings();
        QCOMPARE(setting("WIFI/ssid"), QString());
        QCOMPARE(setting("WIFI/setSSID"), QString());
        QFile::remove(airstepFile);
        writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("kept"));
        w->copyAirstepSettings();
        QCOMPARE(setting("WIFI/ssid"), QStringLiteral("kept"));
    }

    void fiveRunsThenFailed()
    {
        auto w = window();
        int done = 0;
        connect(w->workerThread, &MyThread::isDone, this, [&] { ++done; });
        table.set(kTurningOn);
        for (int attempt = 1; attempt <= 5; ++attempt) {
            w->checkHotspot();
            QCOMPARE(w->openAttempts, attempt);
            QVERIFY(!w->checkTimer->isActive());
            QVERIFY(w->blinkTimer->isActive());
            QCOMPARE(w->blinkTimer->interval(), 300);
            QCOMPARE(tooltip(*w), QStringLiteral("WIFI is turning on"));
            QVERIFY(finishWorkerRun(*w));
            QCOMPARE(done, attempt);
            // After a worker run the check comes every 5 s.
            QVERIFY(w->checkTimer->isActive());
            QCOMPARE(w->checkTimer->interval(), 5000);
        }

        for (int check = 0; check < 2; ++check) {
            w->checkHotspot();
            QCOMPARE(w->openAttempts, 20);
            QVERIFY(!w->workerThread->isRunning());
            QVERIFY(!w->blinkTimer->isActive());
            QVERIFY(w->checkTimer->isActive());
            QCOMPARE(tooltip(*w), QStringLiteral("Unable to open WIFI"));
            QCOMPARE(labelStyle(*w), stateStyleSheet("1 (10).png", 44));
            QCOMPARE(w->trayIcon->icon().cacheKey(), w->stateIcon.cacheKey());
        }

        // "Restart" runs the worker once, without touching the counter; the next check
        // that still finds no network fails again at once.
        w->blinkStep = 2;
        w->restartAction->trigger();
        QCOMPARE(w->blinkStep, 0);
        QCOMPARE(w->openAttempts, 20);
        QVERIFY(w->checkTimer->isActive());
        QVERIFY(finishWorkerRun(*w));
        QCOMPARE(done, 6);
        w->checkHotspot();
        QCOMPARE(w->openAttempts, 20);
        QVERIFY(!w->workerThread->isRunning());
        QCOMPARE(done, 6);

        // Finding the network resets the counter, so a later loss is retried again.
        table.set(kHosted);
        w->checkHotspot();
        QCOMPARE(w->openAttempts, 0);
        table.set(kTurningOn);
        w->checkHotspot();
        QCOMPARE(w->openAttempts, 1);
        QVERIFY(finishWorkerRun(*w));
        QCOMPARE(done, 7);
        // So does finding no adapter.
        w->openAttempts = 20;
        table.set(kNoAdapter);
        w->checkHotspot();
        QCOMPARE(w->openAttempts, 0);
    }

    void secondProbeDecides()
    {
        auto w = window();
        writeSetting(QStringLiteral("WIFI/ssid"), QStringLiteral("clinic"));
        table.script({{true, kHosted}, {true, kNoAdapter}});
        w->checkHotspot();
        QCOMPARE(tooltip(*w), QStringLiteral("Network card does not exist"));
        QCOMPARE(labelStyle(*w), stateStyleSheet("1 (9).png", 39));

        table.script({{true, kNoAdapter}, {true, kHosted}});
        w->checkHotspot();
        QCOMPARE(labelStyle(*w), stateStyleSheet("1 (14).png", 31));
        // The hosted adapter came first, so the probe learnt no name: the stored one shows.
        QCOMPARE(tooltip(*w), QStringLiteral("clinic"));

        // A name the probe learnt is the one shown.
        writeSetting(QStringLiteral("WIFI/setSSID"), QStringLiteral("0"));
        table.set({wifi({"0.0.0.0"}), wifi({"192.168.173.1"}, {1, 2, 3, 4, 5, 6})});
        w->checkHotspot();
        QCOMPARE(tooltip(*w), kDerived);
        QCOMPARE(w->trayIcon->icon().cacheKey(), w->stateIcon.cacheKey());
    }

    void animation()
    {
        auto w = window();
        table.set(kTurningOn);
        w->checkHotspot();
        QVERIFY(w->blinkTimer->isActive());
        const char* frames[] = {"1 (13).png", "1 (14).png", "1 (12).png", "1 (13).png"};
        for (const char* frame : frames) {
            w->blinkStateIcon();
            QCOMPARE(labelStyle(*w), stateStyleSheet(frame, 31));
            QCOMPARE(tooltip(*w), QStringLiteral("WIFI is turning on"));
        }
        QVERIFY(finishWorkerRun(*w));

        // Running and no adapter both end the animation, which would paint over them.
        table.set(kHosted);
        w->checkHotspot();
        QVERIFY(!w->blinkTimer->isActive());
        table.set(kTurningOn);
        w->checkHotspot();
        QVERIFY(w->blinkTimer->isActive());
        QVERIFY(finishWorkerRun(*w));
        table.set(kNoAdapter);
        w->checkHotspot();
        QVERIFY(!w->blinkTimer->isActive());
        QCOMPARE(labelStyle(*w), stateStyleSheet("1 (9).png", 39));
    }

    void suiteNotice()
    {
        winversion::overrideCurrent(winversion::WV_WINDOWS7);
        runner().answer(QStringLiteral("tasklist"),
                        QStringLiteral("\r\nImage Name                     PID Session Name\r\n"
                                       "========================= ======== ============\r\n"
                                       "Tessaly.exe                   3150 Console\r\n"));
        auto w = window();
        // The suite runs at start: the status check never starts.
        QVERIFY(!w->checkTimer->isActive());
        QVERIFY(w->suiteTimer->isActive());
        w->show();

        QList<QMessageBox*> notices;
        int probesWhileOpen = -1;
        // Answers the first notice; while it is open, the timer fires again.
        QTimer first;
        connect(&first, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            first.stop();
            notices.append(box);
            QCOMPARE(box->windowTitle(), QStringLiteral("Title"));
            QCOMPARE(box->text(),
                     QStringLiteral("Tessaly.exe has been opened Beaconry.exe will be closed"));
            QCOMPARE(box->buttons().size(), 1);
            const int before = runner().runs().size();
            w->handleTimeout();
            probesWhileOpen = runner().runs().size() - before;
            box->button(QMessageBox::Ok)->click();
        });
        // Dismisses any further notice, so that a fault shows as a count, not a hang.
        QTimer further;
        connect(&further, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || notices.isEmpty() || notices.contains(box))
                return;
            notices.append(box);
            box->button(QMessageBox::Ok)->click();
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
        const QStringList stop{QStringLiteral("wlan stop hostednetwork"),
                               QStringLiteral("wlan set hostednetwork mode=disallow")};
        const auto arguments = [this](int i) { return runner().runs().at(i).arguments.join(' '); };

        // The check is active: the access point is taken down, once.
        auto w = window();
        w.reset();
        QCOMPARE(runner().runs().size(), 3); // the suite probe, then the two commands
        QCOMPARE(arguments(1), stop.at(0));
        QCOMPARE(arguments(2), stop.at(1));

        // A check started the worker: its whole cycle ends, and the access point stays up.
        fake = std::make_unique<FakeRunner>();
        w = window();
        table.set(kTurningOn);
        w->checkHotspot();
        QVERIFY(w->workerThread->isRunning());
        w.reset();
        QCOMPARE(netshRuns(), 8);
        QCOMPARE(arguments(runner().runs().size() - 1), QStringLiteral("wlan start hostednetwork"));

        // The menu started it while the check ran: both sequences run to their end.
        fake = std::make_unique<FakeRunner>();
        w = window();
        w->restartAction->trigger();
        w.reset();
        QCOMPARE(netshRuns(), 10);

        // "Exit" closes the window.
        w = window();
        w->show();
        w->exitAction->trigger();
        QVERIFY(!w->isVisible());
    }
};

QTEST_MAIN(TestBeaconry)
#include "tst_beaconry.moc"
