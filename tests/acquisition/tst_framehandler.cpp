#include "acquisition/picturepipeline.h"
#include "acquisition/widget.h"
#include "common/settings.h"
#include "quorimage/quorimage.h"
#include "tests/support/windowfixture.h"
#include "tools/scannersim/scannersimulator.h"
#include "tools/scannersim/syntheticpicture.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

#include <cstring>

namespace {

const QString kIp = QStringLiteral("192.168.137.45");

bool same(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

const QByteArray kLeft = "pushButton_roateLeft90", kRight = "pushButton_rotateRight90";
const QByteArray kHorizontal = "pushButton_filpHorizontal", kVertical = "pushButton_filpVertical";

OstraInfo record(int status, const QByteArray& data = {}, qint64 queuedAt = 0,
                 const QString& ip = kIp)
{
    return {ip, kScannerPort, status, {data.begin(), data.end()}, 0.02f, queuedAt};
}

// Hands a record of the selected scanner to the frame handler.
void deliver(Widget& window, int status, const QByteArray& data = {})
{
    window.dispatchRecords({record(status, data)});
}

cv::Mat initialised(const QByteArray& bytes)
{
    int level = 0;
    return quor_InitOstraImg(
        cv::imdecode(std::vector<uchar>(bytes.begin(), bytes.end()), cv::IMREAD_ANYDEPTH), level);
}

QStringList boxes(bool close = false)
{
    QStringList texts;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            texts.append(close && box->close() ? QString() : box->text());
    return texts;
}

void click(Widget& window, const char* name)
{
    QTest::mouseClick(window.findChild<QAbstractButton*>(QLatin1String(name)), Qt::LeftButton);
}

// The picture as the named button must leave it, moved pixel by pixel here so that the
// expectation does not come from the library the window calls.
cv::Mat oriented(const cv::Mat& m, const QByteArray& button)
{
    const bool turn = button.endsWith("90");
    cv::Mat out(turn ? m.cols : m.rows, turn ? m.rows : m.cols, m.type());
    for (int r = 0; r < out.rows; ++r) {
        for (int c = 0; c < out.cols; ++c) {
            cv::Point from(c, m.rows - 1 - r); // vertical mirror: top to bottom
            if (button == kLeft)
                from = {m.cols - 1 - r, c};
            else if (button == kRight)
                from = {r, m.rows - 1 - c};
            else if (button == kHorizontal)
                from = {m.cols - 1 - c, r};
            std::memcpy(out.ptr(r, c), m.ptr(from.y, from.x), m.elemSize());
        }
    }
    return out;
}

// QSKIP returns from the function it stands in, so this is a macro.
#define NEED_TEST_NET()                                                                            \
    if (qEnvironmentVariableIsEmpty("OSTRA_TEST_NET"))                                             \
    QSKIP("needs the private test network: run through tests/support/run-in-test-net.sh")

} // namespace

class TestFrameHandler final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    std::unique_ptr<WindowFixture> fixture;
    QByteArray png16, png8;
    QUdpSocket listener;

    // A shown window with its own configuration, the test scanner selected.
    std::unique_ptr<Widget> open(const QString& picture, bool autoSave = false, int mode = 0)
    {
        static int serial = 0;
        overrideConfigFilePath(dir.filePath(QStringLiteral("config%1.ini").arg(++serial)));
        writeSetting(QStringLiteral("UDP/Port"), QString::number(listener.localPort()));
        writeSetting(QStringLiteral("IMAHE/ImageScanPth"), picture);
        writeSetting(QStringLiteral("IMAHE/AutoSave"), QString::number(autoSave));
        writeSetting(QStringLiteral("IMAHE/ProType"), QString::number(mode));
        auto w = fixture->make();
        w->show();
        w->syncDeviceSelector({kIp});
        return w;
    }

    // The datagrams that have come, after waiting for at least `count` of them.
    QByteArrayList datagrams(int count = 0)
    {
        QByteArrayList received;
        (void)QTest::qWaitFor(
            [&] {
                while (listener.hasPendingDatagrams())
                    received.append(listener.receiveDatagram().data());
                return received.size() >= count;
            },
            20000);
        return received;
    }

    // A window that finds the simulated scanner at address and has it selected.
    std::unique_ptr<Widget> simulated(ScannerSimulator& scanner, const QString& address)
    {
        if (!scanner.start(QHostAddress(address), kScannerPort))
            return nullptr;
        fixture->listScanners({address});
        auto w = open(QString());
        w->syncDeviceSelector({});
        auto* combo = w->findChild<QComboBox*>(QStringLiteral("comboBox_wifi"));
        if (!QTest::qWaitFor([&] { return combo->currentText() == address; }, 10000))
            return nullptr;
        return w;
    }

