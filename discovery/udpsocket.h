#pragma once

#include "platform/socket.h"

#include <QThread>

#include <mutex>

// The TWAIN bridge: one-way four-byte notifications to the data source listening on
// 127.0.0.1 at the configured "UDP/Port". The thread only sets the socket up and ends;
// the sends then run on the caller's thread.
class UDPSocket final : public QThread
{
    Q_OBJECT

public:
    // The owner (the main window) is not made the Qt parent: it waits for the thread and
    // deletes the bridge itself.
    explicit UDPSocket(QObject* owner = nullptr);
    // Waits for the set-up to finish and releases the socket if closeSocket() was not called.
    ~UDPSocket() override;

    // Closes the socket and ends the use of the sockets library; later sends do nothing.
    void closeSocket();

    // The destination port read by run(); 0 until then, and when the key is absent or
    // holds no number.
    int destinationPort() const;

public slots:
    // Sends "1000" (the program is closing); a no-op with a debug message when there is no
    // socket or no usable port. Send failures are not reported to the caller.
    void UDPSendDataClose();
    // Sends "1001" (a picture has been written), under the same rules.
    void UDPSendDataScan();

protected:
    void run() override;

private:
    void sendNotification(const char* payload, const QString& operation);

    // A standard mutex, so that ThreadSanitizer sees the locking.
    mutable std::mutex m_lock;
    int port = 0;
    net::Socket m_socket = net::kInvalidSocket;
    bool m_libraryStarted = false;
    bool m_closed = false;
};
