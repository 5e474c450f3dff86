#include <sane/sane.h>

#include <QUdpSocket>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

#include <dlfcn.h>
#include <thread>

namespace {

constexpr int kOptionWait = 4;

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

cv::Mat pattern(int rows = 7)
{
    cv::Mat picture(rows, 5, CV_8UC1);
    cv::randu(picture, 0, 255);
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
    const QString picturePath = dir.filePath(QStringLiteral("scan.png"));

    void configure(SANE_Word waitSeconds = 5)
    {
        const QString ini = QString("[UDP]\nPort=%1\n[IMAHE]\nImageScanPth=%2\n").arg(port);
        writeFile(dir.filePath("scanConfig.ini"), ini.arg(picturePath).toUtf8());
        QCOMPARE(call("control_option", handle, kOptionWait, SANE_ACTION_SET_VALUE, &waitSeconds,
                      (SANE_Int*)nullptr),
                 SANE_STATUS_GOOD);
    }
    QByteArray debugOutput() const
    {
        fflush(stderr);
        QFile log(dir.filePath("stderr"));
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }
    // One frame on a thread of its own: sane_start, then sane_read to the end; the datagram goes
    // once the scan waits. The last status (EOF as GOOD) and the call that gave it.
    QPair<SANE_Status, QByteArray> scan(const QByteArray& event)
    {
        QPair<SANE_Status, QByteArray> outcome{SANE_STATUS_GOOD, "start"};
        const qint64 logged = debugOutput().size();
        std::thread frame([&] {
            outcome.first = call("start", handle);
            SANE_Byte chunk[1000];
            SANE_Int length = 0;
            while (outcome.first == SANE_STATUS_GOOD)
                outcome = {call("read", handle, chunk, SANE_Int(sizeof chunk), &length), "read"};
            if (outcome.first == SANE_STATUS_EOF)
                outcome.first = SANE_STATUS_GOOD;
        });
        if (!event.isEmpty() && event != "held") {
            [&] { // once the scan waits, in whichever call
                QTRY_VERIFY(debugOutput().mid(logged).contains("picture awaited in"));
                if (event == "resized") // not the size sane_start announced
                    QVERIFY(cv::imwrite(picturePath.toStdString(), pattern(8)));
            }();
            QUdpSocket().writeDatagram(event == "resized" ? "1001" : event.constData(), 4,
                                       QHostAddress::LocalHost, quint16(port));
        }
        frame.join();
        return outcome;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(dlopen(OSTRA_BACKEND, RTLD_NOW | RTLD_LOCAL), dlerror());
        // The backend's debug lines, on stderr, are read back from a file.
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
        qputenv("SANE_DEBUG_OSTRA", "3");
        QCOMPARE(call("init", (SANE_Int*)nullptr, SANE_Auth_Callback()), SANE_STATUS_GOOD);
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
        port = probe.localPort();
    }
    void init() { QCOMPARE(call("open", "", &handle), SANE_STATUS_GOOD); }
    void cleanup()
    {
        call<void>("close", handle);
        QFile::remove(picturePath);
        QVERIFY(!portBound(port));
    }

    // A scan without a picture ends with the reason, in the call that waited (sane_read when a
    // saved picture gave the size to announce); the port is freed and the next scan works.
    void failures_data()
    {
        QTest::addColumn<QByteArray>("event");   // a datagram, "" for none, or what happens
        QTest::addColumn<QByteArray>("picture"); // null: a good one; empty: none at all
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("endedIn");
        QTest::addColumn<QByteArray>("debugLine");
        const int cancelled = SANE_STATUS_CANCELLED, broken = SANE_STATUS_IO_ERROR;
        const QByteArray good, path = "[ostra] picture \"" + dir.filePath("scan.png").toUtf8();
        const auto row = [](const char* rule, const char* event, const QByteArray& picture,
                            int status, const char* call, const QByteArray& line) {
            QTest::newRow(rule) << QByteArray(event) << picture << status << QByteArray(call)
                                << line;
        };
        row("\"1000\" before a picture: given up", "1000", good, cancelled, "read",
            "closed (\"1000\"): scan given up");
        row("the wait runs out: given up", "", good, cancelled, "read",
            "within 1 s: scan given up");
        row("the port held elsewhere: busy", "held", good, SANE_STATUS_DEVICE_BUSY, "start",
            "is held");
        row("a missing picture", "1001", "", broken, "start", path);
        row("not a picture", "1001", "no picture at all", broken, "start", path);
        row("a header claiming 60000 x 60000 pixels", "1001", "P5\n60000 60000\n255\n\x01\x02",
            broken, "start", path);
        row("a picture of another size than announced", "resized", good, broken, "read",
            "the scan announced 5 x 7");
    }
    void failures()
    {
        QFETCH(QByteArray, event);
        QFETCH(QByteArray, picture);
        QFETCH(int, status);
        QFETCH(QByteArray, endedIn);
        QFETCH(QByteArray, debugLine);
        if (picture.isNull())
            QVERIFY(cv::imwrite(picturePath.toStdString(), pattern()));
        else if (!picture.isEmpty())
            writeFile(picturePath, picture);
        configure(1);
        QUdpSocket holder;
        QVERIFY(event != "held" || holder.bind(QHostAddress(QHostAddress::LocalHost), quint16(port),
                                               QUdpSocket::ShareAddress));
        const qint64 logged = debugOutput().size();
        QCOMPARE(scan(event), qMakePair(SANE_Status(status), endedIn));
        QVERIFY2(debugOutput().mid(logged).contains(debugLine), debugOutput().mid(logged));
        call<void>("cancel", handle);
        holder.close();
        QTRY_VERIFY(!portBound(port));
        QVERIFY(cv::imwrite(picturePath.toStdString(), pattern()));
        configure();
        // A picture that came at another size is the next scan's at once.
        QCOMPARE(scan(event == "resized" ? "" : "1001").first, SANE_STATUS_GOOD);
    }

    // A held picture goes stale with the wait (the time passing is the test's input).
    void aHeldPictureIsOnlyForAScanRightAfter()
    {
        QVERIFY(cv::imwrite(picturePath.toStdString(), pattern()));
        configure(1);
        QCOMPARE(scan("resized").first, SANE_STATUS_IO_ERROR);
        call<void>("cancel", handle);
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        QCOMPARE(scan(""), qMakePair(SANE_STATUS_CANCELLED, QByteArray("read")));
        QVERIFY(debugOutput().contains("came more than 1 s ago: not handed over"));
    }
};

QTEST_GUILESS_MAIN(TestSaneBackend)
#include "tst_sanebackend.moc"
