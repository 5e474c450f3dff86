#include "hotspot/beaconry.h"

#include "common/hostednetwork.h"
#include "common/processprobe.h"
#include "common/settings.h"
#include "common/ssid.h"
#include "hotspot/mythread.h"
#include "hotspot/openwifi.h"
#include "platform/adapters.h"
#include "platform/toolrunner.h"

#include "ui_beaconry.h"

#include <QAction>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <QtDebug>

// The images live in this static library, where the linker would drop their automatic
// registration; the form's style sheets need them before the window is built.
static void registerImages()
{
    Q_INIT_RESOURCE(beaconry);
}

namespace {

constexpr int kHideMs = 200;
constexpr int kCheckMs = 10000;
constexpr int kCheckAfterWorkerMs = 5000;
constexpr int kBlinkMs = 300;
constexpr int kSuiteCheckMs = 3000;
constexpr int kMaxOpenAttempts = 5;
// Parks the counter well above the limit, so that the failed state holds until a check
// finds the network or no adapter.
constexpr int kFailedAttempts = 20;

// Each state image with the run of blanks its label style sheet carries.
struct StateImage
{
    const char* file;
    int blanks;
};
constexpr StateImage kNoAdapterImage{"1 (9).png", 39};
constexpr StateImage kFailedImage{"1 (10).png", 44};
constexpr StateImage kBlinkFrames[] = {{"1 (12).png", 31}, {"1 (13).png", 31}, {"1 (14).png", 31}};
constexpr StateImage kRunningImage = kBlinkFrames[2];

const char* const kImageFolder = ":/images/";
const char* const kSsidPrefix = "ostra@";

} // namespace

Beaconry::Beaconry(QWidget* parent)
    : Beaconry(platform::systemAdapterTable(), platform::systemToolRunner(), parent)
{}

Beaconry::Beaconry(platform::AdapterTable& adapters, platform::ToolRunner& runner, QWidget* parent)
    : QWidget(parent), m_adapters(adapters), m_runner(runner), ui(new Ui::Beaconry)
{
    registerImages();
    ui->setupUi(this);
    // The copy comes before the reset below, so a copied flag never survives start-up and
    // the first probe derives the SSID anew.
    copyAirstepSettings();
    setWindowFlags(Qt::CustomizeWindowHint);

    trayIcon = new QSystemTrayIcon(this);
    blinkTimer = new QTimer(this);
    checkTimer = new QTimer(this);
    hideTimer = new QTimer(this);
    writeSetting(QStringLiteral("WIFI/setSSID"), QStringLiteral("0"));
    workerThread = new MyThread(m_runner, m_adapters);

    connect(checkTimer, &QTimer::timeout, this, &Beaconry::checkHotspot);
    connect(blinkTimer, &QTimer::timeout, this, &Beaconry::blinkStateIcon);
    connect(hideTimer, &QTimer::timeout, this, &Beaconry::hideAtStart);
    connect(workerThread, &MyThread::isDone, this, &Beaconry::onWorkerDone);

    stateIcon = QIcon(QLatin1String(kImageFolder) + QLatin1String(kNoAdapterImage.file));
    trayIcon->setIcon(stateIcon);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &Beaconry::on_activatedSysTrayIcon);

    restartAction = new QAction(tr("Restart"), this);
    connect(restartAction, &QAction::triggered, this, &Beaconry::on_restartMainAction);
    exitAction = new QAction(tr("Exit"), this);
    connect(exitAction, &QAction::triggered, this, &Beaconry::on_exitAppAction);
    trayMenu = new QMenu(this);
    trayMenu->addAction(restartAction);
    trayMenu->addSeparator();
    trayMenu->addAction(exitAction);
    trayIcon->setContextMenu(trayMenu);
    trayIcon->setVisible(true);

    hideTimer->start(kHideMs);
    if (suiteAbsentNow() && !checkTimer->isActive())
        checkTimer->start(kCheckMs);

    suiteTimer = new QTimer(this);
    connect(suiteTimer, SIGNAL(timeout()), this, SLOT(handleTimeout()));
    suiteTimer->start(kSuiteCheckMs);
}

Beaconry::~Beaconry()
{
    if (blinkTimer->isActive())
        blinkTimer->stop();
    // With the check stopped, a worker run is under way and ends with the access point up;
    // it is left so.
    if (checkTimer->isActive()) {
        OPENWIFI wifi(m_runner, m_adapters);
        wifi.closeWifi();
        checkTimer->stop();
    }
    delete ui;
    ui = nullptr;
    // Waited for here rather than from the base's destroyed(), which would call into this
    // object after its own part is gone; the children are still alive either way.
    stopWorker();
    delete workerThread;
    workerThread = nullptr;
}

int Beaconry::probeAdapters()
{
    std::vector<platform::Adapter> adapters;
    if (!m_adapters.query(adapters))
        return 0;
    bool found = false;
    for (const platform::Adapter& adapter : adapters) {
        if (adapter.type != platform::kAdapterTypeWireless)
            continue;
        if (hostedGatewayOf(adapter))
            return 2;
        if (readSetting(QStringLiteral("WIFI/setSSID")).toUInt(nullptr, 10) == 0)
            deriveSsid(adapter);
        else
            ssidText = readSetting(QStringLiteral("WIFI/ssid"));
        found = true;
    }
    return found ? 1 : 0;
}

