#include "acquisition/widget.h"
#include "common/settings.h"
#include "quorimage/quorimage.h"
#include "tests/support/windowfixture.h"
#include "tools/scannersim/scannersimulator.h"
#include "tools/scannersim/syntheticpicture.h"

#include "ui_widget.h"

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

OstraInfo record(const QString& ip, int status, const QByteArray& data = {})
{
    OstraInfo info;
    info.ip = ip;
    info.port = kScannerPort;
    info.status = status;
    info.data.assign(data.begin(), data.end());
    return info;
}

// Accepts every information box that opens and counts them.
class BoxWatcher final : public QObject
{
public:
    BoxWatcher()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(w);
                if (box && box->isVisible()) {
                    texts.append(box->text());
                    box->done(QMessageBox::Ok);
                }
            }
        });
        m_timer.start(20);
    }
    QStringList texts;

private:
    QTimer m_timer;
};

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

    QByteArrayList datagrams(int waitMs = 300)
    {
        QByteArrayList received;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < waitMs) {
            while (listener.hasPendingDatagrams())
                received.append(listener.receiveDatagram().data());
            QTest::qWait(20);
        }
        return received;
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

    void init() { datagrams(0); }

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
        for (const char* name : {"pushButton_image_save", "pushButton_roateLeft90"})
            QVERIFY(!w->findChild<QPushButton*>(QLatin1String(name))->isEnabled());
        deliver(*w, record(ip, REPLY_IMAGE, png16));

        const cv::Mat decoded =
            cv::imdecode(std::vector<uchar>(png16.begin(), png16.end()), cv::IMREAD_ANYDEPTH);
        int level = 0;
        const cv::Mat expected = quor_InitOstraImg(decoded, level);
        QVERIFY(same(w->sourcePicture(), expected));
        QCOMPARE(w->shownPicture().data, w->sourcePicture().data); // mode 0 shares the pixels
        QCOMPARE(w->shownPicture().depth(), CV_16U);
        const QPixmap shown =
            w->findChild<QLabel*>(QStringLiteral("label_image"))->pixmap(Qt::ReturnByValue);
        QCOMPARE(shown.size(), QSize(300, 200)); // fits 300 x 410, aspect kept
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

    void noPictureKeepsThePreviousOne()
    {
        configure(QString());
        auto w = window();
        const QString ip = QStringLiteral("192.168.137.45");
        select(*w, ip);
        deliver(*w, record(ip, REPLY_IMAGE, png8));
        const cv::Mat before = w->shownPicture();
        BoxWatcher boxes;
        deliver(*w, record(ip, REPLY_IMAGE_EXT, QByteArray(5000, '\x13')));
        deliver(*w, record(ip, REPLY_IMAGE, QByteArray()));
        QCOMPARE(boxes.texts, (QStringList{QStringLiteral("Image acquisition failed!"),
                                           QStringLiteral("Image acquisition failed!")}));
        QCOMPARE(w->shownPicture().data, before.data);
        QVERIFY(w->findChild<QPushButton*>(QStringLiteral("pushButton_filpVertical"))->isEnabled());
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
        const cv::Mat bar = Widget::drawLuminanceBar(level, 10, 200);
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
        deliver(*w, record(ip, REPLY_IMAGE, png16));
        const cv::Mat source = w->sourcePicture();
        QVERIFY(same(w->shownPicture(), quor_Fine(source)));

        QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("pushButton_roateLeft90")),
                          Qt::LeftButton);
        QCOMPARE(w->shownPicture().cols, source.rows);
        QTest::mouseClick(w->findChild<QRadioButton*>(QStringLiteral("radioButton_ultraHD")),
                          Qt::LeftButton);
        QCOMPARE(w->processingType(), 2);
        QCOMPARE(readSetting(QStringLiteral("IMAHE/ProType")), QStringLiteral("2"));
        QVERIFY(same(w->shownPicture(), quor_HD(source))); // not HD applied to the HD picture
        QVERIFY(same(w->sourcePicture(), source));
        QTest::mouseClick(w->findChild<QRadioButton*>(QStringLiteral("radioButton_hd")),
                          Qt::LeftButton);
        QVERIFY(same(w->shownPicture(), quor_Fine(source)));
    }

    void turnsAndMirrorsComeBackRound()
    {
        configure(QString());
        auto w = window();
        const QString ip = QStringLiteral("192.168.137.45");
        select(*w, ip);
        deliver(*w, record(ip, REPLY_IMAGE, png8));
        const cv::Mat original = w->shownPicture().clone();
        auto click = [&](const char* name) {
            QTest::mouseClick(w->findChild<QPushButton*>(QLatin1String(name)), Qt::LeftButton);
        };
        click("pushButton_roateLeft90");
        QVERIFY(same(w->shownPicture(), quor_rotate(original, 90)));
        const QPixmap turned =
            w->findChild<QLabel*>(QStringLiteral("label_image"))->pixmap(Qt::ReturnByValue);
        QVERIFY(turned.height() > turned.width());
        for (int i = 0; i < 3; ++i)
            click("pushButton_roateLeft90");
        QVERIFY(same(w->shownPicture(), original));
        click("pushButton_rotateRight90");
        QVERIFY(same(w->shownPicture(), quor_rotate(original, 270)));
        click("pushButton_roateLeft90");
        click("pushButton_filpHorizontal");
        QVERIFY(same(w->shownPicture(), quor_flip(original, 1)));
        click("pushButton_filpHorizontal");
        click("pushButton_filpVertical");
        click("pushButton_filpVertical");
        QVERIFY(same(w->shownPicture(), original));
        QVERIFY(same(w->sourcePicture(), original)); // turns never touch the source
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
        QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("pushButton_image_save")),
                          Qt::LeftButton);
        deliver(*w, record(ip, REPLY_IMAGE, png8));
        QVERIFY(!QFile::exists(path)); // no auto-save
        QCOMPARE(datagrams(200), QByteArrayList());

        QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("pushButton_image_save")),
                          Qt::LeftButton);
        QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("pushButton_roateLeft90")),
                          Qt::LeftButton);
        QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("pushButton_image_save")),
                          Qt::LeftButton);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().startsWith(magic));
        const cv::Mat saved = cv::imread(path.toStdString(), cv::IMREAD_ANYDEPTH);
        QCOMPARE(saved.cols, w->shownPicture().cols); // the later, turned content
        if (name.endsWith(QLatin1String("png")))
            QVERIFY(same(saved, w->shownPicture()));
        QCOMPARE(datagrams(), (QByteArrayList{"1001", "1001"}));
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

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Picture not saved")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Picture not saved")));
        deliver(*w, record(ip, REPLY_IMAGE, png8));
        deliver(*w, record(ip, REPLY_IMAGE, png8));
        auto openBoxes = [] {
            int n = 0;
            for (QWidget* widget : QApplication::topLevelWidgets())
                n += qobject_cast<QMessageBox*>(widget) && widget->isVisible();
            return n;
        };
        QCOMPARE(openBoxes(), 1); // told once, and auto-save was not held up
        QCOMPARE(datagrams(), QByteArrayList());

        QVERIFY(QFile::remove(folder));
        QVERIFY(QDir().mkpath(folder));
        deliver(*w, record(ip, REPLY_IMAGE, png8));
        QVERIFY(QFile::exists(path));
        QCOMPARE(datagrams(), QByteArrayList{"1001"});

        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget))
                box->close();
        QDir(folder).removeRecursively();
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Picture not saved")));
        deliver(*w, record(ip, REPLY_IMAGE, png8));
        QTRY_COMPARE(openBoxes(), 1); // a new failure after a success is told again
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget))
                box->close();
        QFile::remove(folder);
    }

    void autoSaveWritesEveryPictureAfterProcessing()
    {
        const QString path = dir.filePath(QStringLiteral("auto/scan.png"));
        configure(path, true, 2);
        auto w = window();
        const QString ip = QStringLiteral("192.168.137.45");
        select(*w, ip);
        deliver(*w, record(ip, REPLY_IMAGE, png16));
        deliver(*w, record(ip, REPLY_STATE_LIT));
        deliver(*w, record(ip, REPLY_IMAGE, png16));
        QCOMPARE(datagrams(), (QByteArrayList{"1001", "1001"}));
        const cv::Mat saved = cv::imread(path.toStdString(), cv::IMREAD_ANYDEPTH);
        QVERIFY(same(saved, quor_HD(w->sourcePicture())));
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
};

QTEST_MAIN(TestFrameHandler)
#include "tst_framehandler.moc"
