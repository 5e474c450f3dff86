#include "discovery/udpsocket.h"

#include "common/settings.h"
#include "common/trace.h"
#include "common/twainnotice.h"

#include <QtDebug>

namespace {

const char* const kLoopback = "127.0.0.1";

void trace(const QString& message, const QString& value)
{
    traceRecord(QStringLiteral("UDPSocket"), message, value);
}

} // namespace

UDPSocket::UDPSocket(QObject* /*owner*/) : QThread(nullptr)
{
    setObjectName(QStringLiteral("UDPSocket"));
}

UDPSocket::~UDPSocket()
{
    wait();
    closeSocket();
}

void UDPSocket::run()
{
    const int configured = readSetting(QStringLiteral("UDP/Port")).toInt(nullptr, 10);
    {
        const std::lock_guard<std::mutex> locker(m_lock);
        port = configured;
    }
    trace(QStringLiteral("InitUDP Start ->"), QString::number(configured));

    std::unique_lock<std::mutex> locker(m_lock);
    // A bridge closed before its thread got here stays closed.
    if (!m_closed) {
        m_libraryStarted = net::startup();
        m_socket = net::openUdp();
        if (m_socket == net::kInvalidSocket)
            qDebug() << "UDPSocket: no datagram socket could be created";
    }
    locker.unlock();
    trace(QStringLiteral("InitUDP End ->"), QString());
}

void UDPSocket::closeSocket()
{
    const std::lock_guard<std::mutex> locker(m_lock);
    m_closed = true;
    net::closeSocket(m_socket);
    m_socket = net::kInvalidSocket;
    if (m_libraryStarted)
        net::cleanup();
    m_libraryStarted = false;
}

int UDPSocket::destinationPort() const
{
    const std::lock_guard<std::mutex> locker(m_lock);
    return port;
}

void UDPSocket::UDPSendDataClose()
{
    sendNotification(twain::kProgramClosing, QStringLiteral("UDPSendDataClose"));
}

void UDPSocket::UDPSendDataScan()
{
    sendNotification(twain::kPictureSaved, QStringLiteral("UDPSendDataScan"));
}

void UDPSocket::sendNotification(const char* payload, const QString& operation)
{
    trace(operation + QStringLiteral(" Start "), QString());
    // A send that races the set-up waits for it rather than finding no socket; the set-up
    // only opens a socket, so the wait is short.
    if (isRunning() && QThread::currentThread() != this)
        wait();

    std::unique_lock<std::mutex> locker(m_lock);
    if (m_socket == net::kInvalidSocket) {
        qDebug() << "UDPSocket:" << operation << "found no open socket;" << payload << "not sent";
    } else if (port <= 0 || port > 65535) {
        // Truncating the number to 16 bits would notify some unrelated port.
        qDebug() << "UDPSocket: \"UDP/Port\" holds no usable port (" << port << ");" << payload
                 << "not sent";
    } else if (net::sendTo(m_socket, payload, twain::kNoticeSize, kLoopback, port) !=
               static_cast<std::ptrdiff_t>(twain::kNoticeSize)) {
        qDebug() << "UDPSocket:" << payload << "could not be sent to port" << port;
    }
    locker.unlock();
    trace(operation + QStringLiteral(" End "), QString());
}
