#include "link/devicerequest.h"
#include "tests/support/procstats.h"
#include "tools/scannersim/scannersimulator.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <thread>

Q_DECLARE_METATYPE(ScannerReply)

namespace {

const char* const kLoopback = "127.0.0.1";

QByteArray pattern(int size, int seed = 3)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 31 + seed * 7 + i / 251) & 0xff);
    return bytes;
}

QByteArray asBytes(const ByteVector& data)
{
    return QByteArray(reinterpret_cast<const char*>(data.data()), int(data.size()));
}

} // namespace

class TestDeviceRequest final : public QObject
{
    Q_OBJECT

private:
    ScannerSimulator sim;
    int socketsBefore = 0;
    ByteVector data;
    float extra = 0.0f;

    // One poll against the simulator with data and extra preset to sentinels.
    int poll(const ScannerReply& reply, int requestCode = REQUEST_POLL)
    {
        sim.setScript({reply});
        sim.setCommandReply(reply);
        data = ByteVector{0xde, 0xad};
        extra = -7.5f;
        return DeviceRequest(kLoopback, sim.port(), requestCode, data, extra);
    }

    bool untouched() const { return data == ByteVector{0xde, 0xad} && extra == -7.5f; }

private slots:
    void initTestCase() { QVERIFY(sim.start()); }
    void cleanupTestCase() { sim.stop(); }

    // The simulator shares this process, so its side of each connection must be gone
    // before sockets are counted.
    void init()
    {
        QTRY_COMPARE(sim.openConnections(), 0);
        socketsBefore = openSocketCount();
    }

    // Every exchange closes its socket, whatever its outcome.
    void cleanup()
    {
        QTRY_COMPARE(sim.openConnections(), 0);
        QCOMPARE(openSocketCount(), socketsBefore);
    }

