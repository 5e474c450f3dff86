#pragma once

#include <QApplication>
#include <QString>

#include <memory>

class QLocalServer;
class QLockFile;

// An application object of which one instance per user and application id runs. The
// first instance holds a lock file and listens on a local socket; later ones find the
// lock held and can pass the first a text message.
class SingleApplication final : public QApplication
{
    Q_OBJECT

public:
    SingleApplication(const QString& appId, int& argc, char** argv);
    ~SingleApplication() override;

    // The id passed at construction.
    QString id() const { return m_id; }
    // True when another live instance with the same id held the lock at construction and
    // handOver() has not taken its place; a lock that could not be created at all does not count.
    bool isRunning() const { return m_running; }
    // Delivers message to the running instance; false when none answered within timeout.
    bool sendMessage(const QString& message, int timeout = 5000);

    // What became of a start that found another instance holding the lock.
    enum class Handover
    {
        Delivered, // the running instance took the message; this start has nothing more to do
        First,     // no other instance runs (any more): this start goes on as the first
        Failed,    // it neither took the message nor ended in time (said on stderr)
    };
    // For a start that isRunning(): hands message over, and when the other instance does not
    // answer (it retired, or hangs), waits up to endTimeout for it to end and takes its place.
    Handover handOver(const QString& message, int messageTimeout, int endTimeout);
    // Stops answering later starts, which then wait for this process to end instead of
    // handing over to a program on its way out. The lock stays held until this object goes.
    void retire();

signals:
    void messageReceived(const QString& message);

private:
    void listen();

    QString m_id;
    QString m_serverName;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
    bool m_primary = false;
    bool m_running = false;
};
