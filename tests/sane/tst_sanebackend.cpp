#include <sane/sane.h>

#include <QUdpSocket>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <dlfcn.h>
#include <thread>

namespace {

// Calls an entry point by name, looked up in the real shared object as SANE's dll backend does.
template<typename R = SANE_Status, typename... A>
R call(const char* name, A... arguments)
{
    static void* const library = dlopen(OSTRA_BACKEND, RTLD_NOW | RTLD_LOCAL);
    const auto entry =
        reinterpret_cast<R (*)(A...)>(dlsym(library, QByteArray("sane_ostra_") + name));
    return entry(arguments...);
}

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
}

cv::Mat pattern(int type)
{
    cv::Mat picture(7, 5, type);
    cv::randu(picture, 0, CV_MAT_DEPTH(type) == CV_16U ? 65535 : 255);
    return picture;
}

// Whether the UDP port is held, read from the kernel's own table, not from the backend.
bool portBound(int port)
{
    QFile table(QStringLiteral("/proc/net/udp"));
    return table.open(QIODevice::ReadOnly) &&
           table.readAll().contains(
               QStringLiteral(" 0100007F:%1 ").arg(port, 4, 16, QChar('0')).toUpper().toLatin1());
}

} // namespace

class TestSaneBackend final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    SANE_Handle handle = nullptr;
    int port = 0;
    QString picturePath;
    QByteArray debugOutput;

    void configure(SANE_Word waitSeconds = 5)
    {
        const QString ini = QString("[UDP]\nPort=%1\n[IMAHE]\nImageScanPth=%2\n").arg(port);
        writeFile(dir.filePath("scanConfig.ini"), ini.arg(picturePath).toUtf8());
        QCOMPARE(call("control_option", handle, 1, SANE_ACTION_SET_VALUE, &waitSeconds,
                      (SANE_Int*)nullptr),
                 SANE_STATUS_GOOD);
    }
    // Starts a scan; once the backend listens, sends the datagram or (none) cancels.
    SANE_Status startScan(const char* datagram, bool wait = true)
    {
        QFile log(dir.filePath("stderr"));
        log.open(QIODevice::ReadOnly) && log.seek(log.size());
        SANE_Status status = SANE_STATUS_INVAL;
        std::thread scan([&] { status = call("start", handle); });
        if (wait) {
            [&] { QTRY_VERIFY_WITH_TIMEOUT(portBound(port), 10000); }();
            if (datagram)
                QUdpSocket().writeDatagram(datagram, 4, QHostAddress::LocalHost, quint16(port));
            else
                call<void>("cancel", handle);
        }
        scan.join();
        fflush(stderr);
        debugOutput = log.readAll();
        return status;
    }
    QByteArray readAll()
    {
        QByteArray bytes;
        SANE_Byte chunk[1000];
        SANE_Int length = 0;
        while (call("read", handle, chunk, SANE_Int(sizeof chunk), &length) == SANE_STATUS_GOOD)
            bytes.append(reinterpret_cast<const char*>(chunk), length);
        return bytes;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(dlopen(OSTRA_BACKEND, RTLD_NOW | RTLD_LOCAL), dlerror());
        // The backend's debug lines, on stderr, are read back from a file after each scan.
        QVERIFY(freopen(qPrintable(dir.filePath("stderr")), "w", stderr));
        // Only the entry points are shared: the settings code and its Qt stay the backend's.
        QProcess nm;
        nm.start("nm", {"-D", "--defined-only", "--format=just-symbols", OSTRA_BACKEND});
        QVERIFY(nm.waitForFinished() && nm.exitCode() == 0);
        for (const QByteArray& symbol : nm.readAllStandardOutput().trimmed().split('\n'))
            QVERIFY2(symbol.startsWith("sane_ostra_"), symbol.constData());

        writeFile(dir.filePath("ostra.conf"),
                  "config " + dir.filePath("scanConfig.ini").toUtf8() + "\n");
        qputenv("SANE_CONFIG_DIR", dir.path().toUtf8());
        qputenv("SANE_DEBUG_OSTRA", "1");
        QCOMPARE(call("init", (SANE_Int*)nullptr, SANE_Auth_Callback()), SANE_STATUS_GOOD);
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
        port = probe.localPort();
    }
    void init()
    {
        picturePath = dir.filePath(QStringLiteral("scan.png"));
        QCOMPARE(call("open", "", &handle), SANE_STATUS_GOOD);
    }
    void cleanup()
    {
        call<void>("close", handle);
        QFile::remove(picturePath);
        QVERIFY(!portBound(port));
    }

    void pictureKinds_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("depth");
        const int grey = SANE_FRAME_GRAY, rgb = SANE_FRAME_RGB;
        QTest::newRow("16-bit grey, machine byte order") << "png" << CV_16UC1 << grey << 16;
        QTest::newRow("8-bit grey") << "bmp" << CV_8UC1 << grey << 8;
        QTest::newRow("colour goes as RGB") << "png" << CV_8UC3 << rgb << 8;
        QTest::newRow("alpha is dropped") << "png" << CV_8UC4 << rgb << 8;
        QTest::newRow("16-bit colour goes as 16-bit RGB") << "tiff" << CV_16UC3 << rgb << 16;
    }
    void pictureKinds()
    {
        QFETCH(QString, suffix);
        QFETCH(int, type);
        QFETCH(int, format);
        QFETCH(int, depth);
        picturePath = dir.filePath(QStringLiteral("scan.") + suffix);
        configure();
        const cv::Mat stored = pattern(type);
        QVERIFY(cv::imwrite(picturePath.toStdString(), stored));
        cv::Mat expected = stored;
        if (stored.channels() > 1)
            cv::cvtColor(stored, expected,
                         stored.channels() == 4 ? cv::COLOR_BGRA2RGB : cv::COLOR_BGR2RGB);
        QCOMPARE(startScan("1001"), SANE_STATUS_GOOD);
        SANE_Parameters p{};
        QCOMPARE(call("get_parameters", handle, &p), SANE_STATUS_GOOD);
        QCOMPARE((QVector<int>{p.format, p.depth, p.pixels_per_line, p.lines, p.last_frame}),
                 (QVector<int>{format, depth, 5, 7, SANE_TRUE}));
        const QByteArray wanted(reinterpret_cast<const char*>(expected.data),
                                int(expected.total() * expected.elemSize()));
        QCOMPARE(p.bytes_per_line * p.lines, wanted.size());
        QCOMPARE(readAll(), wanted);
    }

    // A scan without a picture ends with the reason; the port is freed, the next scan works.
    void failures_data()
    {
        QTest::addColumn<QByteArray>("event");   // a datagram, "" for none, or what happens
        QTest::addColumn<QByteArray>("picture"); // null: a good one; empty: none at all
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("debugLine");
        const int cancelled = SANE_STATUS_CANCELLED, noDocs = SANE_STATUS_NO_DOCS;
        const int broken = SANE_STATUS_IO_ERROR;
        const QByteArray good, path = "[ostra] picture \"" + dir.filePath("scan.png").toUtf8();
        const auto row = [](const char* rule, const char* event, const QByteArray& picture,
                            int status, const QByteArray& line) {
            QTest::newRow(rule) << QByteArray(event) << picture << status << line;
        };
        row("\"1000\": the acquisition program closed", "1000", good, cancelled, "closed");
        row("the wait runs out: no documents", "", good, noDocs, "within 1 s");
        row("a datagram that is no notification does not end the wait", "1002", good, noDocs,
            "within 1 s");
        row("cancel from another thread ends the wait", "cancel", good, cancelled, "");
        row("the port held elsewhere: busy", "held", good, SANE_STATUS_DEVICE_BUSY, "is held");
        row("a missing picture", "1001", "", broken, path);
        row("not a picture", "1001", "no picture at all", broken, path);
        row("a header claiming 60000 x 60000 pixels", "1001", "P5\n60000 60000\n255\n\x01\x02",
            broken, path);
    }
    void failures()
    {
        QFETCH(QByteArray, event);
        QFETCH(QByteArray, picture);
        QFETCH(int, status);
        QFETCH(QByteArray, debugLine);
        if (picture.isNull())
            QVERIFY(cv::imwrite(picturePath.toStdString(), pattern(CV_8UC1)));
        else if (!picture.isEmpty())
            writeFile(picturePath, picture);
        configure(event == "cancel" ? 3600 : 1);
        QUdpSocket holder;
        QVERIFY(event != "held" || holder.bind(QHostAddress(QHostAddress::LocalHost), quint16(port),
                                               QUdpSocket::ShareAddress));
        const bool sends = event.startsWith("10");
        QCOMPARE(int(startScan(sends ? event.constData() : nullptr, sends || event == "cancel")),
                 status);
        QVERIFY2(debugOutput.contains(debugLine), debugOutput.constData());
        QVERIFY(readAll().isEmpty());
        holder.close();
        QVERIFY(!portBound(port));
        QVERIFY(cv::imwrite(picturePath.toStdString(), pattern(CV_8UC1)));
        configure();
        QCOMPARE(startScan("1001"), SANE_STATUS_GOOD);
        QCOMPARE(readAll().size(), 35);
    }
};

QTEST_GUILESS_MAIN(TestSaneBackend)
#include "tst_sanebackend.moc"
