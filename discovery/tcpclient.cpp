#include "discovery/tcpclient.h"

#include "discovery/qtwifi.h"
#include "platform/adapters.h"
#include "platform/toolrunner.h"

#include <QLoggingCategory>
#include <QThread>
#include <QTimer>
#include <QtDebug>

#include <algorithm>

// Every record taken from a link; off unless asked for (QT_LOGGING_RULES), since it is
// two lines a second per scanner.
Q_LOGGING_CATEGORY(lcRecords, "ostra.records", QtInfoMsg)
// The addresses online, on every pass: off unless asked for, like the records.
Q_LOGGING_CATEGORY(lcMonitor, "ostra.monitor", QtInfoMsg)

namespace {

constexpr int kMonitorMs = 500;
constexpr int kMissLimit = 40;

} // namespace

TCPClient::TCPClient(QObject* parent)
    : TCPClient(platform::systemAdapterTable(), platform::systemToolRunner(), parent)
{}

TCPClient::TCPClient(platform::AdapterTable& adapters, platform::ToolRunner& runner,
                     QObject* parent)
    : QObject(parent), m_adapterTable(adapters), m_runner(runner)
{
    run();
}

TCPClient::~TCPClient()
{
    stop();
    // Stop every link first so that their exchanges wind down together, then release.
    for (COstra* link : m_links)
        link->stop();
    for (COstra* link : m_retired)
        link->stop();
    for (COstra* link : m_links)
        delete link;
    for (COstra* link : m_retired)
        delete link;
    delete m_wifi;
}

void TCPClient::run()
{
    m_timer = new QTimer(this);
    connect(m_timer, SIGNAL(timeout()), this, SLOT(TimerTimeOut()));
    m_timer->start(kMonitorMs);

    m_thread = new QThread(this);
    m_thread->setObjectName(QStringLiteral("discovery"));
    m_wifi = new QTWIFI(m_adapterTable, m_runner);
    m_wifi->moveToThread(m_thread);
    connect(m_thread, SIGNAL(started()), m_wifi, SLOT(Start()));
    connect(m_thread, SIGNAL(finished()), m_wifi, SLOT(Stop()));
    m_thread->start(QThread::InheritPriority);
}

void TCPClient::stop()
{
    if (m_timer && m_timer->isActive()) {
        m_timer->stop();
        delete m_timer;
        m_timer = nullptr;
    }
    if (m_thread) {
        m_thread->quit();
        m_thread->wait();
        delete m_thread;
        m_thread = nullptr;
    }
}

void TCPClient::TimerTimeOut()
{
    releaseFinishedLinks();
    for (const QString& address : m_wifi->deviceList()) {
        if (linkFor(address))
            continue;
        auto* link = new COstra;
        // Queued to this object from the link's thread, and by name so that Qt makes the
        // call event inside the library; the destructor joins the links before the object
        // goes, and Qt drops what is still queued for it.
        link->onPictureQueued = [this, address] {
            QMetaObject::invokeMethod(this, "pictureQueued", Qt::QueuedConnection,
                                      Q_ARG(QString, address));
        };
        m_links.push_back(link);
        link->Init(address, kScannerPort);
    }
}

COstra* TCPClient::linkFor(const QString& address) const
{
    const auto it = std::find_if(m_links.begin(), m_links.end(),
                                 [&](const COstra* link) { return link->ip == address; });
    return it == m_links.end() ? nullptr : *it;
}

void TCPClient::retire(COstra* link)
{
    m_links.erase(std::find(m_links.begin(), m_links.end(), link));
    link->stop();
    m_retired.push_back(link);
}

void TCPClient::releaseFinishedLinks()
{
    // A retired link is joined only once its thread has ended, so this never blocks.
    const auto done = std::stable_partition(m_retired.begin(), m_retired.end(),
                                            [](const COstra* link) { return !link->finished(); });
    for (auto it = done; it != m_retired.end(); ++it)
        delete *it;
    m_retired.erase(done, m_retired.end());
}

QList<OstraInfo> TCPClient::collectRecords(const QString& keepPictureOf)
{
    QList<OstraInfo> records;
    // A copy: links leave m_links during the walk, and every link present at the start
    // is visited once.
    const std::vector<COstra*> links = m_links;
    for (COstra* link : links) {
        OstraInfo record;
        const QString address = link->ip;
        // A picture left with its link holds the scanner's next one back.
        bool pictureKept = false;
        const bool taken = address == keepPictureOf ? link->TakeStatus(record, pictureKept)
                                                    : link->GetInfo(record);
        if (!m_misses.contains(address))
            m_misses.insert(address, 0);
        if (taken && record.status == DEVICE_CONNECT_ERROR) {
            m_wifi->removeDeviceIP(address);
            m_misses.remove(address);
            retire(link);
        }
        if (m_misses.contains(address))
            m_misses[address] = taken || pictureKept ? 0 : m_misses.value(address) + 1;
        if (taken) {
            qCDebug(lcRecords) << "record taken from" << address << "status" << record.status;
            records.append(record);
        }
    }
    return records;
}

QStringList TCPClient::onlineDevices(QList<OstraInfo>& records, const QString& keepPictureOf)
{
    records = collectRecords(keepPictureOf);
    QStringList online;
    for (auto it = m_misses.cbegin(); it != m_misses.cend(); ++it) {
        if (it.value() < kMissLimit) {
            online.append(it.key());
            qCDebug(lcMonitor) << " it.key():  " << it.key();
        }
    }
    return online;
}

bool TCPClient::takePicture(const QString& address, OstraInfo& out)
{
    COstra* link = linkFor(address);
    if (!link || !link->TakePicture(out))
        return false;
    m_misses[address] = 0;
    qCDebug(lcRecords) << "picture taken from" << address << "status" << out.status;
    return true;
}

bool TCPClient::sendCommand(const QString& address, int code)
{
    COstra* link = linkFor(address);
    return link ? link->SendCmd(code) : false;
}
