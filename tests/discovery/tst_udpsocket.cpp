#include "common/settings.h"
#include "discovery/udpsocket.h"
#include "tests/support/procstats.h"

#include <QFile>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

class TestUdpSocket final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QUdpSocket listener;

    // Qt caches settings files by path and may miss a rewrite of the same size within one
    // clock tick, so every configuration gets a file of its own.
    void configurePort(const QByteArray& value)
    {
        static int serial = 0;
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig%1.ini").arg(++serial)));
        QFile file(configFilePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (!value.isNull())
            file.write("[UDP]\nPort=" + value + "\n");
    }
    void configureListener() { configurePort(QByteArray::number(listener.localPort())); }

    // The next datagram at the listener; an empty one when none came within the bound.
    QNetworkDatagram nextDatagram()
    {
        if (!listener.hasPendingDatagrams() && !listener.waitForReadyRead(10000))
            return QNetworkDatagram();
        return listener.receiveDatagram();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0));
    }
    void init()
    {
        while (listener.hasPendingDatagrams())
            listener.receiveDatagram();
    }

    void eachNotificationIsOneDatagramOfFourBytes()
    {
        configureListener();
        UDPSocket bridge;
        bridge.start();
        // A send right after the start waits for the socket.
        bridge.UDPSendDataScan();
        bridge.wait();
        QCOMPARE(bridge.destinationPort(), int(listener.localPort()));
        bridge.UDPSendDataScan();
        bridge.UDPSendDataClose();
        for (const QByteArray expected : {"1001", "1001", "1000"}) {
            const QNetworkDatagram datagram = nextDatagram();
            QCOMPARE(datagram.data(), expected);
            QCOMPARE(datagram.senderAddress(), QHostAddress(QHostAddress::LocalHost));
        }
    }

    // The sends that go nowhere: a working bridge's "1000" afterwards is the first datagram.
    void sendsThatGoNowhere_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("when");
        QTest::newRow("No port configured") << QByteArray() << 0 << QString();
        QTest::newRow("A port that is no number reads as 0") << QByteArray("udp") << 0 << QString();
        QTest::newRow("A port out of range") << QByteArray("70000") << 70000 << QString();
        QTest::newRow("A negative port") << QByteArray("-5") << -5 << QString();
        const int own = listener.localPort();
        QTest::newRow("A send before the thread ran") << QByteArray("listener") << own << "before";
        QTest::newRow("A send after the socket was closed")
            << QByteArray("listener") << own << "after";
    }
    void sendsThatGoNowhere()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, port);
        QFETCH(QString, when);
        if (value == "listener")
            configureListener();
        else
            configurePort(value);
        UDPSocket bridge;
        if (when == QLatin1String("before"))
            bridge.UDPSendDataScan();
        bridge.start();
        bridge.wait();
        QCOMPARE(bridge.destinationPort(), port);
        if (when == QLatin1String("after"))
            bridge.closeSocket();
        if (when != QLatin1String("before"))
            bridge.UDPSendDataScan();
        configureListener();
        UDPSocket marker;
        marker.start();
        marker.wait();
        marker.UDPSendDataClose();
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