bool Beaconry::deriveSsid(const platform::Adapter& adapter)
{
    const QString digits = ssidDigits(adapter.hardwareAddress);
    // A bare prefix would name every such PC's network alike; the flag stays 0 so that a
    // later probe, or the acquisition program, can still derive a real name.
    if (digits.isEmpty())
        return false;
    ssidText = QLatin1String(kSsidPrefix) + digits;
    writeSetting(QStringLiteral("WIFI/ssid"), ssidText);
    writeSetting(QStringLiteral("WIFI/setSSID"), QStringLiteral("1"));
    return true;
}

void Beaconry::copyAirstepSettings()
{
    const QString path = readSetting(QStringLiteral("WORK_DIR/dirConfig")) +
                         QStringLiteral("/Wifi/wifi/win10/setting.ini");
    if (!QFileInfo(path).isFile())
        return;
    const QString setSsid = readSettingAt(path, QStringLiteral("WIFI/setSSID"));
    const QString ssid = readSettingAt(path, QStringLiteral("WIFI/ssid"));
    writeSetting(QStringLiteral("WIFI/ssid"), ssid);
    writeSetting(QStringLiteral("WIFI/setSSID"), setSsid);
}

void Beaconry::checkHotspot()
{
    const int result = probeAdapters();
    if (result == 1) {
        ++openAttempts;
        if (openAttempts <= kMaxOpenAttempts) {
            // Starting a worker that still runs does nothing, so a cycle never overlaps one
            // that the menu started.
            workerThread->start(QThread::InheritPriority);
            checkTimer->stop();
            if (!blinkTimer->isActive()) {
                trayIcon->setToolTip(tr("WIFI is turning on"));
                blinkTimer->start(kBlinkMs);
            }
        } else {
            openAttempts = kFailedAttempts;
            if (blinkTimer->isActive())
                blinkTimer->stop();
            showState(kFailedImage.file, kFailedImage.blanks);
            trayIcon->setToolTip(tr("Unable to open WIFI"));
        }
        return;
    }

    // The first probe may have caught the adapter mid-change; the second one decides.
    const int confirmed = probeAdapters();
    openAttempts = 0;
    // The animation would paint over either outcome.
    if (blinkTimer->isActive())
        blinkTimer->stop();
    if (confirmed != 0) {
        // The probe learns the SSID only from a Wi-Fi adapter listed before the one with the
        // hosted network; when that one comes first, the name is the one stored.
        if (ssidText.isEmpty())
            ssidText = readSetting(QStringLiteral("WIFI/ssid"));
        showState(kRunningImage.file, kRunningImage.blanks);
        trayIcon->setToolTip(ssidText);
    } else {
        showState(kNoAdapterImage.file, kNoAdapterImage.blanks);
        trayIcon->setToolTip(tr("Network card does not exist"));
    }
}

void Beaconry::blinkStateIcon()
{
    ++blinkStep;
    const StateImage& frame = kBlinkFrames[blinkStep % 3];
    showState(frame.file, frame.blanks);
}

void Beaconry::hideAtStart()
{
    hide();
    hideTimer->stop();
}

void Beaconry::onWorkerDone()
{
    qDebug("it is over");
    if (!checkTimer->isActive())
        checkTimer->start(kCheckAfterWorkerMs);
}

void Beaconry::stopWorker()
{
    // run() has no event loop to quit; the wait is for its cycle to end, which leaves the
    // access point up.
    workerThread->quit();
    workerThread->wait();
}

void Beaconry::showState(const char* image, int blanks)
{
    const QString path = QLatin1String(kImageFolder) + QLatin1String(image);
    stateIcon = QIcon(path);
    trayIcon->setIcon(stateIcon);
    const QString pad(blanks, QLatin1Char(' '));
    ui->label_state->setStyleSheet(QStringLiteral("QLabel#label_state{") + pad +
                                   QStringLiteral("border:outset;") + pad +
                                   QStringLiteral("border-image:url(") + path +
                                   QStringLiteral(");") + pad + QStringLiteral("}"));
}

bool Beaconry::suiteAbsentNow()
{
    return suiteAbsent(m_runner);
}

void Beaconry::on_pushButton_restart_clicked()
{
    if (!checkTimer->isActive())
        checkTimer->start(kCheckMs);
}

void Beaconry::on_pushButton_close_clicked()
{
    hide();
}

void Beaconry::on_activatedSysTrayIcon(QSystemTrayIcon::ActivationReason reason)
{
    // The program lives in the tray; a click on the icon brings nothing up.
    Q_UNUSED(reason)
}

void Beaconry::on_restartMainAction()
{
    blinkStep = 0;
    workerThread->start(QThread::InheritPriority);
}

void Beaconry::on_exitAppAction()
{
    close();
}

void Beaconry::handleTimeout()
{
    // The timer keeps firing while the notice waits for the user, and each firing would
    // open another notice in a nested event loop; the one open already ends the program.
    if (m_suiteNoticeOpen)
        return;
    if (suiteAbsentNow())
        return;
    m_suiteNoticeOpen = true;
    QMessageBox::information(nullptr, tr("Title"),
                             tr("Tessaly.exe has been opened Beaconry.exe will be closed"),
                             QMessageBox::Ok, QMessageBox::NoButton);
    close();
    m_suiteNoticeOpen = false;
}
