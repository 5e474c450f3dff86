#include "acquisition/picturepipeline.h"
#include "acquisition/widget.h"
#include "common/settings.h"
#include "quorimage/quorimage.h"
#include "tests/support/windowfixture.h"
#include "tools/scannersim/scannersimulator.h"
#include "tools/scannersim/syntheticpicture.h"

#include "ui_widget.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkDatagram>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

namespace {

bool same(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

OstraInfo record(const QString& ip, int status, const QByteArray& data = {}, qint64 queuedAt = 0)
{
    OstraInfo info;
    info.ip = ip;
    info.port = kScannerPort;
    info.status = status;
    info.data.assign(data.begin(), data.end());
    info.queuedAtMs = queuedAt;
    return info;
}

cv::Mat initialised(const QByteArray& bytes)
{
    int level = 0;
    return quor_InitOstraImg(
        cv::imdecode(std::vector<uchar>(bytes.begin(), bytes.end()), cv::IMREAD_ANYDEPTH), level);
}

QStringList openBoxes()
{
    QStringList texts;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            texts.append(box->text());
    return texts;
}

void closeBoxes()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget))
            box->close();
}

void click(Widget& window, const char* name)
{
    QTest::mouseClick(window.findChild<QAbstractButton*>(QLatin1String(name)), Qt::LeftButton);
}

