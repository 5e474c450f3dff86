#pragma once

#include "link/costra.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QStringList>

#include <vector>

class QThread;
class QTimer;
class QTWIFI;

namespace platform {
class AdapterTable;
class ToolRunner;
} // namespace platform

// Ties discovery to the scanner links: a link per discovered address, one record taken
// from each link per collection pass, and a miss count that decides which addresses are
// online. Lives in the GUI thread; discovery runs in a thread of its own.
class TCPClient final : public QObject
{
    Q_OBJECT

public:
    explicit TCPClient(QObject* parent = nullptr);
    TCPClient(platform::AdapterTable& adapters, platform::ToolRunner& runner,
              QObject* parent = nullptr);
    // Stops discovery and every link, and waits for their threads.
    ~TCPClient() override;

    // Replaces records with this pass's records and returns the online addresses in text
    // order. The link of keepPictureOf keeps a picture it holds, and counts as answering.
    QStringList onlineDevices(QList<OstraInfo>& records, const QString& keepPictureOf = {});
    // Takes the picture the link of address holds, as a collection pass would (its miss
    // count restarts); false when that link holds no picture.
    bool takePicture(const QString& address, OstraInfo& out);
    // One command to the scanner at address on the caller's thread; true when the scanner
    // answered with a status or a picture, false when no link has that address, the
    // exchange failed or the reply was no such code.
    bool sendCommand(const QString& address, int code);
    // The discovery object, for its state and SSID.
    QTWIFI* wifi() const { return m_wifi; }
    // The runner of the external tools, for the window's presence probes of other programs.
    platform::ToolRunner& toolRunner() const { return m_runner; }

    // Links in service and links stopped but not yet released.
    int linkCount() const { return int(m_links.size()); }
    int retiredLinkCount() const { return int(m_retired.size()); }

signals:
    // The link of address has queued a picture; emitted on the GUI thread.
    void pictureQueued(const QString& address);

public slots:
    void TimerTimeOut();
    void run();
    void stop();

private:
    QList<OstraInfo> collectRecords(const QString& keepPictureOf);
    COstra* linkFor(const QString& address) const;
    void retire(COstra* link);
    void releaseFinishedLinks();

    std::vector<COstra*> m_links;
    // Links taken out of service whose last exchange may still be running.
    std::vector<COstra*> m_retired;
    QTimer* m_timer = nullptr;
    QThread* m_thread = nullptr;
    QTWIFI* m_wifi = nullptr;
    QMap<QString, int> m_misses;
    platform::AdapterTable& m_adapterTable;
    platform::ToolRunner& m_runner;
};
