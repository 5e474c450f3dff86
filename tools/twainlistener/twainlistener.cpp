#include "tools/twainlistener/twainlistener.h"

#include "common/settings.h"
#include "common/twainnotice.h"
#include "imaging/picturefile.h"

#include <QDateTime>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <opencv2/core.hpp>

#include <vector>

namespace {

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
    std::vector<unsigned char> bytes;
    QString error;
    if (!readPictureFile(path, bytes, error))
        return head + error;
    const qint64 size = qint64(bytes.size());
    const cv::Mat picture = decodePictureAsStored(bytes);
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
        if (payload == twain::kPictureSaved)
            meaning = QStringLiteral("a new picture is ready");
        else if (payload == twain::kProgramClosing)
            meaning = QStringLiteral("the acquisition program is closing");
        else
            meaning = QStringLiteral("not a notification");
        emit report(QStringLiteral("datagram \"%1\" (%2 bytes) from %3:%4: %5, at %6")
                        .arg(printable(payload))
                        .arg(payload.size())
                        .arg(received.senderAddress().toString())
                        .arg(received.senderPort())
                        .arg(meaning)
                        .arg(QDateTime::currentMSecsSinceEpoch()));
        // Read afresh for every picture: the path may have changed since the last one.
        if (payload == twain::kPictureSaved)
            emit report(describePicture(readSetting(QStringLiteral("IMAHE/ImageScanPth"))));
        emit datagram(payload);
    }
}