// NEED_TEST_NET: QSKIP returns from the function it stands in, so this is a macro.
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
    QByteArray png16;
    QByteArray png8;
    QUdpSocket listener;

    void configure(const QString& picture, bool autoSave = false, int proType = 0)
    {
        static int serial = 0;
        overrideConfigFilePath(dir.filePath(QStringLiteral("config%1.ini").arg(++serial)));
        writeSetting(QStringLiteral("UDP/Port"), QString::number(listener.localPort()));
        writeSetting(QStringLiteral("IMAHE/ImageScanPth"), picture);
        writeSetting(QStringLiteral("IMAHE/AutoSave"),
                     autoSave ? QStringLiteral("1") : QStringLiteral("0"));
        writeSetting(QStringLiteral("IMAHE/ProType"), QString::number(proType));
    }

    std::unique_ptr<Widget> window()
    {
        auto w = fixture->make();
        w->show();
        return w;
    }

    static void deliver(Widget& window, const OstraInfo& info)
    {
        QVERIFY(QMetaObject::invokeMethod(&window, "reveiveClientCom", Qt::DirectConnection,
                                          Q_ARG(OstraInfo, info)));
    }

    static void select(Widget& window, const QString& address)
    {
        window.syncDeviceSelector({address});
        QCOMPARE(window.findChild<QComboBox*>(QStringLiteral("comboBox_wifi"))->currentText(),
                 address);
    }

    // The datagrams that have come, after waiting for at least `count` of them.
    QByteArrayList datagrams(int count = 0)
    {
        QByteArrayList received;
        QDeadlineTimer deadline(20000);
        for (;;) {
            while (listener.hasPendingDatagrams())
                received.append(listener.receiveDatagram().data());
            if (received.size() >= count || deadline.hasExpired())
                return received;
            QTest::qWait(10);
        }
    }

    // Waits until the pipeline has shown `count` states since the spy was made.
    static void settle(QSignalSpy& shown, int count)
    {
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), count, 20000);
    }

    static QString iconSheet(Widget& window)
    {
        return window.findChild<QLabel*>(QStringLiteral("label_device_state"))->styleSheet();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        fixture = std::make_unique<WindowFixture>();
        QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0));
        png16 = syntheticPicture(300, 200, 16, QStringLiteral(".png"), 1);
        png8 = syntheticPicture(160, 120, 8, QStringLiteral(".png"), 2);
        QVERIFY(!png16.isEmpty() && !png8.isEmpty());
    }

    void cleanupTestCase() { fixture.reset(); }

    void init() { datagrams(); }
    void cleanup() { closeBoxes(); }

    void statusRecordsSetTheIcon()
    {
        configure(QString());
        auto w = window();
        select(*w, QStringLiteral("192.168.137.45"));
        const QString ip = QStringLiteral("192.168.137.45");
        deliver(*w, record(ip, REPLY_STATE_LIT));
        QVERIFY(iconSheet(*w).contains(QLatin1String("1 (21).png")));
        deliver(*w, record(ip, REPLY_STATE_ANIMATED));
        QVERIFY(iconSheet(*w).contains(QLatin1String("1 (1).gif")));
        deliver(*w, record(ip, DEVICE_RECV_IMAGE_ERROR));
        QVERIFY(iconSheet(*w).contains(QLatin1String("1 (1).gif"))); // failures leave it
        deliver(*w, record(ip, REPLY_STATE_DIM));
        QVERIFY(iconSheet(*w).contains(QLatin1String("1 (22).png")));
        QVERIFY(iconSheet(*w).startsWith(QLatin1String("QLabel#label_device_state{")));
    }

    void pictureIsInitialisedShownAndArmsTheTools()
    {
        configure(QString());
        auto w = window();
        const QString ip = QStringLiteral("192.168.137.45");
        select(*w, ip);
        QSignalSpy shown(w->pipeline(), &PicturePipeline::shown);
        for (const char* name : {"pushButton_image_save", "pushButton_roateLeft90"})
            QVERIFY(!w->findChild<QPushButton*>(QLatin1String(name))->isEnabled());
        deliver(*w, record(ip, REPLY_IMAGE, png16));
        settle(shown, 1);

        QVERIFY(same(w->sourcePicture(), initialised(png16)));
        QCOMPARE(w->shownPicture().data, w->sourcePicture().data); // mode 0 shares the pixels
        QCOMPARE(w->shownPicture().depth(), CV_16U);
        const QPixmap picture =
            w->findChild<QLabel*>(QStringLiteral("label_image"))->pixmap(Qt::ReturnByValue);
        QCOMPARE(picture.size(), QSize(300, 200)); // fits 300 x 410, aspect kept
        QVERIFY(!w->findChild<QLabel*>(QStringLiteral("label_luminance"))
                     ->pixmap(Qt::ReturnByValue)
                     .isNull());
        for (const char* name :
             {"pushButton_image_save", "pushButton_roateLeft90", "pushButton_filpVertical",
              "pushButton_rotateRight90", "pushButton_filpHorizontal"})
            QVERIFY2(w->findChild<QPushButton*>(QLatin1String(name))->isEnabled(), name);
        QVERIFY(w->findChild<QPushButton*>(QStringLiteral("pushButton_roateLeft90"))
                    ->styleSheet()
                    .contains(QLatin1String(
                        "QPushButton:hover{\n\tborder-image: url(:/images/1 (26).png);")));
    }

    // Bytes that are no picture are reported, never shown, and never pile boxes up.
    void noPictureKeepsThePreviousOneAndTellsOnceAtATime()
    {
        configure(QString());
        auto w = window();
        const QString ip = QStringLiteral("192.168.137.45");
        select(*w, ip);
        QSignalSpy shown(w->pipeline(), &PicturePipeline::shown);
        QSignalSpy failed(w->pipeline(), &PicturePipeline::failed);
        deliver(*w, record(ip, REPLY_IMAGE, png8));
        settle(shown, 1);
        const cv::Mat before = w->shownPicture();
        const QRegularExpression diagnostic(QStringLiteral("bytes that are no picture"));
        for (int i = 0; i < 3; ++i)
            QTest::ignoreMessage(QtWarningMsg, diagnostic);
        deliver(*w, record(ip, REPLY_IMAGE_EXT, QByteArray(5000, '\x13')));
        deliver(*w, record(ip, REPLY_IMAGE, QByteArray()));
        QTRY_COMPARE(failed.size(), 2);
        QCOMPARE(openBoxes(), QStringList{QStringLiteral("Image acquisition failed!")});
        QCOMPARE(w->shownPicture().data, before.data);
        QVERIFY(w->findChild<QPushButton*>(QStringLiteral("pushButton_filpVertical"))->isEnabled());
        closeBoxes();
        deliver(*w, record(ip, REPLY_IMAGE, QByteArray("\x89PNG\r\n\x1a\n", 8)));
        QTRY_COMPARE(openBoxes(), QStringList{QStringLiteral("Image acquisition failed!")});
    }

    void luminanceBar_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QColor>("colour"); // blue, green, red as r, g, b of the QColor
        const QColor red(37, 45, 186), orange(0, 149, 254), green(64, 201, 39);
        QTest::newRow("0") << 0 << 2 << red;
        QTest::newRow("20") << 20 << 40 << red;
        QTest::newRow("21") << 21 << 42 << orange;
        QTest::newRow("40") << 40 << 80 << orange;
        QTest::newRow("41") << 41 << 82 << green;
        QTest::newRow("50") << 50 << 100 << green;
        QTest::newRow("61") << 61 << 122 << orange;
        QTest::newRow("81") << 81 << 162 << red;
        QTest::newRow("100") << 100 << 200 << red;
        QTest::newRow("150") << 150 << 198 << red;
    }
    void luminanceBar()
    {
        QFETCH(int, level);
        QFETCH(int, rows);
        QFETCH(QColor, colour);
        const cv::Mat bar = PicturePipeline::drawLuminanceBar(level, 10, 200);
        QCOMPARE(bar.type(), CV_8UC3);
        QCOMPARE(bar.rows, 200);
        QCOMPARE(bar.cols, 10);
        const cv::Vec3b fill(uchar(colour.red()), uchar(colour.green()), uchar(colour.blue()));
        const cv::Vec3b grey(40, 40, 40);
        for (int y = 0; y < 200; ++y) {
            for (int x = 0; x < 10; ++x) {
                const cv::Vec3b pixel = bar.at<cv::Vec3b>(y, x);
                QVERIFY2(pixel == (y >= 200 - rows ? fill : grey),
                         qPrintable(QStringLiteral("row %1").arg(y)));
            }
        }
    }

    void modeChangesStartFromTheSourceAndDropTurns()
    {
        configure(QString(), false, 1);
        auto w = window();
        const QString ip = QStringLiteral("192.168.137.45");
        select(*w, ip);
        QSignalSpy shown(w->pipeline(), &PicturePipeline::shown);
        deliver(*w, record(ip, REPLY_IMAGE, png16));
        settle(shown, 1);
        const cv::Mat source = w->sourcePicture();
        QVERIFY(same(w->shownPicture(), quor_Fine(source)));

        click(*w, "pushButton_roateLeft90");
        settle(shown, 2);
        QCOMPARE(w->shownPicture().cols, source.rows);
        click(*w, "radioButton_ultraHD");
        settle(shown, 3);
        QCOMPARE(w->processingType(), 2);
        QCOMPARE(readSetting(QStringLiteral("IMAHE/ProType")), QStringLiteral("2"));
        QVERIFY(same(w->shownPicture(), quor_HD(source))); // not HD applied to the HD picture
        QVERIFY(same(w->sourcePicture(), source));
        click(*w, "radioButton_hd");
        settle(shown, 4);
        QVERIFY(same(w->shownPicture(), quor_Fine(source)));
    }

    void turnsAndMirrorsComeBackRound_data()
    {
        QTest::addColumn<QStringList>("clicks");
        QTest::addColumn<int>("expected"); // 0 the picture, else the turn or mirror below
        QTest::newRow("left") << QStringList{"pushButton_roateLeft90"} << 1;
        QTest::newRow("right") << QStringList{"pushButton_rotateRight90"} << 2;
        QTest::newRow("horizontal") << QStringList{"pushButton_filpHorizontal"} << 3;
        QTest::newRow("vertical") << QStringList{"pushButton_filpVertical"} << 4;
        QTest::newRow("four lefts")
            << QStringList{"pushButton_roateLeft90", "pushButton_roateLeft90",
                           "pushButton_roateLeft90", "pushButton_roateLeft90"}
            << 0;
        QTest::newRow("left then right")
            << QStringList{"pushButton_roateLeft90", "pushButton_rotateRight90"} << 0;
        QTest::newRow("two vertical mirrors")
            << QStringList{"pushButton_filpVertical", "pushButton_filpVertical"} << 0;
    }
    void turnsAndMirrorsComeBackRound()
    {
        QFETCH(QStringList, clicks);
        QFETCH(int, expected);
        configure(QString());
        auto w = window();
        const QString ip = QStringLiteral("192.168.137.45");
        select(*w, ip);
        QSignalSpy shown(w->pipeline(), &PicturePipeline::shown);
        deliver(*w, record(ip, REPLY_IMAGE, png8));
        settle(shown, 1);
        const cv::Mat original = w->shownPicture().clone();
        for (const QString& name : clicks)
            click(*w, qPrintable(name));
        settle(shown, 1 + clicks.size());
        const cv::Mat outcomes[] = {original, quor_rotate(original, 90), quor_rotate(original, 270),
                                    quor_flip(original, 1), quor_flip(original, 0)};
        QVERIFY(same(w->shownPicture(), outcomes[expected]));
        QVERIFY(same(w->sourcePicture(), original)); // turns never touch the source
        const QPixmap picture =
            w->findChild<QLabel*>(QStringLiteral("label_image"))->pixmap(Qt::ReturnByValue);
        QCOMPARE(picture.width() > picture.height(),
                 outcomes[expected].cols > outcomes[expected].rows);
    }

    void saveWritesWholePicturesByExtensionAndThenNotifies_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("magic");
        QTest::newRow("png") << QStringLiteral("scan.png") << QByteArray("\x89PNG", 4);
        QTest::newRow("jpg") << QStringLiteral("scan.jpg") << QByteArray("\xff\xd8\xff", 3);
        QTest::newRow("bmp") << QStringLiteral("scan.bmp") << QByteArray("BM", 2);
    }
    void saveWritesWholePicturesByExtensionAndThenNotifies()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, magic);
        const QString path = dir.filePath(QStringLiteral("pictures/") + name);
        configure(path);
        auto w = window();
        const QString ip = QStringLiteral("192.168.137.45");
        select(*w, ip);
        QSignalSpy saved(w->pipeline(), &PicturePipeline::saved);
        QSignalSpy shown(w->pipeline(), &PicturePipeline::shown);
        w->pipeline()->save(path);                  // nothing to save yet
        deliver(*w, record(ip, REPLY_IMAGE, png8)); // no auto-save
        settle(shown, 1);
        click(*w, "pushButton_image_save");
        click(*w, "pushButton_roateLeft90");
        click(*w, "pushButton_image_save");
        QCOMPARE(datagrams(2), (QByteArrayList{"1001", "1001"}));
        QCOMPARE(saved.size(), 2);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().startsWith(magic));
        const cv::Mat saved2 = cv::imread(path.toStdString(), cv::IMREAD_ANYDEPTH);
        const cv::Mat turned = quor_rotate(initialised(png8), 90);
        QCOMPARE(saved2.cols, turned.cols); // the later save wrote the turned picture
        if (name.endsWith(QLatin1String("png")))
            QVERIFY(same(saved2, turned));
        // Nothing is left beside the picture.
        QCOMPARE(QDir(dir.filePath(QStringLiteral("pictures"))).entryList(QDir::Files),
                 QStringList{name});
        QFile::remove(path);
    }

    // A failed write must not tell the data source to take the file: it would hand on
    // the previous patient's picture.
    void failedSaveSendsNothingAndWarnsOncePerFailure()
    {
        const QString folder = dir.filePath(QStringLiteral("blocked"));
        const QString path = folder + QStringLiteral("/scan.png");
        QFile::remove(folder);
        QDir(folder).removeRecursively();
        configure(path, true);
        auto w = window();
        // The window made the folder at start; a plain file in its place refuses every
        // write, even to root.
        QVERIFY(QDir(folder).removeRecursively());
        QFile blocker(folder);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString ip = QStringLiteral("192.168.137.45");
        select(*w, ip);
        QSignalSpy failures(w->pipeline(), &PicturePipeline::saveFailed);
        QSignalSpy saved(w->pipeline(), &PicturePipeline::saved);
        const QRegularExpression notSaved(QStringLiteral("Picture not saved"));

        QTest::ignoreMessage(QtWarningMsg, notSaved);
        QTest::ignoreMessage(QtWarningMsg, notSaved);
        deliver(*w, record(ip, REPLY_IMAGE, png8));
        deliver(*w, record(ip, REPLY_IMAGE, png8));
        QTRY_COMPARE(failures.size(), 2);
        QCOMPARE(openBoxes().size(), 1); // told once, and auto-save was not held up

        QVERIFY(QFile::remove(folder));
        QVERIFY(QDir().mkpath(folder));
        deliver(*w, record(ip, REPLY_IMAGE, png8));
        QCOMPARE(datagrams(1), QByteArrayList{"1001"}); // the first datagram is this save's
        QVERIFY(QFile::exists(path));

        closeBoxes();
        QDir(folder).removeRecursively();
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QTest::ignoreMessage(QtWarningMsg, notSaved);
        deliver(*w, record(ip, REPLY_IMAGE, png8));
        QTRY_COMPARE(failures.size(), 3);
        QCOMPARE(openBoxes().size(), 1); // a new failure after a success is told again
        QCOMPARE(saved.size(), 1);
        QFile::remove(folder);
    }

    // Pictures that come faster than they are processed queue up: every one is shown,
    // saved and notified, in the order they came, and the newest stays on screen.
    void picturesFasterThanProcessingAreAllShownSavedAndNotifiedInOrder()
    {
        const QString path = dir.filePath(QStringLiteral("auto/scan.png"));
        configure(path, true, 2);
        auto w = window();
        const QString ip = QStringLiteral("192.168.137.45");
        select(*w, ip);
        QSignalSpy shown(w->pipeline(), &PicturePipeline::shown);
        QSignalSpy saved(w->pipeline(), &PicturePipeline::saved);
        const QList<int> widths = {640, 320, 480, 200, 560};
        for (int i = 0; i < widths.size(); ++i) {
            deliver(*w, record(ip, i % 2 ? REPLY_IMAGE_EXT : REPLY_IMAGE,
                               syntheticPicture(widths[i], 300, 16, QStringLiteral(".png"), i),
                               100 + i));
            deliver(*w, record(ip, REPLY_STATE_LIT));
        }
        QCOMPARE(datagrams(widths.size()),
                 (QByteArrayList{"1001", "1001", "1001", "1001", "1001"}));
        QList<int> shownWidths;
        QList<qint64> savedOrder;
        for (const auto& arguments : shown)
            shownWidths.append(arguments.at(0).value<PicturePipeline::Shown>().source.cols);
        for (const auto& arguments : saved)
            savedOrder.append(arguments.at(0).toLongLong());
        QCOMPARE(shownWidths, widths);
        QCOMPARE(savedOrder, (QList<qint64>{100, 101, 102, 103, 104}));
        QCOMPARE(w->sourcePicture().cols, widths.last());
        const cv::Mat file = cv::imread(path.toStdString(), cv::IMREAD_ANYDEPTH);
        QVERIFY(same(file, quor_HD(w->sourcePicture())));
    }

    // A turn or a mode asked for while a picture is in work lands on that picture, shown
    // and saved, not on the one on screen when it was asked.
    void aTurnOrModeDuringProcessingLandsOnThePictureInWork_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("turn") << QStringLiteral("pushButton_roateLeft90");
        QTest::newRow("mode") << QStringLiteral("radioButton_ultraHD");
    }
    void aTurnOrModeDuringProcessingLandsOnThePictureInWork()
    {
        QFETCH(QString, button);
        const QString path = dir.filePath(QStringLiteral("inwork/scan.png"));
        configure(path);
        auto w = window();
        const QString ip = QStringLiteral("192.168.137.45");
        select(*w, ip);
        QSignalSpy shown(w->pipeline(), &PicturePipeline::shown);
        deliver(*w, record(ip, REPLY_IMAGE, png8));
        settle(shown, 1);
        const QByteArray next = syntheticPicture(1200, 900, 16, QStringLiteral(".png"), 7);
        deliver(*w, record(ip, REPLY_IMAGE, next));
        click(*w, qPrintable(button));
        click(*w, "pushButton_image_save");
        QCOMPARE(datagrams(1), QByteArrayList{"1001"});
        const cv::Mat source = initialised(next);
        const cv::Mat expected =
            button.startsWith(QLatin1String("radio")) ? quor_HD(source) : quor_rotate(source, 90);
        QVERIFY(same(w->shownPicture(), expected));
        QVERIFY(same(cv::imread(path.toStdString(), cv::IMREAD_ANYDEPTH), expected));
    }

    // Closing while pictures are in work: those handed over are finished, each save is told
    // before the close, the close once and last, and nothing is left beside the picture.
    void closingMidPictureEndsCleanly()
    {
        const QString folder = dir.filePath(QStringLiteral("closing"));
        configure(folder + QStringLiteral("/scan.png"), true);
        auto w = window();
        const QString ip = QStringLiteral("192.168.137.45");
        select(*w, ip);
        QByteArray last;
        for (int i = 0; i < 3; ++i) {
            last = syntheticPicture(1500, 2000, 16, QStringLiteral(".png"), i);
            deliver(*w, record(ip, REPLY_IMAGE, last));
        }
        QVERIFY(w->close());
        w.reset();
        QCOMPARE(datagrams(4), (QByteArrayList{"1001", "1001", "1001", "1000"}));
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{QStringLiteral("scan.png")});
        QVERIFY(same(
            cv::imread((folder + QStringLiteral("/scan.png")).toStdString(), cv::IMREAD_ANYDEPTH),
            initialised(last)));
    }

    void autoSaveControlFlipsFromAnAbsentKey()
    {
        configure(QString());
        writeSetting(QStringLiteral("IMAHE/AutoSave"), QString());
        overrideConfigFilePath(dir.filePath(QStringLiteral("absent.ini")));
        QFile::remove(configFilePath());
        auto w = window();
        auto* button = w->findChild<QRadioButton*>(QStringLiteral("radioButton_auto_save"));
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(readSetting(QStringLiteral("IMAHE/AutoSave")), QStringLiteral("1"));
        QVERIFY(button->isChecked());
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(readSetting(QStringLiteral("IMAHE/AutoSave")), QStringLiteral("0"));
        QVERIFY(!button->isChecked());
        QVERIFY(!w->autoSaveEnabled());
    }

    void selectorKeepsOrderWhenSeveralVanish()
    {
        configure(QString());
        auto w = window();
        auto* combo = w->findChild<QComboBox*>(QStringLiteral("comboBox_wifi"));
        const QStringList all = {QStringLiteral("192.168.137.50"), QStringLiteral("192.168.137.51"),
                                 QStringLiteral("192.168.137.52"),
                                 QStringLiteral("192.168.137.53")};
        w->syncDeviceSelector(all);
        QCOMPARE(combo->count(), 4);
        combo->setCurrentIndex(2);
        w->syncDeviceSelector({all.at(0), all.at(2), QStringLiteral("192.168.137.60")});
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items.append(combo->itemText(i));
        QCOMPARE(items, (QStringList{all.at(0), all.at(2), QStringLiteral("192.168.137.60")}));
        QCOMPARE(combo->currentText(), all.at(2));
    }

    void onlyTheSelectedScannersFirstRecordIsHandled()
    {
        configure(QString());
        auto w = window();
        w->syncDeviceSelector({QStringLiteral("192.168.137.50"), QStringLiteral("192.168.137.51")});
        w->dispatchRecords({record(QStringLiteral("192.168.137.51"), REPLY_STATE_ANIMATED),
                            record(QStringLiteral("192.168.137.50"), REPLY_STATE_LIT),
                            record(QStringLiteral("192.168.137.50"), REPLY_STATE_ANIMATED)});
        QVERIFY(iconSheet(*w).contains(QLatin1String("1 (21).png")));
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
        configure(QString());
        ScannerSimulator scanner;
        QList<ScannerReply> script;
        for (int state : states)
            script.append(ScannerReply::status(state));
        scanner.setScript(script);
        scanner.setDefaultReply(ScannerReply::status(REPLY_STATE_DIM));
        QVERIFY(scanner.start(QHostAddress(QStringLiteral("192.168.137.100")), kScannerPort));
        fixture->listScanners({QStringLiteral("192.168.137.100")});
        auto w = window();
        auto* combo = w->findChild<QComboBox*>(QStringLiteral("comboBox_wifi"));
        QTRY_COMPARE_WITH_TIMEOUT(combo->currentText(), QStringLiteral("192.168.137.100"), 10000);
        // The window's ticks pace the scanner, so the event loop must run meanwhile.
        QTRY_VERIFY_WITH_TIMEOUT(scanner.requests().size() >= states.size() + commands + 1, 15000);
        QTest::qWait(600);
        int sent = 0;
        for (const auto& request : scanner.requests())
            sent += request.code == REQUEST_COMMAND;
        QCOMPARE(sent, commands);
        fixture->listScanners({});
        w.reset();
    }

    // With the tick stopped, the selected scanner's pictures still reach the window: its
    // link hands each one over as it queues it.
    void picturesAreHandedOverWithoutWaitingForTheTick()
    {
        NEED_TEST_NET();
        configure(QString());
        const QString address = QStringLiteral("192.168.137.101");
        ScannerSimulator scanner;
        scanner.setDefaultReply(ScannerReply::image(png8));
        QVERIFY(scanner.start(QHostAddress(address), kScannerPort));
        fixture->listScanners({address});
        auto w = window();
        auto* combo = w->findChild<QComboBox*>(QStringLiteral("comboBox_wifi"));
        QTRY_COMPARE_WITH_TIMEOUT(combo->currentText(), address, 10000);
        for (QTimer* timer : w->findChildren<QTimer*>())
            if (timer->interval() == 500)
                timer->stop();
        QSignalSpy shown(w->pipeline(), &PicturePipeline::shown);
        QTRY_VERIFY_WITH_TIMEOUT(shown.size() >= 3, 15000);
        fixture->listScanners({});
        w.reset();
    }
};

QTEST_MAIN(TestFrameHandler)
#include "tst_framehandler.moc"
