#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <mutex>

namespace platform {
class AdapterTable;
class ToolRunner;
struct Adapter;
} // namespace platform

class QTimer;

// The discovery state and the network name, as the main window shows them.
struct WifiStatus
{
    int state = 2; // 0 hosted network up, 1 Wi-Fi adapter without it, 2 no Wi-Fi adapter
    QString ssid;
    // False until discovery has started: the 2 it reports before then is no finding.
    bool started = false;

    // Discovery has looked and found no Wi-Fi adapter.
    bool noWifiAdapter() const { return state == 2 && started; }
};

// Finds the scanners on the PC's hosted Wi-Fi network: every 31st tick of a 100 ms timer
// it checks the adapters for the hosted network's gateway address, lists that subnet's
// neighbours from the ARP table and keeps those that answer a ping. Lives in the
// discovery thread; the accessors are called from the GUI thread and hand out copies.
class QTWIFI final : public QObject
{
    Q_OBJECT

public:
    explicit QTWIFI(QObject* parent = nullptr);
    QTWIFI(platform::AdapterTable& adapters, platform::ToolRunner& runner,
           QObject* parent = nullptr);
    ~QTWIFI() override;

    // Copy of the scanner addresses found, in the order they were found.
    QStringList deviceList() const;
    // Copy of the state and SSID.
    WifiStatus wifiStatus() const;

    // One discovery pass, as the timer runs it.
    void discoveryPass();
    // 0 hosted network found, 3 Wi-Fi adapters but no hosted network, 2 no Wi-Fi adapter
    // or the adapter table could not be read.
    int checkHostedNetwork();
    // Derives the SSID from the adapter's hardware address and publishes it; does nothing
    // for an adapter without a hardware address.
    void deriveSsid(const platform::Adapter& adapter);
    // Tokens of the ARP listing that contain prefix, each once, in listing order.
    QStringList scanArpTable(const QString& prefix);
    // True when one ping to address was answered.
    bool pingDevice(const QString& address);

public slots:
    void Start();
    void Stop();
    void removeDeviceIP(QString ip);

private slots:
    void TimerTimeOut();

private:
    platform::AdapterTable& m_adapters;
    platform::ToolRunner& m_runner;
    QTimer* m_timer = nullptr;
    int m_ticks = 0;
    QString m_prefix = QStringLiteral("null");

    mutable std::mutex m_mutex; // guards the three below, shared with the GUI thread
    QStringList m_devices;
    int m_state = 2;
    QString m_ssid;
    bool m_started = false;
};
