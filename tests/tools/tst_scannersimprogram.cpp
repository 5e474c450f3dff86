#include "link/devicerequest.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

// The simulator as the demo and the whole-system runs use it: a process of its own.
class TestScannerSimProgram final : public QObject
{
    Q_OBJECT

private slots:
    void servesTheSequenceAndStopsOnRequest()
    {
        QProcess sim;
        sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        sim.start(QStringLiteral(SIM_PATH),
                  {QStringLiteral("--address"), QStringLiteral("127.0.0.1"),
                   QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--size"),
                   QStringLiteral("64x48"), QStringLiteral("--depth"), QStringLiteral("16"),
                   QStringLiteral("--sequence"), QStringLiteral("17,20,garbage,negative")});
        QVERIFY(sim.waitForReadyRead(10000));
        const QString banner = QString::fromUtf8(sim.readLine());
        const auto match = QRegularExpression(QStringLiteral(":(\\d+)")).match(banner);
        QVERIFY2(match.hasMatch(), qPrintable(banner));
        const int port = match.captured(1).toInt();

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

        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), 0);
        QVERIFY(sim.readAll().contains("served 6 requests"));
    }

    void refusesAnUnknownToken()
    {
        QProcess sim;
        sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        sim.start(QStringLiteral(SIM_PATH),
                  {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--sequence"),
                   QStringLiteral("17,bogus")});
        QVERIFY(sim.waitForFinished(10000));
        QCOMPARE(sim.exitCode(), 2);
    }
};

QTEST_GUILESS_MAIN(TestScannerSimProgram)
#include "tst_scannersimprogram.moc"
