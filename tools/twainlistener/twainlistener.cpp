#include "tools/twainlistener/twainlistener.h"

#include "common/settings.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <vector>

namespace {

// A picture from an intra-oral camera is a few megabytes; anything far larger is not one,
// and reading it whole would only cost memory.
constexpr qint64 kLargestPicture = 256 * 1024 * 1024;
constexpr int kShownBytes = 64;

QString depthName(int depth)
{
    switch (depth) {
    case CV_8U:
        return QStringLiteral("8-bit");
    case CV_16U:
        return QStringLiteral("16-bit");
    case CV_32F:
        return QStringLiteral("32-bit float");
    default:
        return QStringLiteral("depth %1").arg(depth);
    }
}

} // namespace

TwainListener::TwainListener(QObject* parent) : QObject(parent), m_socket(new QUdpSocket(this))
{
    connect(m_socket, &QUdpSocket::readyRead, this, &TwainListener::readPending);
}

TwainListener::~TwainListener() = default;

bool TwainListener::listen(quint16 port)
{
    return m_socket->bind(QHostAddress(QHostAddress::LocalHost), port);
}

quint16 TwainListener::port() const
{
    return m_socket->state() == QAbstractSocket::BoundState ? m_socket->localPort() : 0;
}

QString TwainListener::errorString() const
{
    return m_socket->errorString();
}

QString TwainListener::printable(const QByteArray& payload)
{
    QString text;
    for (int i = 0; i < payload.size() && i < kShownBytes; ++i) {
        const auto byte = static_cast<unsigned char>(payload.at(i));
        if (byte >= 0x20 && byte < 0x7f && byte != '\\')
            text += QLatin1Char(char(byte));
        else
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    if (payload.size() > kShownBytes)
        text += QStringLiteral("...");
    return text;
}

QString TwainListener::describePicture(const QString& path)
{
    if (path.isEmpty())
        return QStringLiteral("picture: \"IMAHE/ImageScanPth\" is not set");
    const QString head = QStringLiteral("picture %1: ").arg(path);
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return head + QStringLiteral("cannot be read (%1)").arg(file.errorString());
    const qint64 size = file.size();
    if (size > kLargestPicture)
        return head + QStringLiteral("%1 bytes, too large to be a picture").arg(size);
    const QByteArray bytes = file.readAll();
    if (bytes.size() != size)
        return head + QStringLiteral("%1 of %2 bytes read, cannot be read whole")
                          .arg(bytes.size())
                          .arg(size);

    cv::Mat picture;
    try {
        const std::vector<uchar> buffer(bytes.begin(), bytes.end());
        picture = cv::imdecode(buffer, cv::IMREAD_UNCHANGED);
    } catch (const cv::Exception&) {
        picture.release();
    }
    if (picture.empty())
        return head + QStringLiteral("%1 bytes, decodes: no").arg(size);
    return head + QStringLiteral("%1 bytes, decodes: yes, %2 x %3, %4, %5 channel%6")
                      .arg(size)
                      .arg(picture.cols)
                      .arg(picture.rows)
                      .arg(depthName(picture.depth()))
                      .arg(picture.channels())
                      .arg(picture.channels() == 1 ? QString() : QStringLiteral("s"));
}

void TwainListener::readPending()
{
    while (m_socket->hasPendingDatagrams()) {
        const QNetworkDatagram received = m_socket->receiveDatagram();
        const QByteArray payload = received.data();
        QString meaning;
        if (payload == "1001")
            meaning = QStringLiteral("a new picture is ready");
        else if (payload == "1000")
            meaning = QStringLiteral("the acquisition program is closing");
        else
            meaning = QStringLiteral("not a notification");
        emit report(QStringLiteral("datagram \"%1\" (%2 bytes) from %3:%4: %5")
                        .arg(printable(payload))
                        .arg(payload.size())
                        .arg(received.senderAddress().toString())
                        .arg(received.senderPort())
                        .arg(meaning));
        // Read afresh for every picture: the path may have changed since the last one.
        if (payload == "1001")
            emit report(describePicture(readSetting(QStringLiteral("IMAHE/ImageScanPth"))));
        emit datagram(payload);
    }
}
