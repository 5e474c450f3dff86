#include <sane/sane.h>

#include <QFile>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <dlfcn.h>
#include <thread>
#include <unistd.h>

Q_DECLARE_METATYPE(cv::Mat)

namespace {

// The entry points, looked up by name in the real shared object as SANE's dll backend does.
struct Backend
{
    SANE_Status (*init)(SANE_Int*, SANE_Auth_Callback);
    SANE_Status (*open)(SANE_String_Const, SANE_Handle*);
    void (*close)(SANE_Handle);
    SANE_Status (*control)(SANE_Handle, SANE_Int, SANE_Action, void*, SANE_Int*);
    SANE_Status (*start)(SANE_Handle);
    SANE_Status (*parameters)(SANE_Handle, SANE_Parameters*);
    SANE_Status (*read)(SANE_Handle, SANE_Byte*, SANE_Int, SANE_Int*);
    void (*cancel)(SANE_Handle);
};

template<typename F>
void resolve(void* library, const char* name, F& function)
{
    function = reinterpret_cast<F>(dlsym(library, name));
    QVERIFY2(function, name);
}

cv::Mat pattern(int type)
{
    cv::Mat picture(7, 5, type);
    cv::randu(picture, 0, CV_MAT_DEPTH(type) == CV_16U ? 65535 : 255);
    return picture;
}

// Holds the UDP port, read from the kernel's own table, not from the backend.
bool portBound(int port)
{
    QFile table(QStringLiteral("/proc/net/udp"));
    return table.open(QIODevice::ReadOnly) &&
           table.readAll().contains(QStringLiteral(" 0100007F:%1 ")
                                        .arg(port, 4, 16, QLatin1Char('0'))
                                        .toUpper()
                                        .toLatin1());
}

} // namespace

