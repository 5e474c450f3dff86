#include "tools/scannersim/scannersimulator.h"

#include "link/devicerequest.h"

#include <QDateTime>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>

#include <chrono>
#include <random>

namespace {

constexpr int kSliceMs = 50;
// A held connection is let go after this long even if the client never gives up.
constexpr int kHoldLimitMs = 60000;

QByteArray int32Bytes(qint32 value)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian<qint32>(value, bytes.data());
    return bytes;
}

QByteArray floatBytes(float value)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian<float>(value, bytes.data());
    return bytes;
}

QByteArray extHeader(qint32 lengthField, float extra)
{
    QByteArray header = int32Bytes(REPLY_IMAGE_EXT) + int32Bytes(lengthField) + floatBytes(extra);
    header.append(kImageExtHeaderSize - header.size(), '\x5a');
    return header;
}

// Hands accepted descriptors to the simulator instead of wrapping them in sockets that
// would belong to the accepting thread.
class DescriptorServer final : public QTcpServer
{
public:
    QList<qintptr> pending;

protected:
    void incomingConnection(qintptr descriptor) override { pending.append(descriptor); }
};

} // namespace

ScannerReply ScannerReply::status(int code, const QByteArray& trailing)
{
    ScannerReply reply;
    reply.bytes = int32Bytes(code) + trailing;
    reply.label = QStringLiteral("status %1").arg(code);
    return reply;
}

ScannerReply ScannerReply::image(const QByteArray& payload)
{
    ScannerReply reply = imageAnnouncing(payload.size(), payload);
    reply.label = QStringLiteral("image %1 bytes").arg(payload.size());
    reply.wholePicture = true;
    return reply;
}

ScannerReply ScannerReply::imageExt(const QByteArray& payload, float extra)
{
    ScannerReply reply = imageExtAnnouncing(kImageExtLengthBias + payload.size(), extra, payload);
    reply.label = QStringLiteral("image-ext %1 bytes extra %2").arg(payload.size()).arg(extra);
    reply.wholePicture = true;
    return reply;
}

ScannerReply ScannerReply::imageAnnouncing(qint32 announced, const QByteArray& payload)
{
    ScannerReply reply;
    reply.bytes = int32Bytes(REPLY_IMAGE) + int32Bytes(announced) + payload;
    reply.label =
        QStringLiteral("image announcing %1, sending %2").arg(announced).arg(payload.size());
    return reply;
}

ScannerReply ScannerReply::imageExtAnnouncing(qint32 lengthField, float extra,
                                              const QByteArray& payload)
{
    ScannerReply reply;
    reply.bytes = extHeader(lengthField, extra) + payload;
    reply.label = QStringLiteral("image-ext length field %1, sending %2")
                      .arg(lengthField)
                      .arg(payload.size());
    return reply;
}

ScannerReply ScannerReply::closeAtOnce()
{
    ScannerReply reply;
    reply.label = QStringLiteral("close at once");
    return reply;
}

ScannerReply ScannerReply::neverAnswer()
{
    ScannerReply reply;
    reply.end = End::Hold;
    reply.label = QStringLiteral("never answer");
    return reply;
}

ScannerReply ScannerReply::stallMidPayload(const QByteArray& payload)
{
    ScannerReply reply = image(payload);
    reply.sendLimit = kImageHeaderSize + payload.size() / 2;
    reply.end = End::Hold;
    reply.wholePicture = false;
    reply.label = QStringLiteral("stall mid-payload");
    return reply;
}

ScannerReply ScannerReply::shortHeader(int code, int bytes, End end)
{
    ScannerReply reply = code == REPLY_IMAGE_EXT
                             ? imageExtAnnouncing(kImageExtLengthBias + 16, 1.5f)
                             : imageAnnouncing(16);
    if (!isPictureReply(code))
        reply = status(code);
    reply.bytes = reply.bytes.left(bytes);
    reply.end = end;
    reply.label = QStringLiteral("short header %1 bytes of code %2").arg(bytes).arg(code);
    return reply;
}

ScannerReply ScannerReply::overrun(const QByteArray& payload, int surplus)
{
    ScannerReply reply = imageAnnouncing(payload.size(), payload + QByteArray(surplus, '\x7f'));
    reply.label = QStringLiteral("overrun by %1").arg(surplus);
    return reply;
}

ScannerReply ScannerReply::notAPicture(int size, quint32 seed)
{
    std::mt19937 random(seed);
    QByteArray junk(size, '\0');
    for (char& byte : junk)
        byte = static_cast<char>(random() & 0xff);
    ScannerReply reply = image(junk);
    reply.label = QStringLiteral("not a picture");
    return reply;
}

ScannerReply ScannerReply::inSegments(int segment, int delayMs) const
{
    ScannerReply reply = *this;
    reply.segmentBytes = segment;
    reply.segmentDelayMs = delayMs;
    reply.label += QStringLiteral(" in %1-byte segments").arg(segment);
    return reply;
}

ScannerSimulator::ScannerSimulator()
    : m_defaultReply(ScannerReply::status(REPLY_STATE_LIT)),
      m_commandReply(ScannerReply::status(REPLY_STATE_LIT))
{}

ScannerSimulator::~ScannerSimulator()
{
    stop();
}

