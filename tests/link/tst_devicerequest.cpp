#include "tests/link/exchangecases.h"
#include "tests/support/procstats.h"
#include "tools/scannersim/scannersimulator.h"

#include <QNetworkInterface>
#include <QProcess>
#include <QTcpServer>
#include <QtTest>

class TestDeviceRequest final : public QObject
{
    Q_OBJECT

private:
    ScannerSimulator sim;
    const QString wine = qEnvironmentVariable("OSTRA_WINE");

    static ScannerReply simulatorReply(const exchange::Reply& r)
    {
        const ByteVector bytes = exchange::pattern(std::size_t(r.size));
        const QByteArray payload(reinterpret_cast<const char*>(bytes.data()), r.size);
        ScannerReply reply =
            r.code == REPLY_IMAGE ? ScannerReply::imageAnnouncing(r.field(), payload)
            : r.code == REPLY_IMAGE_EXT
                ? ScannerReply::imageExtAnnouncing(r.field(), exchange::kExtra, payload)
                : ScannerReply::status(r.code, payload);
        reply.sendLimit = r.limit;
        reply.end = r.hold ? ScannerReply::End::Hold : ScannerReply::End::Close;
        return r.segment > 0 ? reply.inSegments(r.segment) : reply;
    }

    // The address and port of the row's peer.
    QPair<QByteArray, int> preparePeer(const exchange::Case& c)
    {
        sim.setScript({simulatorReply(c.reply)});
        sim.setCommandReply(simulatorReply(c.reply));
        const QByteArray peer = c.peer;
        if (peer.isNull())
            return {"127.0.0.1", sim.port()};
        if (peer == "closed port") {
            QTcpServer probe;
            return {"127.0.0.1", probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0};
        }
        return {peer, kScannerPort};
    }

    bool runWindows(const QStringList& arguments)
    {
        QProcess windows;
        windows.setProcessChannelMode(QProcess::MergedChannels);
        windows.start(wine, QStringList{qEnvironmentVariable("OSTRA_WINCHECK")} + arguments);
        const bool finished = windows.waitForFinished(int(exchange::kBoundMs) + 30000); // hangs
        qInfo("%s", windows.readAll().trimmed().constData());
        return finished && windows.exitStatus() == QProcess::NormalExit && windows.exitCode() == 0;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(sim.start());
        // The first start of Wine fills its prefix. Its server owns the sockets and the adapter
        // walk, so it must be one started in this network. In the test network a scanner that went
        // away after its address was learnt takes every handshake in silence: unbounded, a connect
        // waits two minutes.
        QProcess::execute(QStringLiteral("sh"),
                          {QStringLiteral("-c"), QStringLiteral(R"(
            [ -z "$OSTRA_TEST_NET" ] || ip neigh replace %1 lladdr 2:0:0:0:0:46 dev veth-pc nud permanent
            [ -z "$OSTRA_WINE" ] || [ -f "$WINEPREFIX/system.reg" ] || "$OSTRA_WINE" wineboot --init
            [ -z "$OSTRA_WINE" ] || { "$OSTRA_WINESERVER" -k; "$OSTRA_WINESERVER" -w; "$OSTRA_WINESERVER" -p; })")
                                                     .arg(exchange::kAbsentHost)});
    }
    // The server stays for the whole run: one that exits between two programs can drop the
    // next one's connection.
    void cleanupTestCase()
    {
        if (!wine.isEmpty())
            QProcess::execute(qEnvironmentVariable("OSTRA_WINESERVER"), {QStringLiteral("-k")});
    }

    // Each row of the shared table on the POSIX layer in this process, or, with OSTRA_WINE
    // set (CTest's win_exchange), on the Windows layer in a MinGW program under Wine.
    void exchanges_data()
    {
        if (qEnvironmentVariableIsSet("OSTRA_WINE") && wine.isEmpty())
            QSKIP("Wine or MinGW missing");
        QTest::addColumn<int>("row");
        const bool inTestNet = qEnvironmentVariableIsSet("OSTRA_TEST_NET");
        for (std::size_t i = 0; i < exchange::cases().size(); ++i) {
            if (inTestNet || exchange::cases()[i].peer != exchange::kAbsentHost)
                QTest::newRow(exchange::cases()[i].name) << int(i);
        }
    }
    void exchanges()
    {
        QFETCH(int, row);
        const exchange::Case& c = exchange::cases().at(std::size_t(row));
        QTRY_COMPARE(sim.openConnections(), 0); // its sockets are this process's too
        const int sockets = openSocketCount();
        const auto peer = preparePeer(c);
        const int requests = sim.requests().size();
        if (!wine.isEmpty()) {
            QVERIFY(runWindows({QStringLiteral("exchange"), QString::number(row), peer.first,
                                QString::number(peer.second)}));
        } else {
            const std::string error = exchange::run(c, peer.first.constData(), peer.second);
            QVERIFY2(error.empty(), error.c_str());
        }
        // The scanner saw exactly one request, with the low byte of the request code.
        if (!c.peer) {
            QTRY_COMPARE(sim.requests().size(), requests + 1);
            QCOMPARE(sim.requests().constLast().code, c.request & 0xff);
        }
        // Every exchange closes its socket, whatever its outcome.
        QTRY_COMPARE(sim.openConnections(), 0);
        QTRY_COMPARE(openSocketCount(), sockets);
    }

    // The Windows adapter table lists the veth's PC side: its hardware address and the gateway.
    void windowsAdapterTable()
    {
        if (wine.isEmpty() || !qEnvironmentVariableIsSet("OSTRA_TEST_NET"))
            QSKIP("Wine or MinGW missing, or not in the test network (win_exchange_net)");
        const auto veth = QNetworkInterface::interfaceFromName(QStringLiteral("veth-pc"));
        QVERIFY(runWindows({QStringLiteral("adapters"), veth.hardwareAddress().toLower()}));
    }
};

QTEST_GUILESS_MAIN(TestDeviceRequest)
#include "tst_devicerequest.moc"
