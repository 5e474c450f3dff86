#include "link/devicerequest.h"

#include <QHostAddress>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

// The scanner simulator and the TWAIN listener as processes, as the demo and the soak run
// use them: what the whole-system run does not show.
class TestTools final : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QUdpSocket taken;
    QProcess tool;
    QString output;

    QString writeFile(const QString& name, const QByteArray& text)
    {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(text);
        return file.fileName();
    }
    // The first capture of pattern in the tool's output, once it came; empty, showing the
    // output, when the tool ended without it. The bound only ends a hung run.
    QString waitForLine(const QString& pattern)
    {
        const QRegularExpression expression(pattern, QRegularExpression::MultilineOption);
        while (!expression.match(output).hasMatch()) {
            if (!tool.waitForReadyRead(10000) && tool.bytesAvailable() == 0) {
                qWarning().noquote() << "the tool said only:" << output;
                return QString();
            }
            output += QString::fromUtf8(tool.readAllStandardOutput());
        }
        return expression.match(output).captured(expression.captureCount() ? 1 : 0);
    }

private slots:
    void initTestCase() { QVERIFY(taken.bind(QHostAddress(QHostAddress::LocalHost), 0)); }
    void cleanup()
    {
        tool.kill();
        tool.waitForFinished();
        output.clear();
    }

    // The picture's path is read afresh for each "1001"; a picture that does not decode and a
    // datagram that is no notification are reported; "1000" ends a counted run.
    void listenerReportsEveryDatagramAndItsPicture()
    {
        QVERIFY(cv::imwrite(dir.filePath("scan.png").toStdString(),
                            cv::Mat(48, 64, CV_16UC1, cv::Scalar(40000))));
        const QString config =
            writeFile("tool.ini", "[IMAHE]\nImageScanPth=" + dir.filePath("scan.png").toUtf8());
        tool.start(LISTENER_PATH, {"--config", config, "--port", "0", "--count", "4"});
        const quint16 port = waitForLine("^listening on 127\\.0\\.0\\.1:(\\d+)$").toUShort();
        QVERIFY(port);
        QUdpSocket sender;
        const auto send = [&](const QByteArray& datagram, const QString& report) {
            sender.writeDatagram(datagram, QHostAddress::LocalHost, port);
            return !waitForLine(report).isEmpty();
        };
        QVERIFY(send("1001", "^picture .*scan\\.png: \\d+ bytes, decodes: yes, 64 x 48, 16-bit, "
                             "1 channel$"));
        writeFile("tool.ini", "[IMAHE]\nImageScanPth=" +
                                  writeFile("no.png", "these bytes are no picture").toUtf8());
        QVERIFY(send("1001\n\x01",
                     "^datagram \"1001\\\\x0a\\\\x01\" \\(6 bytes\\).*not a notification"));
        QVERIFY(send("1001", "^picture .*no\\.png: 26 bytes, decodes: no$"));
        QVERIFY(send("1000", "\"1000\" \\(4 bytes\\) .*: the acquisition program is closing$"));
        QVERIFY(tool.waitForFinished(10000));
        QCOMPARE(tool.exitCode(), 0);
        // A second listener on a port in use says so and fails.
        tool.start(LISTENER_PATH,
                   {"--config", config, "--port", QString::number(taken.localPort())});
        QVERIFY(tool.waitForFinished(10000));
        QCOMPARE(tool.exitCode(), 1);
        QVERIFY(tool.readAllStandardError().contains("cannot listen on 127.0.0.1:"));
    }

    // Each word of the sequence is one reply, as the client sees it; the sequence cycles.
    void simulatorServesItsSequence()
    {
        tool.start(SIM_PATH, {"--address", "127.0.0.1", "--port", "0", "--size", "64x48", "--depth",
                              "16", "--sequence", "17,20,garbage,tiny,negative,huge,short,close"});
        const int port = waitForLine("listening on 127\\.0\\.0\\.1:(\\d+)").toInt();
        QVERIFY(port);
        ByteVector data;
        float extra = 0;
        const auto ask = [&](int request = REQUEST_POLL) {
            return DeviceRequest("127.0.0.1", port, request, data, extra);
        };
        QCOMPARE(ask(), REPLY_STATE_LIT);
        QCOMPARE(ask(), REPLY_IMAGE_EXT);
        QCOMPARE(extra, 0.25f);
        const cv::Mat picture = cv::imdecode(data, cv::IMREAD_ANYDEPTH);
        QCOMPARE(picture.size(), cv::Size(64, 48));
        QCOMPARE(picture.depth(), CV_16U);
        QCOMPARE(ask(), REPLY_IMAGE);
        QVERIFY(cv::imdecode(data, cv::IMREAD_ANYDEPTH).empty());
        QCOMPARE(ask(), REPLY_IMAGE);
        QVERIFY(!cv::imdecode(data, cv::IMREAD_ANYDEPTH).empty());
        for (const int failure : {DEVICE_RECV_IMAGE_ERROR, DEVICE_RECV_IMAGE_ERROR,
                                  DEVICE_RECV_IMAGE_ERROR, DEVICE_RECV_ERROR})
            QCOMPARE(ask(), failure);
        QCOMPARE(ask(REQUEST_COMMAND), REPLY_STATE_LIT);
        QCOMPARE(ask(), REPLY_STATE_LIT);
        tool.terminate();
        QVERIFY(!waitForLine("served 10 requests").isEmpty());
        QVERIFY(tool.waitForFinished(5000));
        QCOMPARE(tool.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestTools)
#include "tst_tools.moc"
