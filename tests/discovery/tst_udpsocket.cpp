#include "common/settings.h"
#include "discovery/udpsocket.h"

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

    // Qt may miss a same-size rewrite of a file within a clock tick: a file per configuration.
    void configurePort(const QByteArray& value)
    {
        static int serial = 0;
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig%1.ini").arg(++serial)));
        if (!value.isNull())
            writeSetting(QStringLiteral("UDP/Port"), QString::fromLatin1(value));
    }

private slots:
    void initTestCase() { QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0)); }

    // Each notification is one four-byte datagram to 127.0.0.1 at the configured port, "1001"
    // for a scan and "1000" for the close; a send that goes nowhere neither fails nor blocks.
    void notifications_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("when");
        QTest::addColumn<QByteArray>("arrived");
        const QByteArray own = QByteArray::number(listener.localPort());
        QTest::newRow("A scan is 1001 at the configured port")
            << own << "" << QByteArray("1001 1000 end");
        QTest::newRow("No port configured") << QByteArray() << "" << QByteArray("end");
        QTest::newRow("A port that is no number") << QByteArray("udp") << "" << QByteArray("end");
        QTest::newRow("A port past 65535 does not wrap onto another")
            << QByteArray::number(65536 + listener.localPort()) << "" << QByteArray("end");
        QTest::newRow("A negative port") << QByteArray("-5") << "" << QByteArray("end");
        QTest::newRow("A send before the thread ran") << own << "before" << QByteArray("end");
        QTest::newRow("A send after the socket was closed") << own << "after" << QByteArray("end");
    }
    void notifications()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, when);
        QFETCH(QByteArray, arrived);
        configurePort(value);
        UDPSocket bridge;
        if (when == QLatin1String("before"))
            bridge.UDPSendDataScan();
        bridge.start();
        bridge.wait();
        if (when == QLatin1String("after"))
            bridge.closeSocket();
        if (when != QLatin1String("before")) {
            bridge.UDPSendDataScan();
            bridge.UDPSendDataClose();
        }
        QCOMPARE(bridge.destinationPort(), value.toInt());
        // Nothing may come before the test's own marker but what the bridge sent.
        QUdpSocket().writeDatagram("end", QHostAddress::LocalHost, listener.localPort());
        QByteArrayList got;
        while (got.isEmpty() || got.last() != "end") {
            QVERIFY(listener.hasPendingDatagrams() || listener.waitForReadyRead(10000));
            got.append(listener.receiveDatagram().data());
        }
        QCOMPARE(got.join(' '), arrived);
    }
};

QTEST_GUILESS_MAIN(TestUdpSocket)
#include "tst_udpsocket.moc"
