#include "common/settings.h"
#include "discovery/udpsocket.h"

#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

// The TWAIN listener as the demo and the whole-system runs use it: a process of its own.
class TestTwainListener final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QProcess listener;
    QString output;

    void writeFile(const QString& name, const QByteArray& text)
    {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }

    // Reads the listener's output until a line matches; an empty match when the process
    // ended without it. The bound only ends a hung run: a healthy listener answers at once.
    QRegularExpressionMatch waitForLine(const QString& pattern)
    {
        const QRegularExpression expression(pattern, QRegularExpression::MultilineOption);
        auto match = expression.match(output);
        while (!match.hasMatch() && listener.waitForReadyRead(10000)) {
            output += QString::fromUtf8(listener.readAllStandardOutput());
            match = expression.match(output);
        }
        if (!match.hasMatch()) {
            output += QString::fromUtf8(listener.readAllStandardOutput());
            match = expression.match(output);
        }
        return match;
    }

    // Starts the listener and returns the port it reports; 0 when it did not start.
    int start(const QStringList& arguments)
    {
        output.clear();
        listener.start(QStringLiteral(LISTENER_PATH), arguments);
        if (!listener.waitForStarted(10000))
            return 0;
        return waitForLine(QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+)$"))
            .captured(1)
            .toInt();
    }

    void send(int port, const QByteArray& payload)
    {
        QUdpSocket sender;
        QCOMPARE(
            sender.writeDatagram(payload, QHostAddress(QHostAddress::LocalHost), quint16(port)),
            qint64(payload.size()));
    }

    // Runs the listener to its end with these arguments; its exit code and standard error.
    std::pair<int, QString> runToEnd(const QStringList& arguments)
    {
        QProcess run;
        run.start(QStringLiteral(LISTENER_PATH), arguments);
        if (!run.waitForFinished(10000)) {
            run.kill();
            run.waitForFinished();
            return {-1, QStringLiteral("did not end")};
        }
        return {run.exitCode(), QString::fromUtf8(run.readAllStandardError())};
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void cleanup()
    {
        if (listener.state() != QProcess::NotRunning) {
            listener.kill();
            listener.waitForFinished();
        }
    }

    void reportsNotificationsAndThePictureTheyAnnounce()
    {
        cv::Mat picture(48, 64, CV_16UC1, cv::Scalar(40000));
        QVERIFY(cv::imwrite(dir.filePath(QStringLiteral("scan.png")).toStdString(), picture));
        writeFile(QStringLiteral("not-a-picture.png"), "these bytes are no picture at all");
        const QString config = dir.filePath(QStringLiteral("listener.ini"));
        writeFile(QStringLiteral("listener.ini"),
                  "[IMAHE]\nImageScanPth=" + dir.filePath(QStringLiteral("scan.png")).toUtf8() +
                      "\n");

        const int port =
            start({QStringLiteral("--config"), config, QStringLiteral("--port"),
                   QStringLiteral("0"), QStringLiteral("--count"), QStringLiteral("4")});
        QVERIFY2(port > 0, qPrintable(output));

        send(port, "1001");
        QVERIFY2(
            waitForLine(QStringLiteral("^picture .*scan\\.png: \\d+ bytes, decodes: yes, 64 x 48, "
                                       "16-bit, 1 channel$"))
                .hasMatch(),
            qPrintable(output));
        QVERIFY(output.contains(
            QRegularExpression(QStringLiteral("^datagram \"1001\" \\(4 bytes\\) from "
                                              "127\\.0\\.0\\.1:\\d+: a new picture is ready$"),
                               QRegularExpression::MultilineOption)));

        // The path is read afresh for each picture.
        writeFile(QStringLiteral("listener.ini"),
                  "[IMAHE]\nImageScanPth=" +
                      dir.filePath(QStringLiteral("not-a-picture.png")).toUtf8() + "\n");
        send(port, QByteArray("1001\n\x01", 6));
        send(port, "1001");
        QVERIFY2(
            waitForLine(QStringLiteral("^picture .*not-a-picture\\.png: 33 bytes, decodes: no$"))
                .hasMatch(),
            qPrintable(output));
        send(port, "1000");
        QVERIFY(listener.waitForFinished(10000));
        output += QString::fromUtf8(listener.readAllStandardOutput());
        QCOMPARE(listener.exitStatus(), QProcess::NormalExit);
        QCOMPARE(listener.exitCode(), 0);
        QVERIFY2(output.contains(QStringLiteral("datagram \"1001\\x0a\\x01\" (6 bytes)")),
                 qPrintable(output));
        QVERIFY2(output.contains(QStringLiteral("not a notification")), qPrintable(output));
        QVERIFY2(output.contains(
                     QRegularExpression(QStringLiteral("\"1000\" \\(4 bytes\\) .*: the acquisition "
                                                       "program is closing$"),
                                        QRegularExpression::MultilineOption)),
                 qPrintable(output));
    }

    // The window's bridge and the listener meet through "UDP/Port", as in the field.
    void hearsTheBridgeAtTheConfiguredPort()
    {
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
        const QByteArray port = QByteArray::number(probe.localPort());
        probe.close();
        const QString config = dir.filePath(QStringLiteral("shared.ini"));
        writeFile(QStringLiteral("shared.ini"),
                  "[UDP]\nPort=" + port + "\n[IMAHE]\nImageScanPth=\n");

        // Two datagrams end it, so that it cannot outlive a test that dies halfway.
        QCOMPARE(start({QStringLiteral("--config"), config, QStringLiteral("--count"),
                        QStringLiteral("2")}),
                 port.toInt());
        overrideConfigFilePath(config);
        UDPSocket bridge;
        bridge.start();
        bridge.wait();
        bridge.UDPSendDataScan();
        QVERIFY2(
            waitForLine(QStringLiteral("^picture: \"IMAHE/ImageScanPth\" is not set$")).hasMatch(),
            qPrintable(output));
        bridge.UDPSendDataClose();
        QVERIFY2(waitForLine(QStringLiteral("program is closing$")).hasMatch(), qPrintable(output));
        QVERIFY(listener.waitForFinished(10000));
        QCOMPARE(listener.exitCode(), 0);
        overrideConfigFilePath(QString());
    }

    void badStartsSayWhy()
    {
        const QString noPort = dir.filePath(QStringLiteral("empty.ini"));
        writeFile(QStringLiteral("empty.ini"), "[IMAHE]\n");
        auto [code, error] = runToEnd({QStringLiteral("--config"), noPort});
        QCOMPARE(code, 2);
        QVERIFY2(error.contains(QStringLiteral("no port")), qPrintable(error));

        std::tie(code, error) = runToEnd({QStringLiteral("--port"), QStringLiteral("udp")});
        QCOMPARE(code, 2);
        QVERIFY2(error.contains(QStringLiteral("\"udp\" is not a port")), qPrintable(error));

        std::tie(code, error) = runToEnd({QStringLiteral("--port"), QStringLiteral("70000")});
        QCOMPARE(code, 2);

        std::tie(code, error) = runToEnd({QStringLiteral("--port"), QStringLiteral("0"),
                                          QStringLiteral("--count"), QStringLiteral("0")});
        QCOMPARE(code, 2);

        QUdpSocket taken;
        QVERIFY(taken.bind(QHostAddress(QHostAddress::LocalHost), 0));
        std::tie(code, error) =
            runToEnd({QStringLiteral("--port"), QString::number(taken.localPort())});
        QCOMPARE(code, 1);
        QVERIFY2(error.contains(QStringLiteral("cannot listen on 127.0.0.1:")), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestTwainListener)
#include "tst_twainlistener.moc"
