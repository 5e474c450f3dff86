#include "hotspot/openwifi.h"

#include "common/processprobe.h"
#include "common/settings.h"
#include "hotspot/networkmanager.h"
#include "hotspot/winversion.h"
#include "platform/adapters.h"
#include "platform/toolrunner.h"

#include <QProcess>
#include <QtDebug>

using namespace winversion;

namespace {

// Fixed in every scanner's firmware, so it is never taken from the configuration.
const char* const kPassphrase = "kelp5820";
constexpr int kToolWaitMs = 30000;

// Linux reports no Windows version; NetworkManager provides the access point there.
#ifdef Q_OS_LINUX
constexpr bool kNetworkManagerHere = true;
#else
constexpr bool kNetworkManagerHere = false;
#endif

} // namespace

OPENWIFI::OPENWIFI(QObject* parent)
    : OPENWIFI(platform::systemToolRunner(), platform::systemAdapterTable(), parent)
{}

OPENWIFI::OPENWIFI(platform::ToolRunner& runner, platform::AdapterTable& adapters, QObject* parent)
    : QObject(parent), m_runner(runner), m_adapters(adapters)
{}

void OPENWIFI::openWifi()
{
    winVersion = current();
    switch (winVersion) {
    case WV_XP:
        qDebug("WV_XP");
        break;
    case WV_VISTA:
        qDebug("WV_VISTA");
        break;
    case WV_WINDOWS7:
        qDebug("WV_WINDOWS7");
        startHostedNetwork();
        break;
    case WV_WINDOWS8:
        startHostedNetwork();
        break;
    case WV_WINDOWS8_1:
        qDebug("WV_WINDOWS8_1");
        startHostedNetwork();
        break;
    case WV_WINDOWS10:
        qDebug("WV_WINDOWS10");
        // Windows 10 dropped the hosted network; Airstep provides the access point there,
        // and a fresh one replaces whatever instance is left.
        stopWin10WifiEXE();
        launchAirstep();
        break;
    case WV_None:
        if (kNetworkManagerHere)
            NetworkManagerHotspot(m_runner, m_adapters)
                .start(readSetting(QStringLiteral("WIFI/ssid")), QLatin1String(kPassphrase));
        break;
    default:
        break;
    }
}

void OPENWIFI::closeWifi()
{
    winVersion = current();
    switch (winVersion) {
    case WV_XP:
        qDebug("WV_XP");
        break;
    case WV_VISTA:
        qDebug("WV_VISTA");
        break;
    case WV_WINDOWS7:
        qDebug("Stop WV_WINDOWS7");
        stopHostedNetwork();
        break;
    case WV_WINDOWS8:
        qDebug("WV_WINDOWS8");
        stopHostedNetwork();
        break;
    case WV_WINDOWS8_1:
        qDebug("WV_WINDOWS8_1");
        stopHostedNetwork();
        break;
    case WV_WINDOWS10:
        stopWin10WifiEXE();
        break;
    case WV_None:
        if (kNetworkManagerHere)
            NetworkManagerHotspot(m_runner, m_adapters).stop();
        break;
    default:
        break;
    }
}

void OPENWIFI::startHostedNetwork()
{
    // The name goes to netsh as one argument of its own whatever it holds: on a command
    // line, any blank, line break or other white space in a stored name would start
    // arguments of its own ("x\nkey=..." would set the passphrase). Quotes cannot be part of
    // a name netsh takes.
    QString ssid = readSetting(QStringLiteral("WIFI/ssid"));
    ssid.remove(QLatin1Char('"'));
    runNetsh({QStringLiteral("wlan"), QStringLiteral("set"), QStringLiteral("hostednetwork"),
              QStringLiteral("mode=allow"), QStringLiteral("ssid=") + ssid,
              QStringLiteral("key=") + QLatin1String(kPassphrase)});
    runNetsh({QStringLiteral("wlan"), QStringLiteral("start"), QStringLiteral("hostednetwork")});
}

void OPENWIFI::stopHostedNetwork()
{
    runNetsh({QStringLiteral("wlan"), QStringLiteral("stop"), QStringLiteral("hostednetwork")});
    runNetsh({QStringLiteral("wlan"), QStringLiteral("set"), QStringLiteral("hostednetwork"),
              QStringLiteral("mode=disallow")});
}

void OPENWIFI::stopWin10WifiEXE()
{
    if (!airstepRunning())
        return;
    qDebug("stopWin10WifiEXE");
    platform::ToolRun kill;
    kill.program = QStringLiteral("taskkill");
    kill.arguments =
        QStringList{QStringLiteral("-im"), QStringLiteral("Airstep.exe"), QStringLiteral("-f")};
    kill.finishMs = kToolWaitMs;
    m_runner.run(kill);
}

bool OPENWIFI::airstepRunning()
{
    return ::airstepRunning(m_runner);
}

void OPENWIFI::launchAirstep()
{
    // The path is a command line of its own: a path with blanks must be quoted there.
    QStringList words = QProcess::splitCommand(readSetting(QStringLiteral("WIFI/Path")));
    if (words.isEmpty())
        return;
    const QString program = words.takeFirst();
    m_runner.startDetached(program, words);
}

void OPENWIFI::runNetsh(const QStringList& arguments)
{
    // The outcome shows in the adapter table, which the status check reads; netsh's own
    // words are not looked at.
    platform::ToolRun netsh;
    netsh.program = QStringLiteral("netsh");
    netsh.arguments = arguments;
    netsh.finishMs = kToolWaitMs;
    m_runner.run(netsh);
}
