#include "link/devicerequest.h"
#include "tests/link/exchangecases.h"
#include "tests/support/procstats.h"
#include "tools/scannersim/scannersimulator.h"

#include <QElapsedTimer>
#include <QNetworkInterface>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

// Each row of the shared exchange table runs on the POSIX layer in this process
// (posixLayer) and on the Windows layer in a MinGW program under Wine (windowsLayer); the
// peer is prepared here for both.
class TestDeviceRequest final : public QObject
{
    Q_OBJECT

private:
    ScannerSimulator sim;
    int socketsBefore = 0;
    int requestsBefore = 0;
    QTcpServer deaf;
    std::vector<std::unique_ptr<QTcpSocket>> backlog;
    const QString wine = qEnvironmentVariable("OSTRA_WINE");

    static ScannerReply simulatorReply(const exchange::Reply& r)
    {
        QByteArray payload(r.size, '\0');
        for (int i = 0; i < r.size; ++i)
            payload[i] = char(exchange::patternByte(std::size_t(i)));
        ScannerReply reply =
            r.code == REPLY_IMAGE ? ScannerReply::imageAnnouncing(r.lengthField(), payload)
            : r.code == REPLY_IMAGE_EXT
                ? ScannerReply::imageExtAnnouncing(r.lengthField(), r.extra, payload)
                : ScannerReply::status(r.code, payload);
        reply.sendLimit = r.limit;
        reply.end = r.hold ? ScannerReply::End::Hold : ScannerReply::End::Close;
        return r.segment > 0 ? reply.inSegments(r.segment) : reply;
    }

    // The address and port of the row's peer; port 0 when it could not be made.
    QPair<QByteArray, int> preparePeer(const exchange::Case& c)
    {
        requestsBefore = sim.requests().size();
        sim.setScript({simulatorReply(c.reply)});
        sim.setCommandReply(simulatorReply(c.reply));
        switch (c.peer) {
        case exchange::Peer::ClosedPort: {
            QTcpServer probe;
            return {"127.0.0.1", probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0};
        }
        case exchange::Peer::DeafListener: // its queue fills, then a handshake never completes
            if (!deaf.listen(QHostAddress::LocalHost))
                return {};
            deaf.pauseAccepting();
            for (bool full = false; !full && backlog.size() < 1000;) {
                backlog.push_back(std::make_unique<QTcpSocket>());
                backlog.back()->connectToHost(QHostAddress::LocalHost, deaf.serverPort());
                full = !backlog.back()->waitForConnected(300);
            }
            return {"127.0.0.1", backlog.size() < 1000 ? deaf.serverPort() : 0};
        case exchange::Peer::NotAnAddress:
            return {"not an address", kScannerPort};
        case exchange::Peer::AbsentHost:
            return {exchange::kAbsentHost, kScannerPort};
        default:
            return {"127.0.0.1", sim.port()};
        }
    }

    // The simulator saw exactly one request, with the low byte of the request code.
    void verifyRequestSeen(const exchange::Case& c)
    {
        if (c.peer != exchange::Peer::Simulator)
            return;
        QTRY_COMPARE(sim.requests().size(), requestsBefore + 1);
        QCOMPARE(sim.requests().constLast().code, c.request & 0xff);
    }

    // Wine's server owns the sockets and the adapter walk, so it must be one started in this
    // network, not one left running outside it.
    void stopWineServer()
    {
        if (wine.isEmpty())
            return;
        QProcess::execute(qEnvironmentVariable("OSTRA_WINESERVER"), {QStringLiteral("-k")});
        QProcess::execute(qEnvironmentVariable("OSTRA_WINESERVER"), {QStringLiteral("-w")});
    }

    QByteArray runWindows(const QStringList& arguments)
    {
        QProcess windows;
        windows.setProcessChannelMode(QProcess::MergedChannels);
        windows.start(wine, QStringList{qEnvironmentVariable("OSTRA_WINCHECK")} + arguments);
        // Only a guard against a hang: the program checks the case's own bound.
        if (!windows.waitForFinished(int(exchange::kBoundMs) + 30000))
            return "hung";
        const QByteArray output = windows.readAll().replace('\r', "");
        qInfo("%s", output.trimmed().constData());
        const bool ok = windows.exitStatus() == QProcess::NormalExit && windows.exitCode() == 0;
        return ok ? output : "FAILED: " + output;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(sim.start());
        stopWineServer();
    }
    void cleanupTestCase() { stopWineServer(); }

    // The simulator shares this process, so its side of each connection must be gone
    // before sockets are counted: every exchange closes its socket, whatever its outcome.
    void init()
    {
        QTRY_COMPARE(sim.openConnections(), 0);
        socketsBefore = openSocketCount();
    }
    void cleanup()
    {
        backlog.clear();
        deaf.close();
        QTRY_COMPARE(sim.openConnections(), 0);
        QTRY_COMPARE(openSocketCount(), socketsBefore);
    }

    void posixLayer_data()
    {
        QTest::addColumn<int>("row");
        // Only the test network has an address where no host answers.
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
        const auto peer = preparePeer(c);
        QVERIFY(peer.second > 0);
        ByteVector data = exchange::kSentinelData;
        float extra = exchange::kSentinelExtra;
        QElapsedTimer clock;
        clock.start();
        const int code = DeviceRequest(peer.first.constData(), peer.second, c.request, data, extra);
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
        const auto peer = preparePeer(c);
        QVERIFY(peer.second > 0);
        const QByteArray output = runWindows({QStringLiteral("exchange"), QString::number(row),
                                              peer.first, QString::number(peer.second)});
        QVERIFY2(!output.startsWith("FAILED") && output != "hung", output.constData());
        verifyRequestSeen(c);
    }

    // The Windows adapter table lists the PC side of the veth pair with its hardware address
    // and the hosted network's gateway.
    void windowsAdapterTable()
    {
        if (wine.isEmpty() || !qEnvironmentVariableIsSet("OSTRA_TEST_NET"))
            QSKIP("Wine or MinGW missing, or not in the test network (win_exchange_net)");
        const QString hw = QNetworkInterface::interfaceFromName(QStringLiteral("veth-pc"))
                               .hardwareAddress()
                               .toLower();
        QCOMPARE(hw.size(), 17);
        const QString table = QString::fromLatin1(runWindows({QStringLiteral("adapters")}));
        const QRegularExpression line(
            QStringLiteral(" hw %1 ip( [0-9.]+)* 192\\.168\\.137\\.1( |$)")
                .arg(QRegularExpression::escape(hw)),
            QRegularExpression::MultilineOption);
        QVERIFY2(!table.startsWith(QLatin1String("FAILED")) && table.contains(line),
                 qPrintable(table));
    }
};

QTEST_GUILESS_MAIN(TestDeviceRequest)
#include "tst_devicerequest.moc"
