#pragma once

#include <QObject>
#include <QString>

class QUdpSocket;

// Stands in for the TWAIN data source: listens for the acquisition program's UDP
// notifications on 127.0.0.1 and, on "1001", reads the picture file as the data source
// would. Everything it sees is reported as one line of text.
class TwainListener final : public QObject
{
    Q_OBJECT

public:
    explicit TwainListener(QObject* parent = nullptr);
    ~TwainListener() override;

    // Binds 127.0.0.1 at port (0 picks a free one); false with errorString() set when the
    // port cannot be had.
    bool listen(quint16 port);
    // The bound port; 0 before listen() succeeded.
    quint16 port() const;
    QString errorString() const;

    // One line about the picture file at path: its size, whether it decodes and what it
    // holds; never throws and never reads more than a bounded amount.
    static QString describePicture(const QString& path);
    // The payload as printable text: ASCII as it is, other bytes as \xNN, at most 64 shown.
    static QString printable(const QByteArray& payload);

signals:
    // A line for the operator; datagram() is emitted once per datagram, after its lines.
    void report(const QString& line);
    void datagram(const QByteArray& payload);

private:
    void readPending();

    QUdpSocket* m_socket = nullptr;
};
