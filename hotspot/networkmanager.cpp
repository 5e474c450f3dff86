#include "hotspot/networkmanager.h"

#include "platform/account.h"
#include "platform/adapters.h"
#include "platform/toolrunner.h"

#include <QLoggingCategory>

namespace {

Q_LOGGING_CATEGORY(lcHotspot, "ostra.hotspot", QtInfoMsg)

// The name our profiles carry in NetworkManager.
const char* const kProfile = "ostra-hotspot";
constexpr int kNmcliWaitMs = 30000;
// nmcli's own wait for the activation, inside the runner's, so that it ends by itself.
const char* const kActivationWaitS = "25";
// The address the scanner and discovery expect of the PC.
const char* const kGatewayAddress = "192.168.137.1/24";
// Left to choose, NetworkManager took 2472 MHz, which the default regulatory domain forbids
// an access point; channel 1 is allowed everywhere.
const char* const kChannel = "1";
// NetworkManager's device states below which it cannot activate anything: 10 unmanaged,
// 20 unavailable (switched off, blocked, or missing its supplicant).
constexpr int kStateUnavailable = 20;

QString text(const char* value)
{
    return QString::fromLatin1(value);
}

} // namespace

NetworkManagerHotspot::NetworkManagerHotspot(platform::ToolRunner& runner,
                                             platform::AdapterTable& adapters)
    : m_runner(runner), m_adapters(adapters)
{}

void NetworkManagerHotspot::start(const QString& ssid, const QString& passphrase)
{
    const QString device = accessPointDevice();
    if (device.isEmpty())
        return;
    removeProfiles();
    QStringList add = {text("connection"),
                       text("add"),
                       text("type"),
                       text("wifi"),
                       text("ifname"),
                       device,
                       text("con-name"),
                       text(kProfile),
                       text("autoconnect"),
                       text("no"),
                       text("ssid"),
                       ssid,
                       text("802-11-wireless.mode"),
                       text("ap"),
                       text("802-11-wireless.band"),
                       text("bg"),
                       text("802-11-wireless.channel"),
                       text(kChannel),
                       text("wifi-sec.key-mgmt"),
                       text("wpa-psk"),
                       text("wifi-sec.proto"),
                       text("rsn"),
                       text("wifi-sec.pairwise"),
                       text("ccmp"),
                       text("wifi-sec.group"),
                       text("ccmp"),
                       text("wifi-sec.psk"),
                       passphrase,
                       text("ipv4.method"),
                       text("shared"),
                       text("ipv4.addresses"),
                       text(kGatewayAddress),
                       text("ipv6.method"),
                       text("ignore")};
    // A profile of the user's own needs no administrator's password under NetworkManager's
    // default polkit rules; one for every user would.
    const std::string user = platform::loginName();
    if (!user.empty())
        add << text("connection.permissions")
            << QStringLiteral("user:") + QString::fromStdString(user);
    nmcli(add);
    nmcli({text("--wait"), text(kActivationWaitS), text("connection"), text("up"), text("id"),
           text(kProfile)});
}

void NetworkManagerHotspot::stop()
{
    nmcli({text("connection"), text("down"), text("id"), text(kProfile)});
}

QString NetworkManagerHotspot::accessPointDevice()
{
    std::vector<platform::Adapter> adapters;
    QStringList wifi;
    if (m_adapters.query(adapters)) {
        for (const platform::Adapter& adapter : adapters) {
            if (adapter.type == platform::kAdapterTypeWireless)
                wifi.append(QString::fromStdString(adapter.name));
        }
    }
    if (wifi.isEmpty()) {
        qCWarning(lcHotspot, "No access point: there is no Wi-Fi adapter");
        return {};
    }
    bool answered = false;
    const QString running =
        nmcli({text("-t"), text("-f"), text("RUNNING"), text("general")}, &answered);
    if (!answered) {
        qCWarning(lcHotspot, "No access point: nmcli does not run (is NetworkManager installed?)");
        return {};
    }
    if (running.trimmed() != QLatin1String("running")) {
        qCWarning(lcHotspot, "No access point: NetworkManager is not running");
        return {};
    }
    // NetworkManager turns a Wi-Fi profile for a wired device into a wired one and activates
    // it, and cannot activate one on a device it does not manage or that is switched off, so
    // the device is asked first.
    QStringList refusals;
    for (const QString& name : wifi) {
        const QStringList answer =
            nmcli({text("-g"), text("GENERAL.TYPE,GENERAL.STATE,WIFI-PROPERTIES.AP"),
                   text("device"), text("show"), name})
                .split(QLatin1Char('\n'));
        const QString type = answer.value(0).trimmed();
        const int state = answer.value(1).section(QLatin1Char(' '), 0, 0).toInt();
        const bool ap = answer.value(2).trimmed() == QLatin1String("yes");
        if (type == QLatin1String("wifi") && ap && state > kStateUnavailable)
            return name;
        if (type.isEmpty())
            refusals.append(QStringLiteral("%1 is unknown to NetworkManager").arg(name));
        else if (type != QLatin1String("wifi"))
            refusals.append(QStringLiteral("%1 is a %2 device to NetworkManager").arg(name, type));
        else if (!ap)
            refusals.append(QStringLiteral("%1 cannot be an access point").arg(name));
        else if (state == kStateUnavailable)
            refusals.append(QStringLiteral("%1 is unavailable (is Wi-Fi switched off?)").arg(name));
        else
            refusals.append(QStringLiteral("%1 is not managed by NetworkManager").arg(name));
    }
    qCWarning(lcHotspot, "No access point: %s", qPrintable(refusals.join(QStringLiteral("; "))));
    return {};
}

void NetworkManagerHotspot::removeProfiles()
{
    // Profiles of one name pile up, one per start that did not remove the last; they are
    // told apart by their UUIDs.
    const QStringList rows =
        nmcli({text("-t"), text("-f"), text("UUID,NAME"), text("connection"), text("show")})
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QStringList remove = {text("connection"), text("delete")};
    for (const QString& row : rows) {
        const int colon = row.indexOf(QLatin1Char(':'));
        if (colon > 0 && row.mid(colon + 1).trimmed() == QLatin1String(kProfile))
            remove << text("uuid") << row.left(colon);
    }
    if (remove.size() > 2)
        nmcli(remove);
}

QString NetworkManagerHotspot::nmcli(const QStringList& arguments, bool* finished)
{
    platform::ToolRun run;
    run.program = QStringLiteral("nmcli");
    run.arguments = arguments;
    run.finishMs = kNmcliWaitMs;
    const platform::ToolOutput output = m_runner.run(run);
    if (finished)
        *finished = output.finished;
    return output.output;
}
