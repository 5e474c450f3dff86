#include "common/settings.h"
#include "discovery/udpsocket.h"
#include "tests/support/procstats.h"

#include <QFile>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <algorithm>
#include <mutex>
#include <utility>

namespace {

// The bridge logs from its own thread too.
std::mutex logLock;
QStringList logged;
QtMessageHandler passOn = nullptr;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtInfoMsg || type == QtDebugMsg) {
        const std::lock_guard<std::mutex> locker(logLock);
        logged.append(message);
    }
    passOn(type, context, message);
}

QStringList takeLog()
{
    const std::lock_guard<std::mutex> locker(logLock);
    return std::exchange(logged, QStringList());
}

QString record(const char* message, const char* value = "")
{
    return QStringLiteral("\"UDPSocket\" \"%1\" QVariant(QString, \"%2\") \n")
        .arg(QLatin1String(message), QLatin1String(value));
}

bool anyContains(const QStringList& lines, const QString& text)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const QString& line) { return line.contains(text); });
}

} // namespace

class TestUdpSocket final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QUdpSocket listener;

    // Qt caches settings files by path and may miss a rewrite of the same size within one
    // clock tick, so every configuration gets a file of its own.
    void useFreshConfig()
    {
        static int serial = 0;
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig%1.ini").arg(++serial)));
    }

    void configurePort(const QByteArray& value)
    {
        useFreshConfig();
        QFile file(configFilePath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[UDP]\nPort=" + value + "\n");
    }

    void configureListener() { configurePort(QByteArray::number(listener.localPort())); }

    // The next datagram at the listener; an empty datagram when none came within the bound.
    QNetworkDatagram nextDatagram()
    {
        if (!listener.hasPendingDatagrams() && !listener.waitForReadyRead(10000))
            return QNetworkDatagram();
        return listener.receiveDatagram();
    }

    // Sends "1000" from a fresh, working bridge: whatever the listener received before it
    // came from the bridge under test.
    void sendMarker()
    {
        UDPSocket marker;
        marker.start();
        marker.wait();
        marker.UDPSendDataClose();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0));
        passOn = qInstallMessageHandler(capture);
    }

    void cleanupTestCase()
    {
        qInstallMessageHandler(passOn);
        // Emptied under the lock, so the list's destruction at exit races with no thread.
        takeLog();
    }

    void init()
    {
        useFreshConfig();
        while (listener.hasPendingDatagrams())
            listener.receiveDatagram();
        takeLog();
    }

    void eachNotificationIsOneDatagramOfFourBytes()
    {
        configureListener();
        UDPSocket bridge;
        bridge.start();
        bridge.wait();
        QCOMPARE(bridge.destinationPort(), int(listener.localPort()));

        bridge.UDPSendDataScan();
        bridge.UDPSendDataScan();
        bridge.UDPSendDataClose();
        for (const QByteArray expected : {"1001", "1001", "1000"}) {
            const QNetworkDatagram datagram = nextDatagram();
            QCOMPARE(datagram.data(), expected);
            QCOMPARE(datagram.data().size(), 4);
            QCOMPARE(datagram.senderAddress(), QHostAddress(QHostAddress::LocalHost));
        }

        const QStringList expectedLog = {
            record("InitUDP Start ->", QByteArray::number(listener.localPort()).constData()),
            record("InitUDP End ->"),
            record("UDPSendDataScan Start "),
            record("UDPSendDataScan End "),
            record("UDPSendDataScan Start "),
            record("UDPSendDataScan End "),
            record("UDPSendDataClose Start "),
            record("UDPSendDataClose End "),
        };
        QCOMPARE(takeLog(), expectedLog);
    }

    void aSendRightAfterStartWaitsForTheSocket()
    {
        configureListener();
        UDPSocket bridge;
        bridge.start();
        bridge.UDPSendDataScan();
        QCOMPARE(nextDatagram().data(), QByteArray("1001"));
    }

    void unusablePortsSendNothing_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("port");
        QTest::newRow("absent") << QByteArray() << 0;
        QTest::newRow("not a number") << QByteArray("udp") << 0;
        QTest::newRow("out of range") << QByteArray("70000") << 70000;
        QTest::newRow("negative") << QByteArray("-5") << -5;
    }

    void unusablePortsSendNothing()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, port);
        if (!value.isEmpty())
            configurePort(value);
        UDPSocket bridge;
        bridge.start();
        bridge.wait();
        QCOMPARE(bridge.destinationPort(), port);
        bridge.UDPSendDataScan();
        bridge.UDPSendDataClose();

        const QStringList log = takeLog();
        QCOMPARE(log.first(), record("InitUDP Start ->", QByteArray::number(port).constData()));
        QVERIFY2(anyContains(log, QStringLiteral("holds no usable port")),
                 qPrintable(log.join('|')));
        QCOMPARE(log.last(), record("UDPSendDataClose End "));

        configureListener();
        sendMarker();
        QCOMPARE(nextDatagram().data(), QByteArray("1000"));
    }

    void nothingListeningIsNoFailure()
    {
        QUdpSocket gone;
        QVERIFY(gone.bind(QHostAddress(QHostAddress::LocalHost), 0));
        configurePort(QByteArray::number(gone.localPort()));
        gone.close();

        UDPSocket bridge;
        bridge.start();
        bridge.wait();
        for (int i = 0; i < 3; ++i)
            bridge.UDPSendDataScan();
        bridge.UDPSendDataClose();
        const QStringList log = takeLog();
        QCOMPARE(log.size(), 2 + 4 * 2);
        QVERIFY(!anyContains(log, QStringLiteral("not sent")));
        QVERIFY(!anyContains(log, QStringLiteral("could not be sent")));
    }

    void sendsBeforeRunAndAfterCloseDoNothing()
    {
        configureListener();
        UDPSocket bridge;
        bridge.UDPSendDataScan();
        QVERIFY(anyContains(takeLog(), QStringLiteral("found no open socket")));

        bridge.start();
        bridge.wait();
        bridge.UDPSendDataClose();
        // Had the early send gone out, "1001" would come first.
        QCOMPARE(nextDatagram().data(), QByteArray("1000"));

        bridge.closeSocket();
        takeLog();
        bridge.UDPSendDataScan();
        const QStringList log = takeLog();
        QCOMPARE(log.size(), 3);
        QVERIFY(log.at(1).contains(QStringLiteral("found no open socket")));
        sendMarker();
        QCOMPARE(nextDatagram().data(), QByteArray("1000"));
    }

    void theSocketIsReleased()
    {
        const int before = openSocketCount();
        if (before < 0)
            QSKIP("no /proc to count sockets");
        configureListener();
        {
            UDPSocket bridge;
            bridge.start();
            bridge.wait();
            QCOMPARE(openSocketCount(), before + 1);
            bridge.closeSocket();
            QCOMPARE(openSocketCount(), before);
        }
        {
            UDPSocket bridge;
            bridge.start();
            bridge.wait();
            QCOMPARE(openSocketCount(), before + 1);
        }
        QCOMPARE(openSocketCount(), before);

        // Closed before its thread ran: nothing is opened afterwards.
        UDPSocket bridge;
        bridge.closeSocket();
        bridge.start();
        bridge.wait();
        QCOMPARE(openSocketCount(), before);
    }
};

QTEST_GUILESS_MAIN(TestUdpSocket)
#include "tst_udpsocket.moc"
