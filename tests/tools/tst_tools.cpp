#include "link/devicerequest.h"

#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

// The tools beside the programs as the demo and the whole-system runs use them: processes
// of their own.
class TestTools final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QProcess tool;
    QString output;

    QString writeFile(const QString& name, const QByteArray& text)
    {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(text);
        return file.fileName();
    }

    // Reads the tool's output until a line matches; false when it ended without it. The
    // bound only ends a hung run: a healthy tool answers at once.
    bool waitForLine(const QString& pattern)
    {
        const QRegularExpression expression(pattern, QRegularExpression::MultilineOption);
        while (!expression.match(output).hasMatch()) {
            if (!tool.waitForReadyRead(10000) && tool.bytesAvailable() == 0)
                return false;
            output += QString::fromUtf8(tool.readAllStandardOutput());
        }
        return true;
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void cleanup()
    {
        tool.kill();
        tool.waitForFinished();
        output.clear();
    }

    // What the whole-system run does not show: the picture's path is read afresh for each
    // "1001", a picture that does not decode and a datagram that is no notification are
    // reported, and "1000" ends a counted run.
    void reportsEveryDatagramAndThePictureItAnnounces()
    {
        QVERIFY(cv::imwrite(dir.filePath(QStringLiteral("scan.png")).toStdString(),
                            cv::Mat(48, 64, CV_16UC1, cv::Scalar(40000))));
        const QString config =
            writeFile("tool.ini", "[IMAHE]\nImageScanPth=" + dir.filePath("scan.png").toUtf8());
        tool.start(QStringLiteral(LISTENER_PATH),
                   {"--config", config, "--port", "0", "--count", "4"});
        QVERIFY2(waitForLine("^listening on 127\\.0\\.0\\.1:\\d+$"), qPrintable(output));
        const quint16 port =
            QRegularExpression("127\\.0\\.0\\.1:(\\d+)").match(output).captured(1).toUShort();
        QUdpSocket sender;
        sender.writeDatagram("1001", 4, QHostAddress::LocalHost, port);
        QVERIFY2(waitForLine("^picture .*scan\\.png: \\d+ bytes, decodes: yes, 64 x 48, 16-bit, "
                             "1 channel$"),
                 qPrintable(output));
        writeFile("tool.ini", "[IMAHE]\nImageScanPth=" +
                                  writeFile("no.png", "these bytes are no picture").toUtf8());
        sender.writeDatagram("1001\n\x01", 6, QHostAddress::LocalHost, port);
        QVERIFY2(waitForLine("^datagram \"1001\\\\x0a\\\\x01\" \\(6 bytes\\).*not a notification"),
                 qPrintable(output));
        sender.writeDatagram("1001", 4, QHostAddress::LocalHost, port);
        QVERIFY2(waitForLine("^picture .*no\\.png: 26 bytes, decodes: no$"), qPrintable(output));
        sender.writeDatagram("1000", 4, QHostAddress::LocalHost, port);
        QVERIFY2(waitForLine("\"1000\" \\(4 bytes\\) .*: the acquisition program is closing$"),
                 qPrintable(output));
        QVERIFY(tool.waitForFinished(10000));
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.exitCode(), 0);
    }

    void badStartsSayWhy_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::newRow("A configuration without a port")
            << QStringList{"--config", writeFile("empty.ini", "[IMAHE]\n")} << 2 << "no port";
        QTest::newRow("A port that is no number")
            << QStringList{"--port", "udp"} << 2 << "\"udp\" is not a port";
        QTest::newRow("A port out of range") << QStringList{"--port", "70000"} << 2 << "";
        QTest::newRow("No datagram to wait for")
            << QStringList{"--port", "0", "--count", "0"} << 2 << "";
    }
    void badStartsSayWhy()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QString, message);
        // Never the machine's configuration file.
        if (!arguments.contains(QStringLiteral("--config")))
            arguments << QStringLiteral("--config") << writeFile("none.ini", "");
        tool.start(QStringLiteral(LISTENER_PATH), arguments);
        QVERIFY(tool.waitForFinished(10000));
        QCOMPARE(tool.exitCode(), code);
        QVERIFY(QString::fromUtf8(tool.readAllStandardError()).contains(message));
    }

    void aTakenPortIsReported()
    {
        QUdpSocket taken;
        QVERIFY(taken.bind(QHostAddress(QHostAddress::LocalHost), 0));
        tool.start(QStringLiteral(LISTENER_PATH),
                   {QStringLiteral("--port"), QString::number(taken.localPort()),
                    QStringLiteral("--config"), writeFile("none.ini", "")});
        QVERIFY(tool.waitForFinished(10000));
        QCOMPARE(tool.exitCode(), 1);
        QVERIFY(tool.readAllStandardError().contains("cannot listen on 127.0.0.1:"));
    }

    void servesTheSequenceAndStopsOnRequest()
    {
        tool.start(QStringLiteral(SIM_PATH),
                   {"--address", "127.0.0.1", "--port", "0", "--size", "64x48", "--depth", "16",
                    "--sequence", "17,20,garbage,negative"});
        QVERIFY2(waitForLine("listening on 127\\.0\\.0\\.1:\\d+"), qPrintable(output));
        const int port = QRegularExpression(":(\\d+)").match(output).captured(1).toInt();

        ByteVector data;
        float extra = 0;
        QCOMPARE(DeviceRequest("127.0.0.1", port, REQUEST_POLL, data, extra), REPLY_STATE_LIT);
        QCOMPARE(DeviceRequest("127.0.0.1", port, REQUEST_POLL, data, extra), REPLY_IMAGE_EXT);
        QCOMPARE(extra, 0.25f);
        const cv::Mat picture = cv::imdecode(data, cv::IMREAD_ANYDEPTH | cv::IMREAD_ANYCOLOR);
        QCOMPARE(picture.cols, 64);
        QCOMPARE(picture.rows, 48);
        QCOMPARE(picture.depth(), CV_16U);
        QCOMPARE(DeviceRequest("127.0.0.1", port, REQUEST_POLL, data, extra), REPLY_IMAGE);
        QVERIFY(cv::imdecode(data, cv::IMREAD_ANYDEPTH).empty());
        QCOMPARE(DeviceRequest("127.0.0.1", port, REQUEST_POLL, data, extra),
                 DEVICE_RECV_IMAGE_ERROR);
        QCOMPARE(DeviceRequest("127.0.0.1", port, REQUEST_COMMAND, data, extra), REPLY_STATE_LIT);
        // The sequence cycles.
        QCOMPARE(DeviceRequest("127.0.0.1", port, REQUEST_POLL, data, extra), REPLY_STATE_LIT);

        tool.terminate();
        QVERIFY(tool.waitForFinished(5000));
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.exitCode(), 0);
        QVERIFY(waitForLine("served 6 requests"));
    }

    void refusesAnUnknownToken()
    {
        tool.start(QStringLiteral(SIM_PATH),
                   {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--sequence"),
                    QStringLiteral("17,bogus")});
        QVERIFY(tool.waitForFinished(10000));
        QCOMPARE(tool.exitCode(), 2);
    }
};

QTEST_GUILESS_MAIN(TestTools)
#include "tst_tools.moc"