bool ScannerSimulator::start(const QHostAddress& address, quint16 port)
{
    stop();
    m_stopping = false;
    m_clock.start();
    std::promise<quint16> listening;
    std::future<quint16> bound = listening.get_future();
    m_acceptor = std::thread(&ScannerSimulator::acceptLoop, this, address, port, &listening);
    m_port = bound.get();
    if (m_port == 0) {
        m_acceptor.join();
        return false;
    }
    return true;
}

void ScannerSimulator::stop()
{
    m_stopping = true;
    if (m_acceptor.joinable())
        m_acceptor.join();
    std::list<Worker> workers;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        workers.swap(m_workers);
    }
    for (Worker& worker : workers)
        worker.thread.join();
    m_port = 0;
}

void ScannerSimulator::setScript(const QList<ScannerReply>& replies, bool repeat)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.assign(replies.begin(), replies.end());
    m_scriptCycle = replies;
    m_repeat = repeat;
    m_cyclePos = 0;
}

void ScannerSimulator::setDefaultReply(const ScannerReply& reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_defaultReply = reply;
}

void ScannerSimulator::setCommandReply(const ScannerReply& reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_commandReply = reply;
}

QVector<ScannerSimulator::Request> ScannerSimulator::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // A deep copy: a shared one would let the serving threads' next append test the
    // share count without ordering against the caller's reads.
    QVector<Request> copy = m_requests;
    copy.detach();
    return copy;
}

bool ScannerSimulator::waitForRequests(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_requests.size() >= count; });
}

ScannerReply ScannerSimulator::replyFor(int code)
{
    // Called with m_mutex held.
    if (code != REQUEST_POLL)
        return m_commandReply;
    if (m_repeat && !m_scriptCycle.isEmpty())
        return m_scriptCycle.at(static_cast<int>(m_cyclePos++ % m_scriptCycle.size()));
    if (!m_script.empty()) {
        ScannerReply reply = m_script.front();
        m_script.pop_front();
        return reply;
    }
    return m_defaultReply;
}

void ScannerSimulator::reapFinished()
{
    // Called with m_mutex held: joins the connection threads that have ended so that a
    // long run does not keep a thread object per exchange.
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = m_workers.erase(it);
        } else {
            ++it;
        }
    }
}

void ScannerSimulator::acceptLoop(QHostAddress address, quint16 port,
                                  std::promise<quint16>* listening)
{
    DescriptorServer server;
    if (!server.listen(address, port)) {
        qWarning("scanner simulator: cannot listen on %s:%u: %s", qPrintable(address.toString()),
                 port, qPrintable(server.errorString()));
        listening->set_value(0);
        return;
    }
    listening->set_value(server.serverPort());
    while (!m_stopping) {
        server.waitForNewConnection(kSliceMs);
        const QList<qintptr> accepted = server.pending;
        server.pending.clear();
        for (qintptr descriptor : accepted) {
            auto done = std::make_shared<std::atomic<bool>>(false);
            std::lock_guard<std::mutex> lock(m_mutex);
            reapFinished();
            m_workers.push_back({std::thread([this, descriptor, done] {
                                     serve(descriptor);
                                     *done = true;
                                 }),
                                 done});
        }
    }
    server.close();
}

void ScannerSimulator::serve(qintptr descriptor)
{
    ++m_open;
    QTcpSocket socket;
    socket.setSocketDescriptor(descriptor);
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);

    QByteArray request;
    QElapsedTimer waited;
    waited.start();
    while (request.size() < kRequestSize && !m_stopping && waited.elapsed() < 5000 &&
           socket.state() == QAbstractSocket::ConnectedState) {
        if (socket.bytesAvailable() > 0 || socket.waitForReadyRead(kSliceMs))
            request += socket.read(kRequestSize - request.size());
    }
    const int code = request.isEmpty() ? -1 : static_cast<unsigned char>(request.at(0));

    ScannerReply reply;
    int index;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        reply = replyFor(code);
        index = m_requests.size();
        m_requests.append({code, m_clock.elapsed(), reply.label});
    }
    m_arrived.notify_all();

    const QByteArray bytes = reply.sendLimit >= 0 ? reply.bytes.left(reply.sendLimit) : reply.bytes;
    const int segment = reply.segmentBytes > 0 ? reply.segmentBytes : qMax(1, bytes.size());
    int offset = 0;
    for (; offset < bytes.size() && !m_stopping; offset += segment) {
        socket.write(bytes.constData() + offset, qMin(segment, bytes.size() - offset));
        while (socket.bytesToWrite() > 0 && !m_stopping &&
               socket.state() == QAbstractSocket::ConnectedState)
            socket.waitForBytesWritten(kSliceMs);
        if (reply.segmentDelayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(reply.segmentDelayMs));
    }
    if (reply.wholePicture && reply.sendLimit < 0 && offset >= bytes.size() && !m_stopping &&
        socket.bytesToWrite() == 0)
        ++m_delivered;
    {
        // On the wall clock, which the other programs of a run share.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests[index].sentAt = QDateTime::currentMSecsSinceEpoch();
    }

    if (reply.end == ScannerReply::End::Hold) {
        waited.restart();
        while (!m_stopping && waited.elapsed() < kHoldLimitMs &&
               socket.state() == QAbstractSocket::ConnectedState) {
            if (socket.waitForReadyRead(kSliceMs))
                socket.readAll();
        }
    }
    socket.disconnectFromHost();
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.waitForDisconnected(kSliceMs);
    socket.close();
    --m_open;
}
