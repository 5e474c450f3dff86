#include "common/settings.h"
#include "discovery/udpsocket.h"

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

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0));
    }

    // Each notification is one four-byte datagram to 127.0.0.1 at the configured port; a
    // send that goes nowhere neither fails nor blocks, so a working bridge's "1000" sent
    // afterwards is the first datagram to arrive.
    void notifications_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("when");
        QTest::addColumn<QByteArray>("first");
        const QByteArray own = QByteArray::number(listener.localPort());
        QTest::newRow("A scan is 1001 at the configured port") << own << "" << QByteArray("1001");
        QTest::newRow("A send right after the start waits for the socket")
            << own << "at start" << QByteArray("1001");
        QTest::newRow("No port configured") << QByteArray() << "" << QByteArray("1000");
        QTest::newRow("A port that is no number") << QByteArray("udp") << "" << QByteArray("1000");
        QTest::newRow("A port out of range") << QByteArray("70000") << "" << QByteArray("1000");
        QTest::newRow("A negative port") << QByteArray("-5") << "" << QByteArray("1000");
        QTest::newRow("A send before the thread ran") << own << "before" << QByteArray("1000");
        QTest::newRow("A send after the socket was closed") << own << "after" << QByteArray("1000");
    }
    void notifications()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, when);
        QFETCH(QByteArray, first);
        configurePort(value);
        {
            UDPSocket bridge;
            if (when == QLatin1String("before"))
                bridge.UDPSendDataScan();
            bridge.start();
            if (when != QLatin1String("at start"))
                bridge.wait();
            if (when == QLatin1String("after"))
                bridge.closeSocket();
            if (when != QLatin1String("before"))
                bridge.UDPSendDataScan();
            bridge.wait();
            QCOMPARE(bridge.destinationPort(), value.toInt());
        }
        configurePort(QByteArray::number(listener.localPort()));
        UDPSocket marker;
        marker.start();
        marker.wait();
        marker.UDPSendDataClose();
        const auto next = [this] {
            const bool came = listener.hasPendingDatagrams() || listener.waitForReadyRead(10000);
            return came ? listener.receiveDatagram().data() : QByteArray("nothing");
        };
        QCOMPARE(next(), first);
        if (first != "1000")
            QCOMPARE(next(), QByteArray("1000"));
    }
};

QTEST_GUILESS_MAIN(TestUdpSocket)
#include "tst_udpsocket.moc"
