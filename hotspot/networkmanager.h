#pragma once

#include <QString>
#include <QStringList>

namespace platform {
class AdapterTable;
class ToolRunner;
} // namespace platform

// The access point on Linux: one NetworkManager profile of ours in access-point mode on the
// first Wi-Fi adapter able to be one, driven through nmcli, each argument on its own, with
// fixed waits. Every call blocks its thread while nmcli runs; whether the network came up is
// the adapter probe's to judge, not nmcli's words.
class NetworkManagerHotspot final
{
public:
    NetworkManagerHotspot(platform::ToolRunner& runner, platform::AdapterTable& adapters);

    // Replaces our earlier profiles by one with this SSID and passphrase and brings it up;
    // sends NetworkManager nothing, and logs the reason in one line, when it does not answer
    // or no Wi-Fi adapter can be an access point.
    void start(const QString& ssid, const QString& passphrase);
    // Takes our profile down.
    void stop();

private:
    QString accessPointDevice();
    void removeProfiles();
    QString nmcli(const QStringList& arguments, bool* finished = nullptr);

    platform::ToolRunner& m_runner;
    platform::AdapterTable& m_adapters;
};