    void statusReplyLeavesOutputsAlone_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("trailing");
        QTest::newRow("lit, code alone") << REPLY_STATE_LIT << QByteArray();
        QTest::newRow("dim with trailing bytes") << REPLY_STATE_DIM << pattern(300);
        QTest::newRow("animated") << REPLY_STATE_ANIMATED << QByteArray("xyz");
        QTest::newRow("unknown code") << 77 << QByteArray();
        QTest::newRow("zero") << 0 << QByteArray();
        QTest::newRow("negative") << -5 << QByteArray("\x01\x02", 2);
    }
    void statusReplyLeavesOutputsAlone()
    {
        QFETCH(int, code);
        QFETCH(QByteArray, trailing);
        QCOMPARE(poll(ScannerReply::status(code, trailing)), code);
        QVERIFY(untouched());
    }

    void imageReplies_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("segment");
        QTest::newRow("whole payload in the first read") << 5000 << 0;
        QTest::newRow("empty payload") << 0 << 0;
        QTest::newRow("exactly one read past the header") << int(kReadSize) - 8 << 0;
        QTest::newRow("several reads") << 3 * 1024 * 1024 + 17 << 0;
        QTest::newRow("tiny segments") << 4000 << 7;
        QTest::newRow("header split byte by byte") << 300 << 1;
    }
    void imageReplies()
    {
        QFETCH(int, size);
        QFETCH(int, segment);
        const QByteArray payload = pattern(size);
        ScannerReply reply = ScannerReply::image(payload);
        if (segment > 0)
            reply = reply.inSegments(segment);
        QCOMPARE(poll(reply), REPLY_IMAGE);
        QCOMPARE(asBytes(data), payload);
        QCOMPARE(extra, -7.5f);
    }

    void extendedImageReplies_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("segment");
        QTest::newRow("length field 100: no payload") << 0 << 0;
        QTest::newRow("small payload") << 2048 << 0;
        QTest::newRow("large payload") << 1024 * 1024 + 3 << 0;
        QTest::newRow("108-byte header in 5-byte segments") << 600 << 5;
    }
    void extendedImageReplies()
    {
        QFETCH(int, size);
        QFETCH(int, segment);
        const QByteArray payload = pattern(size, 11);
        ScannerReply reply = ScannerReply::imageExt(payload, 0.375f);
        if (segment > 0)
            reply = reply.inSegments(segment);
        QCOMPARE(poll(reply), REPLY_IMAGE_EXT);
        QCOMPARE(asBytes(data), payload);
        QCOMPARE(extra, 0.375f);
    }

    void overrunIsRefused()
    {
        // In the first read: the surplus rides in the same segment as the header.
        QCOMPARE(poll(ScannerReply::overrun(pattern(1000), 5)), DEVICE_RECV_IMAGE_ERROR);
        // In a later read: the surplus comes with the tail of a multi-read payload; what
        // arrived before it is kept.
        const QByteArray payload = pattern(int(kReadSize) * 3 + 100);
        QCOMPARE(poll(ScannerReply::overrun(payload, 64)), DEVICE_RECV_IMAGE_ERROR);
        QCOMPARE(data.size(), size_t(payload.size()));
        QVERIFY(asBytes(data).startsWith(payload.left(int(kReadSize))));
    }

    void impossibleLengthsAreRefusedWithoutAllocating_data()
    {
        QTest::addColumn<ScannerReply>("reply");
        QTest::newRow("negative length") << ScannerReply::imageAnnouncing(-5, pattern(40));
        QTest::newRow("most negative length") << ScannerReply::imageAnnouncing(INT32_MIN);
        QTest::newRow("2 GiB announced") << ScannerReply::imageAnnouncing(INT32_MAX, pattern(64));
        QTest::newRow("just above the cap")
            << ScannerReply::imageAnnouncing(qint32(kMaxPayloadBytes + 1), pattern(64));
        QTest::newRow("extended length below 100") << ScannerReply::imageExtAnnouncing(99, 2.5f);
        QTest::newRow("extended length negative") << ScannerReply::imageExtAnnouncing(-1, 2.5f);
        QTest::newRow("extended length huge") << ScannerReply::imageExtAnnouncing(INT32_MAX, 2.5f);
    }
    void impossibleLengthsAreRefusedWithoutAllocating()
    {
        QFETCH(ScannerReply, reply);
        QCOMPARE(poll(reply), DEVICE_RECV_IMAGE_ERROR);
        QCOMPARE(data, (ByteVector{0xde, 0xad}));
        QCOMPARE(data.capacity(), size_t(2));
    }

    void lengthAtTheCapIsServed()
    {
        const QByteArray payload = pattern(int(kMaxPayloadBytes));
        QCOMPARE(poll(ScannerReply::image(payload)), REPLY_IMAGE);
        QCOMPARE(data.size(), kMaxPayloadBytes);
        QVERIFY(asBytes(data) == payload);
        ByteVector().swap(data);
    }

    void cutShortBeforeTheCode()
    {
        QCOMPARE(poll(ScannerReply::closeAtOnce()), DEVICE_RECV_ERROR);
        QVERIFY(untouched());
        QCOMPARE(poll(ScannerReply::shortHeader(REPLY_STATE_LIT, 3)), DEVICE_RECV_ERROR);
        QVERIFY(untouched());
        QCOMPARE(poll(ScannerReply::shortHeader(REPLY_IMAGE, 2)), DEVICE_RECV_ERROR);
        QVERIFY(untouched());
    }

    void cutShortInTheImageHeader()
    {
        QCOMPARE(poll(ScannerReply::shortHeader(REPLY_IMAGE, 6)), DEVICE_RECV_IMAGE_ERROR);
        QVERIFY(untouched());
        // The float lies inside the unfinished header, so it is not taken either.
        QCOMPARE(poll(ScannerReply::shortHeader(REPLY_IMAGE_EXT, 50)), DEVICE_RECV_IMAGE_ERROR);
        QVERIFY(untouched());
    }

    void closedMidPayloadKeepsWhatArrived()
    {
        const QByteArray payload = pattern(50000, 5);
        ScannerReply reply = ScannerReply::imageExt(payload, 4.25f);
        reply.sendLimit = kImageExtHeaderSize + 20000;
        QCOMPARE(poll(reply), DEVICE_RECV_IMAGE_ERROR);
        QCOMPARE(extra, 4.25f);
        QCOMPARE(data.size(), size_t(payload.size()));
        QCOMPARE(asBytes(data).left(20000), payload.left(20000));
    }

    void silentPeersTimeOut()
    {
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(poll(ScannerReply::neverAnswer()), DEVICE_RECV_ERROR);
        QVERIFY2(clock.elapsed() >= kReceiveTimeoutMs - 100,
                 qPrintable(QString::number(clock.elapsed())));
        QVERIFY(untouched());

        clock.restart();
        QCOMPARE(poll(ScannerReply::shortHeader(REPLY_IMAGE, 5, ScannerReply::End::Hold)),
                 DEVICE_RECV_IMAGE_ERROR);
        QVERIFY(clock.elapsed() >= kReceiveTimeoutMs - 100);

        const QByteArray payload = pattern(400000, 9);
        QCOMPARE(poll(ScannerReply::stallMidPayload(payload)), DEVICE_RECV_IMAGE_ERROR);
        QCOMPARE(asBytes(data).left(payload.size() / 2), payload.left(payload.size() / 2));
    }

    void noListenerIsAConnectError()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 freePort = probe.serverPort();
        probe.close();
        data = ByteVector{0xde, 0xad};
        extra = -7.5f;
        QCOMPARE(DeviceRequest(kLoopback, freePort, REQUEST_POLL, data, extra),
                 DEVICE_CONNECT_ERROR);
        QVERIFY(untouched());
        QCOMPARE(DeviceRequest("not an address", kScannerPort, REQUEST_POLL, data, extra),
                 DEVICE_CONNECT_ERROR);
    }

    // A scanner that never completes the handshake: without a bound the kernel retries
    // for about two minutes, on the GUI thread when the command request is made.
    void connectIsBounded()
    {
        QTcpServer deaf;
        QVERIFY(deaf.listen(QHostAddress::LocalHost));
        deaf.pauseAccepting();
        std::vector<std::unique_ptr<QTcpSocket>> backlog;
        bool full = false;
        while (!full && backlog.size() < 1000) {
            backlog.push_back(std::make_unique<QTcpSocket>());
            backlog.back()->connectToHost(QHostAddress::LocalHost, deaf.serverPort());
            full = !backlog.back()->waitForConnected(300);
        }
        QVERIFY2(full, "the listen queue never filled");

        const int before = openSocketCount();
        QElapsedTimer clock;
        clock.start();
        data = ByteVector{0xde, 0xad};
        extra = -7.5f;
        QCOMPARE(DeviceRequest(kLoopback, deaf.serverPort(), REQUEST_COMMAND, data, extra),
                 DEVICE_CONNECT_ERROR);
        QVERIFY2(clock.elapsed() >= kConnectTimeoutMs - 100 &&
                     clock.elapsed() < kConnectTimeoutMs + 3000,
                 qPrintable(QString::number(clock.elapsed())));
        QVERIFY(untouched());
        QCOMPARE(openSocketCount(), before);
        backlog.clear();
        deaf.close();
        socketsBefore = openSocketCount();
    }

    void requestCarriesTheLowEightBits()
    {
        const int before = sim.requests().size();
        poll(ScannerReply::status(REPLY_STATE_DIM), 0x102);
        poll(ScannerReply::status(REPLY_STATE_DIM), REQUEST_POLL);
        const auto requests = sim.requests();
        QCOMPARE(requests.size(), before + 2);
        QCOMPARE(requests.at(before).code, REQUEST_COMMAND);
        QCOMPARE(requests.at(before + 1).code, REQUEST_POLL);
    }

    // The command request runs beside a link's poll to the same scanner, each on its own
    // connection.
    void concurrentExchanges()
    {
        const QByteArray payload = pattern(2 * 1024 * 1024);
        sim.setDefaultReply(ScannerReply::image(payload));
        sim.setScript({});
        QVector<int> results(4, 0);
        QVector<ByteVector> outputs(4);
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back([&, i] {
                float unused = 0;
                results[i] = DeviceRequest(kLoopback, sim.port(), REQUEST_POLL, outputs[i], unused);
            });
        }
        for (auto& t : threads)
            t.join();
        sim.setDefaultReply(ScannerReply::status(REPLY_STATE_LIT));
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(results.at(i), REPLY_IMAGE);
            QVERIFY(asBytes(outputs.at(i)) == payload);
        }
    }
};

QTEST_GUILESS_MAIN(TestDeviceRequest)
#include "tst_devicerequest.moc"