class TestSaneBackend final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    Backend sane{};
    SANE_Handle handle = nullptr;
    int port = 0;
    QString picturePath;
    QByteArray debugOutput;

    void writeConfig(const QString& portText, const QString& picture)
    {
        QFile ini(dir.filePath(QStringLiteral("scanConfig.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write(QStringLiteral("[UDP]\nPort=%1\n[IMAHE]\nImageScanPth=%2\n")
                      .arg(portText, picture)
                      .toUtf8());
    }

    void setOption(int option, SANE_Word value)
    {
        QCOMPARE(sane.control(handle, option, SANE_ACTION_SET_VALUE, &value, nullptr),
                 SANE_STATUS_GOOD);
    }

    // Starts a scan on its own thread, sends the datagram once the backend listens (none:
    // nullptr) and returns sane_start's status with the backend's debug lines kept.
    SANE_Status startScan(const char* datagram, bool cancel = false)
    {
        QTemporaryFile captured;
        captured.open();
        const int savedStderr = dup(STDERR_FILENO);
        dup2(captured.handle(), STDERR_FILENO);
        SANE_Status status = SANE_STATUS_INVAL;
        std::thread scan([&] { status = sane.start(handle); });
        if (datagram || cancel) {
            [&] { QTRY_VERIFY_WITH_TIMEOUT(portBound(port), 10000); }();
            if (datagram)
                QUdpSocket().writeDatagram(datagram, 4, QHostAddress::LocalHost, quint16(port));
            else
                sane.cancel(handle);
        }
        scan.join();
        dup2(savedStderr, STDERR_FILENO);
        close(savedStderr);
        captured.seek(0);
        debugOutput = captured.readAll();
        return status;
    }

    QByteArray readAll()
    {
        QByteArray bytes;
        SANE_Byte chunk[1000];
        SANE_Int length = 0;
        while (sane.read(handle, chunk, sizeof chunk, &length) == SANE_STATUS_GOOD)
            bytes.append(reinterpret_cast<const char*>(chunk), length);
        return bytes;
    }

private slots:
    void initTestCase()
    {
        void* library = dlopen(OSTRA_BACKEND, RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(library, dlerror());
        resolve(library, "sane_ostra_init", sane.init);
        resolve(library, "sane_ostra_open", sane.open);
        resolve(library, "sane_ostra_close", sane.close);
        resolve(library, "sane_ostra_control_option", sane.control);
        resolve(library, "sane_ostra_start", sane.start);
        resolve(library, "sane_ostra_get_parameters", sane.parameters);
        resolve(library, "sane_ostra_read", sane.read);
        resolve(library, "sane_ostra_cancel", sane.cancel);
        // Nothing but the entry points is shared: the settings code stays the backend's own.
        QVERIFY(!dlsym(library, "_Z11readSettingRK7QString"));

        // The backend's own configuration points it at this folder's file, as a test or an
        // unusual installation does through SANE's configuration folder.
        QFile conf(dir.filePath(QStringLiteral("ostra.conf")));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write("# test\nconfig " + dir.filePath(QStringLiteral("scanConfig.ini")).toUtf8() +
                   "\n");
        conf.close();
        qputenv("SANE_CONFIG_DIR", dir.path().toUtf8());
        qputenv("SANE_DEBUG_OSTRA", "1");
        QCOMPARE(sane.init(nullptr, nullptr), SANE_STATUS_GOOD);

        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
        port = probe.localPort();
    }

    void init()
    {
        picturePath = dir.filePath(QStringLiteral("scan.png"));
        writeConfig(QString::number(port), picturePath);
        QCOMPARE(sane.open("", &handle), SANE_STATUS_GOOD);
        setOption(1, 5); // wait, seconds
    }

    void cleanup()
    {
        sane.close(handle);
        QFile::remove(picturePath);
        QVERIFY(!portBound(port));
    }

    void pictureKinds_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<cv::Mat>("stored");
        QTest::addColumn<cv::Mat>("expected");
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("depth");
        const cv::Mat grey16 = pattern(CV_16UC1), grey8 = pattern(CV_8UC1);
        const cv::Mat bgr8 = pattern(CV_8UC3), bgra8 = pattern(CV_8UC4), bgr16 = pattern(CV_16UC3);
        cv::Mat rgb8, rgbFromBgra, rgb16;
        cv::cvtColor(bgr8, rgb8, cv::COLOR_BGR2RGB);
        cv::cvtColor(bgra8, rgbFromBgra, cv::COLOR_BGRA2RGB);
        cv::cvtColor(bgr16, rgb16, cv::COLOR_BGR2RGB);
        QTest::newRow("16-bit grey stays 16-bit grey, machine byte order")
            << "png" << grey16 << grey16 << int(SANE_FRAME_GRAY) << 16;
        QTest::newRow("8-bit grey stays 8-bit grey")
            << "bmp" << grey8 << grey8 << int(SANE_FRAME_GRAY) << 8;
        QTest::newRow("colour goes as RGB") << "png" << bgr8 << rgb8 << int(SANE_FRAME_RGB) << 8;
        QTest::newRow("alpha is dropped")
            << "png" << bgra8 << rgbFromBgra << int(SANE_FRAME_RGB) << 8;
        QTest::newRow("16-bit colour goes as 16-bit RGB")
            << "tiff" << bgr16 << rgb16 << int(SANE_FRAME_RGB) << 16;
    }

    void pictureKinds()
    {
        QFETCH(QString, suffix);
        QFETCH(cv::Mat, stored);
        QFETCH(cv::Mat, expected);
        QFETCH(int, format);
        QFETCH(int, depth);
        picturePath = dir.filePath(QStringLiteral("scan.") + suffix);
        writeConfig(QString::number(port), picturePath);
        QVERIFY(cv::imwrite(picturePath.toStdString(), stored));

        QCOMPARE(startScan("1001"), SANE_STATUS_GOOD);
        SANE_Parameters p{};
        QCOMPARE(sane.parameters(handle, &p), SANE_STATUS_GOOD);
        QCOMPARE(int(p.format), format);
        QCOMPARE(p.depth, depth);
        QCOMPARE(p.pixels_per_line, stored.cols);
        QCOMPARE(p.lines, stored.rows);
        QVERIFY(p.last_frame);
        const QByteArray wanted(reinterpret_cast<const char*>(expected.data),
                                int(expected.total() * expected.elemSize()));
        QCOMPARE(p.bytes_per_line * p.lines, wanted.size());
        QCOMPARE(readAll(), wanted);
    }

    void lastPictureNeedsNoNotification()
    {
        const cv::Mat grey = pattern(CV_16UC1);
        QVERIFY(cv::imwrite(picturePath.toStdString(), grey));
        setOption(2, SANE_TRUE);
        QCOMPARE(startScan(nullptr), SANE_STATUS_GOOD);
        QCOMPARE(readAll().size(), int(grey.total() * 2));
    }

    void endings_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QString>("portText");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("debugLine");
        QTest::newRow("\"1000\": the acquisition program closed, the scan is cancelled")
            << QByteArray("1000") << QString() << int(SANE_STATUS_CANCELLED)
            << QByteArray("closed");
        QTest::newRow("nothing within the wait: no documents")
            << QByteArray() << QString() << int(SANE_STATUS_NO_DOCS) << QByteArray("within 1 s");
        QTest::newRow("a datagram that is no notification does not end the wait")
            << QByteArray("1002") << QString() << int(SANE_STATUS_NO_DOCS)
            << QByteArray("within 1 s");
        QTest::newRow("cancel from another thread ends the wait")
            << QByteArray("cancel") << QString() << int(SANE_STATUS_CANCELLED) << QByteArray();
        QTest::newRow("no port configured") << QByteArray() << QStringLiteral("none")
                                            << int(SANE_STATUS_INVAL) << QByteArray("not a port");
    }

    void endings()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(QString, portText);
        QFETCH(int, status);
        QFETCH(QByteArray, debugLine);
        QVERIFY(cv::imwrite(picturePath.toStdString(), pattern(CV_8UC1)));
        if (!portText.isEmpty())
            writeConfig(portText, picturePath);
        setOption(1, datagram == "cancel" ? 3600 : 1);
        const bool cancel = datagram == "cancel";
        QCOMPARE(
            int(startScan(cancel || datagram.isEmpty() ? nullptr : datagram.constData(), cancel)),
            status);
        QVERIFY2(debugOutput.contains(debugLine), debugOutput.constData());
        SANE_Byte byte;
        SANE_Int length = 0;
        QVERIFY(sane.read(handle, &byte, 1, &length) != SANE_STATUS_GOOD);

        // The port is free again and the next scan delivers.
        QVERIFY(!portBound(port));
        writeConfig(QString::number(port), picturePath);
        QCOMPARE(startScan("1001"), SANE_STATUS_GOOD);
    }

    void portHeldElsewhereIsBusy()
    {
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress(QHostAddress::LocalHost), quint16(port),
                            QUdpSocket::ShareAddress));
        QCOMPARE(startScan(nullptr), SANE_STATUS_DEVICE_BUSY);
    }

    void brokenPictures_data()
    {
        QTest::addColumn<QByteArray>("content"); // "-": no file at all
        std::vector<uchar> png, jpeg;
        QVERIFY(cv::imencode(".png", pattern(CV_16UC1), png));
        cv::Mat noise(64, 64, CV_8UC3); // enough to be cut inside the pixels, past the header
        cv::randu(noise, 0, 255);
        QVERIFY(cv::imencode(".jpg", noise, jpeg));
        QTest::newRow("missing") << QByteArray("-");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("not a picture") << QByteArray("this is no picture at all");
        QTest::newRow("half-written PNG")
            << QByteArray(reinterpret_cast<const char*>(png.data()), int(png.size() / 2));
        QTest::newRow("half-written JPEG")
            << QByteArray(reinterpret_cast<const char*>(jpeg.data()), int(jpeg.size() / 2));
        QTest::newRow("header claiming 60000 x 60000 pixels")
            << QByteArray("P5\n60000 60000\n255\n\x01\x02");
    }

    void brokenPictures()
    {
        QFETCH(QByteArray, content);
        if (content != "-") {
            QFile file(picturePath);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        QCOMPARE(startScan("1001"), SANE_STATUS_IO_ERROR);
        QVERIFY2(debugOutput.contains(("[ostra] picture \"" + picturePath).toUtf8()),
                 debugOutput.constData());
    }
};

QTEST_GUILESS_MAIN(TestSaneBackend)
#include "tst_sanebackend.moc"
