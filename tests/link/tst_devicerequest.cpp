#include "link/devicerequest.h"
#include "tests/link/exchangecases.h"
#include "tests/support/procstats.h"
#include "tools/scannersim/scannersimulator.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <thread>

namespace {

const char* const kLoopback = "127.0.0.1";

QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(exchange::patternByte(std::size_t(i)));
    return bytes;
}

QByteArray asBytes(const ByteVector& data)
{
    return QByteArray(reinterpret_cast<const char*>(data.data()), int(data.size()));
}

ScannerReply simulatorReply(const exchange::Reply& r)
{
    const QByteArray payload = pattern(r.size);
    ScannerReply reply = r.code == REPLY_IMAGE
                             ? ScannerReply::imageAnnouncing(r.lengthField(), payload)
                         : r.code == REPLY_IMAGE_EXT
                             ? ScannerReply::imageExtAnnouncing(r.lengthField(), r.extra, payload)
                             : ScannerReply::status(r.code, payload);
    reply.sendLimit = r.limit;
    reply.end = r.hold ? ScannerReply::End::Hold : ScannerReply::End::Close;
    return r.segment > 0 ? reply.inSegments(r.segment) : reply;
}

} // namespace

// Each row of the shared exchange table runs on the POSIX layer in this process
// (posixLayer) and on the Windows layer in a MinGW program under Wine (windowsLayer); the
// peer is prepared here for both.
class TestDeviceRequest final : public QObject
{
    Q_OBJECT

private:
    struct Peer
    {
        QByteArray address;
        int port = 0;
    };

    ScannerSimulator sim;
    int socketsBefore = 0;
    int requestsBefore = 0;
    std::unique_ptr<QTcpServer> deaf;
    std::vector<std::unique_ptr<QTcpSocket>> backlog;
    const QString wine = qEnvironmentVariable("OSTRA_WINE");

    // A listener whose queue is full: the handshake of the next connect never completes.
    bool makeDeafListener()
    {
        deaf = std::make_unique<QTcpServer>();
        if (!deaf->listen(QHostAddress::LocalHost))
            return false;
        deaf->pauseAccepting();
        bool full = false;
        while (!full && backlog.size() < 1000) {
            backlog.push_back(std::make_unique<QTcpSocket>());
            backlog.back()->connectToHost(QHostAddress::LocalHost, deaf->serverPort());
            full = !backlog.back()->waitForConnected(300);
        }
        return full;
    }

    Peer preparePeer(const exchange::Case& c)
    {
        requestsBefore = sim.requests().size();
        switch (c.peer) {
        case exchange::Peer::Simulator:
            sim.setScript({simulatorReply(c.reply)});
            sim.setCommandReply(simulatorReply(c.reply));
            return {kLoopback, sim.port()};
        case exchange::Peer::ClosedPort: {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost))
                return {};
            return {kLoopback, probe.serverPort()};
        }
        case exchange::Peer::DeafListener:
            if (!makeDeafListener())
                return {};
            return {kLoopback, deaf->serverPort()};
        case exchange::Peer::NotAnAddress:
            return {"not an address", kScannerPort};
        case exchange::Peer::AbsentHost:
            return {exchange::kAbsentHost, kScannerPort};
        }
        return {};
    }

    // The simulator saw exactly one request, with the low byte of the request code.
    void verifyRequestSeen(const exchange::Case& c)
    {
        if (c.peer != exchange::Peer::Simulator)
            return;
        QTRY_COMPARE(sim.requests().size(), requestsBefore + 1);
        QCOMPARE(sim.requests().constLast().code, c.request & 0xff);
    }

    void stopWineServer()
    {
        QProcess::execute(qEnvironmentVariable("OSTRA_WINESERVER"), {QStringLiteral("-k")});
        QProcess::execute(qEnvironmentVariable("OSTRA_WINESERVER"), {QStringLiteral("-w")});
    }

private slots:
    void initTestCase()
    {
        QVERIFY(sim.start());
        // Wine's server owns the sockets, so it must be one started in this network.
        if (!wine.isEmpty())
            stopWineServer();
    }
    void cleanupTestCase()
    {
        sim.stop();
        if (!wine.isEmpty())
            stopWineServer();
    }

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
        backlog.clear();
        deaf.reset();
        QTRY_COMPARE(sim.openConnections(), 0);
        QTRY_COMPARE(openSocketCount(), socketsBefore);
    }

    void posixLayer_data()
    {
        QTest::addColumn<int>("row");
        // Only the test network has an address where no host answers (tst_devicerequest_net).
        const bool inTestNet = qEnvironmentVariableIsSet("OSTRA_TEST_NET");
        for (std::size_t i = 0; i < exchange::cases().size(); ++i) {
            if (inTestNet || exchange::cases()[i].peer != exchange::Peer::AbsentHost)
                QTest::newRow(exchange::cases()[i].name) << int(i);
        }
    }
    void posixLayer()
    {
        QFETCH(int, row);
        const exchange::Case& c = exchange::cases().at(std::size_t(row));
        const Peer peer = preparePeer(c);
        QVERIFY(peer.port > 0);
        ByteVector data = exchange::sentinelData();
        float extra = exchange::kSentinelExtra;
        QElapsedTimer clock;
        clock.start();
        const int code = DeviceRequest(peer.address.constData(), peer.port, c.request, data, extra);
        const std::string error = exchange::mismatch(c, code, data, extra, clock.elapsed());
        QVERIFY2(error.empty(), error.c_str());
        verifyRequestSeen(c);
    }

    void windowsLayer_data()
    {
        if (wine.isEmpty())
            QSKIP("Wine or MinGW missing, or not run by CTest's win_exchange");
        posixLayer_data();
    }
    void windowsLayer()
    {
        QFETCH(int, row);
        const exchange::Case& c = exchange::cases().at(std::size_t(row));
        const Peer peer = preparePeer(c);
        QVERIFY(peer.port > 0);
        QProcess windows;
        windows.setProcessChannelMode(QProcess::MergedChannels);
        windows.start(wine, {qEnvironmentVariable("OSTRA_WINCHECK"), QStringLiteral("exchange"),
                             QString::number(row), QString::fromLatin1(peer.address),
                             QString::number(peer.port)});
        // Only a guard against a hang: the program checks the case's own bound.
        QVERIFY(windows.waitForFinished(int(exchange::kBoundMs) + 30000));
        const QByteArray output = windows.readAll();
        qInfo("%s", output.trimmed().constData());
        QVERIFY2(windows.exitStatus() == QProcess::NormalExit && windows.exitCode() == 0,
                 output.constData());
        verifyRequestSeen(c);
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
