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
    // True when another live instance with the same id held the lock at construction; a
    // lock that could not be created at all does not count.
    bool isRunning() const { return m_running; }
    // Delivers message to the running instance; false when none answered within timeout.
    bool sendMessage(const QString& message, int timeout = 5000);

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
