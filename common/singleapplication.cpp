#include "common/singleapplication.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QtDebug>

namespace {

// One instance per logon: the user's name goes into both the lock and the socket name,
// hashed so that any id yields a name the local socket accepts.
QString instanceKey(const QString& appId)
{
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty())
        user = qEnvironmentVariable("USERNAME");
    const QByteArray hash = QCryptographicHash::hash((appId + QLatin1Char('@') + user).toUtf8(),
                                                     QCryptographicHash::Sha1);
    return QStringLiteral("single-") + QString::fromLatin1(hash.toHex().left(16));
}

constexpr int kMaxMessageBytes = 64 * 1024;

} // namespace

SingleApplication::SingleApplication(const QString& appId, int& argc, char** argv)
    : QApplication(argc, argv), m_id(appId), m_serverName(instanceKey(appId))
{
    const QString lockPath = QDir::temp().filePath(m_serverName + QStringLiteral(".lock"));
    m_lock = std::make_unique<QLockFile>(lockPath);
    // The lock of an instance that crashed names a dead process and is taken over at once.
    m_lock->setStaleLockTime(0);
    m_primary = m_lock->tryLock(0);
    // Only a lock held by a live process means another instance; a lock that cannot be
    // made at all (no writable temporary folder) must not keep the program from starting.
    m_running = !m_primary && m_lock->error() == QLockFile::LockFailedError;
    if (!m_primary && !m_running)
        qWarning() << "Single instance: cannot create the lock file" << lockPath << "(error"
                   << m_lock->error() << "); starting without it";
    // Without the lock no later instance can find this one, and the socket would land
    // wherever Qt resolves the missing temporary folder to: the root folder.
    if (m_primary)
        listen();
}

SingleApplication::~SingleApplication()
{
    if (m_server)
        m_server->close();
    if (m_lock && m_primary)
        m_lock->unlock();
}

void SingleApplication::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket left behind by a crashed instance would make listen() fail; the lock file
    // proves that no live instance owns it.
    QLocalServer::removeServer(m_serverName);
    if (!m_server->listen(m_serverName)) {
        qWarning() << "Single instance: cannot listen on" << m_serverName
                   << m_server->errorString();
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine()) {
                    if (socket->bytesAvailable() > kMaxMessageBytes)
                        socket->abort();
                    return;
                }
                const QByteArray line = socket->readLine(kMaxMessageBytes).trimmed();
                socket->write("ok\n");
                socket->flush();
                emit messageReceived(QString::fromUtf8(line));
            });
        }
    });
}

SingleApplication::Handover SingleApplication::handOver(const QString& message, int messageTimeout,
                                                        int endTimeout)
{
    if (!m_running)
        return Handover::First;
    if (sendMessage(message, messageTimeout))
        return Handover::Delivered;
    qInfo().noquote() << "Single instance: the running instance does not answer; waiting up to"
                      << endTimeout << "ms for it to end";
    if (!m_lock->tryLock(endTimeout)) {
        qWarning() << "Single instance: the running instance neither answers nor ends (lock error"
                   << m_lock->error() << "); not starting";
        return Handover::Failed;
    }
    m_primary = true;
    m_running = false;
    listen();
    return Handover::First;
}

void SingleApplication::retire()
{
    if (!m_server)
        return;
    // A start already connected gets no answer either: it would take it for a live instance.
    for (QLocalSocket* socket : m_server->findChildren<QLocalSocket*>())
        socket->abort();
    m_server->close();
}

bool SingleApplication::sendMessage(const QString& message, int timeout)
{
    if (!m_running)
        return false;
    const QDeadlineTimer deadline(timeout);
    auto left = [&deadline] { return int(qMax<qint64>(0, deadline.remainingTime())); };
    QLocalSocket socket;
    socket.connectToServer(m_serverName);
    if (!socket.waitForConnected(left()))
        return false;
    QByteArray bytes = message.toUtf8();
    bytes.replace('\n', ' ');
    socket.write(bytes + '\n');
    if (!socket.waitForBytesWritten(left()))
        return false;
    // Wait for the answer so that a message is not lost to an early disconnect.
    const bool answered = socket.waitForReadyRead(left()) && socket.readAll().startsWith("ok");
    socket.disconnectFromServer();
    return answered;
}
