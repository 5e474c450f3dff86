#include "discovery/qtwifi.h"

#include "common/hostednetwork.h"
#include "common/settings.h"
#include "common/ssid.h"
#include "platform/adapters.h"
#include "platform/toolrunner.h"

#include <QTimer>
#include <mutex>

namespace {

constexpr int kTickMs = 100;
constexpr int kTicksPerPass = 30; // a pass on the 31st tick
constexpr int kToolWaitMs = 1000;

} // namespace

QTWIFI::QTWIFI(QObject* parent)
    : QTWIFI(platform::systemAdapterTable(), platform::systemToolRunner(), parent)
{}

QTWIFI::QTWIFI(platform::AdapterTable& adapters, platform::ToolRunner& runner, QObject* parent)
    : QObject(parent), m_adapters(adapters), m_runner(runner)
{}

QTWIFI::~QTWIFI()
{
    // The discovery thread last wrote these; taking the lock orders that before the release.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_devices.clear();
    m_ssid.clear();
}

QStringList QTWIFI::deviceList() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // A deep copy: with a shared one, the discovery thread's next append would test the
    // share count without ordering against the GUI thread's reads.
    QStringList copy = m_devices;
    copy.detach();
    return copy;
}

WifiStatus QTWIFI::wifiStatus() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return {m_state, m_ssid, m_started};
}

void QTWIFI::Start()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_devices.clear();
        m_state = 0;
        m_ssid.clear();
        m_started = true;
    }
    m_ticks = 0;
    delete m_timer;
    m_timer = new QTimer(this);
    connect(m_timer, SIGNAL(timeout()), this, SLOT(TimerTimeOut()));
    m_timer->start(kTickMs);
}

void QTWIFI::Stop()
{
    // Stop runs last on the discovery thread; the lock orders all that thread did before
    // the destructor, which runs on another thread.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_timer && m_timer->isActive()) {
        m_timer->stop();
        delete m_timer;
        m_timer = nullptr;
    }
}

void QTWIFI::removeDeviceIP(QString ip)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_devices.removeOne(ip);
}

void QTWIFI::TimerTimeOut()
{
    if (++m_ticks <= kTicksPerPass)
        return;
    discoveryPass();
    // Ticks that fell due during the pass are not made up.
    m_ticks = 0;
}

void QTWIFI::discoveryPass()
{
    const int hosted = checkHostedNetwork();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = hosted == 3 ? 1 : hosted;
    }
    if (hosted != 0)
        return;
    for (const QString& candidate : scanArpTable(m_prefix)) {
        if (!pingDevice(candidate) || isHostedGateway(candidate))
            continue;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_devices.contains(candidate))
            m_devices.append(candidate);
    }
}

int QTWIFI::checkHostedNetwork()
{
    std::vector<platform::Adapter> adapters;
    if (!m_adapters.query(adapters))
        return 2;
    bool wirelessSeen = false;
    for (const platform::Adapter& adapter : adapters) {
        if (adapter.type != platform::kAdapterTypeWireless)
            continue;
        if (const HostedGateway* gateway = hostedGatewayOf(adapter)) {
            // The SSID is learnt once, when the hosted network is first seen.
            if (m_prefix == QLatin1String("null")) {
                const QString ssid = readSetting(QStringLiteral("WIFI/ssid"));
                std::lock_guard<std::mutex> lock(m_mutex);
                m_ssid = ssid;
            }
            m_prefix = QLatin1String(gateway->prefix);
            return 0;
        }
        if (readSetting(QStringLiteral("WIFI/setSSID")).toInt(nullptr, 10) == 0)
            deriveSsid(adapter);
        wirelessSeen = true;
    }
    return wirelessSeen ? 3 : 2;
}

void QTWIFI::deriveSsid(const platform::Adapter& adapter)
{
    const QString digits = ssidDigits(adapter.hardwareAddress);
    // An adapter without a hardware address gives no name worth publishing.
    if (digits.isEmpty())
        return;
    const QString ssid = QStringLiteral("quorvane@ostra") + digits;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ssid = ssid;
    }
    writeSetting(QStringLiteral("WIFI/ssid"), ssid);
    writeSetting(QStringLiteral("WIFI/setSSID"), QStringLiteral("1"));
}

QStringList QTWIFI::scanArpTable(const QString& prefix)
{
    platform::ToolRun arp;
    arp.program = QStringLiteral("arp -a");
    arp.commandLine = true;
    arp.readyReadMs = kToolWaitMs;
    arp.finishMs = kToolWaitMs;
    const QString listing = m_runner.run(arp).output;
    QStringList candidates;
    for (const QString& token : listing.split(QLatin1Char(' '))) {
        if (token.contains(prefix) && !candidates.contains(token))
            candidates.append(token);
    }
    return candidates;
}

bool QTWIFI::pingDevice(const QString& address)
{
    platform::ToolRun ping;
    ping.program = QStringLiteral("ping %1 -n 1 -w %2").arg(address).arg(kToolWaitMs);
    ping.commandLine = true;
    ping.readyReadMs = kToolWaitMs;
    ping.finishMs = kToolWaitMs;
    return m_runner.run(ping).output.contains(QLatin1String("TTL"));
}