    static QList<int> shownWidths(const QSignalSpy& shown)
    {
        QList<int> widths;
        for (const auto& arguments : shown)
            widths.append(arguments.at(0).value<PicturePipeline::Shown>().source.cols);
        return widths;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        fixture = std::make_unique<WindowFixture>();
        QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0));
        png16 = syntheticPicture(300, 200, 16, ".png", 1);
        png8 = syntheticPicture(160, 120, 8, ".png", 2);
    }

    void cleanupTestCase() { fixture.reset(); }
    void init() { datagrams(); }
    void cleanup() { boxes(true); }

    // Each reply code's effect on the icon; the failure codes change nothing.
    void replyCodesSetTheIcon()
    {
        auto w = open(QString());
        const QList<int> codes = {17,
                                  18,
                                  DEVICE_CONNECT_ERROR,
                                  16,
                                  DEVICE_RECV_ERROR,
                                  DEVICE_RECV_IMAGE_ERROR,
                                  DEVICE_DATA_RECV_FAIL};
        const QStringList icons = {"21).png", "1).gif",  "1).gif", "22).png",
                                   "22).png", "22).png", "22).png"};
        for (int i = 0; i < codes.size(); ++i) {
            deliver(*w, codes[i]);
            const QString sheet = w->findChild<QLabel*>("label_device_state")->styleSheet();
            QVERIFY2(sheet.contains(icons[i]), qPrintable(QString::number(codes[i])));
        }
    }

    // Bytes that are no picture are reported, never shown, and never pile boxes up.
    void noPictureKeepsThePreviousOneAndTellsOnceAtATime()
    {
        auto w = open(QString());
        QSignalSpy shown(w->pipeline(), &PicturePipeline::shown);
        QSignalSpy failed(w->pipeline(), &PicturePipeline::failed);
        deliver(*w, REPLY_IMAGE, png8);
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 1, 20000);
        const cv::Mat before = w->shownPicture();
        deliver(*w, REPLY_IMAGE_EXT, QByteArray(5000, '\x13'));
        deliver(*w, REPLY_IMAGE, QByteArray());
        QTRY_COMPARE(failed.size(), 2);
        QCOMPARE(boxes(), QStringList{QStringLiteral("Image acquisition failed!")});
        QCOMPARE(w->shownPicture().data, before.data);
        boxes(true);
        deliver(*w, REPLY_IMAGE, QByteArray("\x89PNG\r\n\x1a\n", 8));
        QTRY_COMPARE(boxes(), QStringList{QStringLiteral("Image acquisition failed!")});
    }

    // Each kind of picture is shown; turns and mirrors then work on the picture on screen,
    // one after the other, never on the source. The example checks the expectation itself
    // on [1 2 3; 4 5 6].
    void picturesAreShownAndTurnedPixelByPixel_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArrayList>("clicks");
        QTest::addColumn<QList<int>>("want");
        cv::Mat grey(90, 70, CV_16UC1);
        cv::randu(grey, 0, 65535);
        std::vector<uchar> greyPng;
        cv::imencode(".png", grey, greyPng);
        QTest::newRow("16-bit colour, left: [3 6; 2 5; 1 4]")
            << png16 << QByteArrayList{kLeft} << QList<int>{3, 6, 2, 5, 1, 4};
        QTest::newRow("8-bit colour, right: [4 1; 5 2; 6 3]")
            << png8 << QByteArrayList{kRight} << QList<int>{4, 1, 5, 2, 6, 3};
        QTest::newRow("16-bit grey, left to right: [3 2 1; 6 5 4]")
            << QByteArray(reinterpret_cast<const char*>(greyPng.data()), int(greyPng.size()))
            << QByteArrayList{kHorizontal} << QList<int>{3, 2, 1, 6, 5, 4};
        QTest::newRow("top to bottom: [4 5 6; 1 2 3]")
            << png8 << QByteArrayList{kVertical} << QList<int>{4, 5, 6, 1, 2, 3};
        QTest::newRow("left, then top to bottom: [1 4; 2 5; 3 6]")
            << png8 << QByteArrayList{kLeft, kVertical} << QList<int>{1, 4, 2, 5, 3, 6};
    }
    void picturesAreShownAndTurnedPixelByPixel()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArrayList, clicks);
        QFETCH(QList<int>, want);
        cv::Mat example = (cv::Mat_<int>(2, 3) << 1, 2, 3, 4, 5, 6);
        for (const QByteArray& button : clicks)
            example = oriented(example, button);
        QCOMPARE(QList<int>(example.begin<int>(), example.end<int>()), want);

        auto w = open(QString());
        QSignalSpy shown(w->pipeline(), &PicturePipeline::shown);
        deliver(*w, REPLY_IMAGE, bytes);
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 1, 20000);
        const cv::Mat original = w->sourcePicture();
        QVERIFY(same(original, initialised(bytes)));
        cv::Mat expected = original.clone();
        for (const QByteArray& button : clicks) {
            click(*w, button);
            expected = oriented(expected, button);
        }
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 1 + clicks.size(), 20000);
        QVERIFY(same(w->shownPicture(), expected));
        QVERIFY(same(w->sourcePicture(), initialised(bytes)));
        const QSize label = w->findChild<QLabel*>("label_image")->pixmap(Qt::ReturnByValue).size();
        QCOMPARE(label.width() > label.height(), expected.cols > expected.rows);
    }

    // A failed write must not tell the data source to take the file: it would hand on the
    // previous patient's picture. The warning comes once, and again after a save worked.
    void failedSaveSendsNothingAndWarnsOncePerFailure()
    {
        const QString folder = dir.filePath(QStringLiteral("blocked"));
        auto w = open(folder + QStringLiteral("/scan.png"), true);
        QSignalSpy failures(w->pipeline(), &PicturePipeline::saveFailed);
        // A plain file in the folder's place refuses every write, even to root.
        const auto block = [&](bool blocked) {
            QDir(folder).removeRecursively();
            QFile::remove(folder);
            QFile blocker(folder);
            return blocked ? blocker.open(QIODevice::WriteOnly) : QDir().mkpath(folder);
        };
        const QList<QPair<bool, int>> steps = {{true, 1}, {true, 0}, {false, 0}, {true, 1}};
        for (const auto& [blocked, warnings] : steps) {
            const int failed = failures.size();
            QVERIFY(block(blocked));
            deliver(*w, REPLY_IMAGE, png8);
            if (blocked)
                QTRY_COMPARE(failures.size(), failed + 1);
            else
                QCOMPARE(datagrams(1), QByteArrayList{"1001"});
            QCOMPARE(boxes(true).size(), warnings);
        }
        QVERIFY(w->close());
        QCOMPARE(datagrams(1), QByteArrayList{"1000"});
        QFile::remove(folder);
    }

    // Pictures that come faster than they are processed queue up: every one is shown,
    // saved and notified, in the order they came, and the newest stays on screen.
    void picturesFasterThanProcessingAreAllShownSavedAndNotifiedInOrder()
    {
        const QString path = dir.filePath(QStringLiteral("auto/scan.png"));
        auto w = open(path, true, 2);
        QSignalSpy shown(w->pipeline(), &PicturePipeline::shown);
        QSignalSpy saved(w->pipeline(), &PicturePipeline::saved);
        const QList<int> widths = {640, 320, 480, 200, 560};
        w->syncDeviceSelector({QStringLiteral("192.168.137.50"), kIp});
        for (int i = 0; i < widths.size(); ++i) {
            // Of a batch, only the first record of the selected scanner counts.
            w->dispatchRecords({record(REPLY_IMAGE, png16, 0, QStringLiteral("192.168.137.50")),
                                record(i % 2 ? REPLY_IMAGE_EXT : REPLY_IMAGE,
                                       syntheticPicture(widths[i], 300, 16, ".png", i), 100 + i),
                                record(REPLY_IMAGE, png8)});
            deliver(*w, REPLY_STATE_LIT);
        }
        QCOMPARE(datagrams(5), (QByteArrayList{"1001", "1001", "1001", "1001", "1001"}));
        QList<qint64> savedOrder;
        for (const auto& arguments : saved)
            savedOrder.append(arguments.at(0).toLongLong());
        QCOMPARE(shownWidths(shown), widths);
        QCOMPARE(savedOrder, (QList<qint64>{100, 101, 102, 103, 104}));
        QCOMPARE(w->sourcePicture().cols, widths.last());
        QVERIFY(
            same(cv::imread(path.toStdString(), cv::IMREAD_ANYDEPTH), quor_HD(w->sourcePicture())));

        // Closing mid-picture: those handed over are saved whole and told before the close.
        QByteArray last;
        for (int i = 0; i < 3; ++i)
            deliver(*w, REPLY_IMAGE, last = syntheticPicture(1500, 2000, 16, ".png", i));
        QVERIFY(w->close());
        w.reset();
        QCOMPARE(datagrams(4), (QByteArrayList{"1001", "1001", "1001", "1000"}));
        QVERIFY(
            same(cv::imread(path.toStdString(), cv::IMREAD_ANYDEPTH), quor_HD(initialised(last))));
        QCOMPARE(QDir(dir.filePath("auto")).entryList(QDir::Files), QStringList{"scan.png"});
    }

    // A turn or a mode asked for while a picture is in work lands on that picture, shown and
    // saved. A mode starts again from the source: no enhancement on top of the last one, and
    // turns dropped.
    void aTurnOrModeDuringProcessingLandsOnThePictureInWork_data()
    {
        QTest::addColumn<QByteArrayList>("clicks");
        QTest::newRow("turn") << QByteArrayList{kLeft};
        QTest::newRow("mode") << QByteArrayList{"radioButton_ultraHD"};
        QTest::newRow("turn, then mode") << QByteArrayList{kLeft, "radioButton_ultraHD"};
    }
    void aTurnOrModeDuringProcessingLandsOnThePictureInWork()
    {
        QFETCH(QByteArrayList, clicks);
        const QString path = dir.filePath(QStringLiteral("inwork/scan.png"));
        auto w = open(path, false, 1);
        QSignalSpy shown(w->pipeline(), &PicturePipeline::shown);
        deliver(*w, REPLY_IMAGE, png8);
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 1, 20000);
        const QByteArray next = syntheticPicture(1200, 900, 16, ".png", 7);
        deliver(*w, REPLY_IMAGE, next);
        const cv::Mat source = initialised(next);
        cv::Mat expected = quor_Fine(source);
        for (const QByteArray& button : clicks) {
            click(*w, button);
            expected = button.startsWith("radio") ? quor_HD(source) : oriented(expected, button);
        }
        click(*w, "pushButton_image_save");
        QCOMPARE(datagrams(1), QByteArrayList{"1001"});
        QVERIFY(same(w->shownPicture(), expected));
        QVERIFY(same(cv::imread(path.toStdString(), cv::IMREAD_ANYDEPTH), expected));
        QCOMPARE(readSetting("IMAHE/ProType"), clicks.last().startsWith("radio") ? "2" : "1");
        QCOMPARE(QDir(dir.filePath("inwork")).entryList(QDir::Files), QStringList{"scan.png"});
    }

    // Without a picture path, or with nothing yet to save, nothing is told but the close.
    void noFileNoNotice()
    {
        auto w = open(QString(), true);
        click(*w, "pushButton_image_save");
        QSignalSpy failures(w->pipeline(), &PicturePipeline::saveFailed);
        deliver(*w, REPLY_IMAGE, png8);
        QTRY_COMPARE(failures.size(), 1);
        QVERIFY(w->close());
        QCOMPARE(datagrams(1), QByteArrayList{"1000"});
    }

    // Through the real tick, links and a simulated scanner: the command request goes once,
    // to the selected scanner, only when the very first record is a dim state.
    void commandRequestFollowsAFirstDimState_data()
    {
        QTest::addColumn<QList<int>>("states");
        QTest::addColumn<int>("commands");
        QTest::newRow("first is dim") << QList<int>{16, 16, 17, 16} << 1;
        QTest::newRow("first is lit") << QList<int>{17, 16, 16} << 0;
    }
    void commandRequestFollowsAFirstDimState()
    {
        NEED_TEST_NET();
        QFETCH(QList<int>, states);
        QFETCH(int, commands);
        ScannerSimulator scanner;
        QList<ScannerReply> script;
        for (int state : states)
            script.append(ScannerReply::status(state));
        scanner.setScript(script);
        scanner.setDefaultReply(ScannerReply::status(REPLY_STATE_DIM));
        auto w = simulated(scanner, QStringLiteral("192.168.137.100"));
        // Some dim polls past the script, each a chance for a wrong command request.
        QTRY_VERIFY_WITH_TIMEOUT(scanner.requests().size() >= states.size() + commands + 3, 15000);
        int sent = 0;
        for (const auto& request : scanner.requests())
            sent += request.code == REQUEST_COMMAND;
        QCOMPARE(sent, commands);
        fixture->listScanners({});
    }

    // With the tick stopped, the selected scanner's pictures still reach the window: its
    // link hands each one over as it queues it.
    void picturesAreHandedOverWithoutWaitingForTheTick()
    {
        NEED_TEST_NET();
        ScannerSimulator scanner;
        scanner.setDefaultReply(ScannerReply::image(png8));
        auto w = simulated(scanner, QStringLiteral("192.168.137.101"));
        for (QTimer* timer : w->findChildren<QTimer*>())
            if (timer->interval() == 500)
                timer->stop();
        QSignalSpy shown(w->pipeline(), &PicturePipeline::shown);
        QTRY_VERIFY_WITH_TIMEOUT(shown.size() >= 3, 15000);
        fixture->listScanners({});
    }
};

QTEST_MAIN(TestFrameHandler)
#include "tst_framehandler.moc"
