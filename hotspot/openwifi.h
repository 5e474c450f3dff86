#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

namespace platform {
class AdapterTable;
class ToolRunner;
} // namespace platform

// Turns the PC's Wi-Fi adapter into the scanner's access point and back, by the means that
// fit the Windows version: the hosted network through netsh on Windows 7, 8 and 8.1, the
// maker's Airstep program on Windows 10, NetworkManager on Linux (no version), nothing
// elsewhere. Every call blocks its thread while the tools run, reports nothing and keeps
// nothing for the next call.
class OPENWIFI final : public QObject
{
    Q_OBJECT

public:
    explicit OPENWIFI(QObject* parent = nullptr);
    OPENWIFI(platform::ToolRunner& runner, platform::AdapterTable& adapters,
             QObject* parent = nullptr);

    // Brings the access point up for this Windows version.
    void openWifi();
    // Takes it down for this Windows version.
    void closeWifi();
    // Allows the hosted network under "WIFI/ssid" and starts it.
    void startHostedNetwork();
    // Stops the hosted network and disallows it.
    void stopHostedNetwork();
    // Ends a running Airstep.exe; does nothing when none runs.
    void stopWin10WifiEXE();
    // True when Airstep.exe runs; false when it does not or the process list did not come
    // within 30 s.
    bool airstepRunning();

private:
    void launchAirstep();
    void runNetsh(const QStringList& arguments);

    int winVersion = 0;
    platform::ToolRunner& m_runner;
    platform::AdapterTable& m_adapters;
};
