#include "imaging/cvs.h"
#include "imaging/picturefile.h"
#include "tests/support/procstats.h"

#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

#include <sys/resource.h>

#include <csignal>

namespace {

std::vector<unsigned char> bytesOf(const QByteArray& text)
{
    return {text.begin(), text.end()};
}

// A binary grey picture file, all pixels mid-grey.
std::vector<unsigned char> pgm(int width, int height)
{
    return bytesOf(QStringLiteral("P5\n%1 %2\n255\n").arg(width).arg(height).toLatin1() +
                   QByteArray(width * height, '\x80'));
}

} // namespace

class TestImaging final : public QObject
{
    Q_OBJECT

private slots:
    // A view into a wider matrix has rows longer than its width; a row that starts anywhere
    // but where the matrix says shears the picture. Row y is lit in column y only.
    void matricesConvertWithoutShearing_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("format");
        QTest::addColumn<bool>("shared"); // the image shows the matrix's own pixels
        QTest::addColumn<QColor>("lit");
        QTest::newRow("8-bit grey")
            << CV_8UC1 << int(QImage::Format_Grayscale8) << true << QColor(200, 200, 200);
        QTest::newRow("16-bit grey keeps its low byte")
            << CV_16UC1 << int(QImage::Format_Grayscale16) << true
            << QColor::fromRgba64(40001, 40001, 40001);
        QTest::newRow("Blue stays blue: three channels are swapped into an image of their own")
            << CV_8UC3 << int(QImage::Format_RGB888) << false << QColor(10, 20, 200);
        QTest::newRow("Four channels")
            << CV_8UC4 << int(QImage::Format_ARGB32) << true << QColor(10, 20, 200);
    }
    void matricesConvertWithoutShearing()
    {
        QFETCH(int, type);
        QFETCH(int, format);
        QFETCH(bool, shared);
        QFETCH(QColor, lit);
        cv::Mat wide(4, 7, type, cv::Scalar(0, 0, 0, 255)); // opaque black
        for (int y = 0; y < wide.rows; ++y)                 // blue, green, red in the matrix
            wide(cv::Rect(y, y, 1, 1))
                .setTo(type == CV_16UC1 ? cv::Scalar(40001) : cv::Scalar(200, 20, 10, 255));
        cv::Mat view = wide(cv::Rect(0, 0, 5, 4));
        const QImage image = CVS::cvMatToQImage(view);
        QCOMPARE(int(image.format()), format);
        QCOMPARE(image.constBits() == view.ptr(), shared);
        if (!shared) { // must not point into the matrix
            view.release();
            wide.release();
        }
        QCOMPARE(image.size(), QSize(5, 4));
        for (int y = 0; y < 4; ++y) {
            for (int x = 0; x < 5; ++x)
                QCOMPARE(image.pixelColor(x, y), x == y ? lit : QColor(Qt::black));
        }
    }

    void otherMatricesGiveANullImage()
    {
        const int sizes[] = {2, 2, 2};
        for (const cv::Mat& other : {cv::Mat(2, 2, CV_32FC1, cv::Scalar(0.5)),
                                     cv::Mat(3, sizes, CV_8UC1, cv::Scalar(0))}) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("image type not handled"));
            QVERIFY(CVS::cvMatToQImage(other).isNull());
        }
        QVERIFY(CVS::cvMatToQImage(cv::Mat()).isNull());
    }

    void decodeKeepsSixteenBitsAndMakesColourGrey()
    {
        std::vector<uchar> png;
        QVERIFY(cv::imencode(".png", cv::Mat(20, 30, CV_16UC1, cv::Scalar(40000)), png));
        const cv::Mat decoded = decodePicture(png);
        QCOMPARE(decoded.depth(), CV_16U);
        QCOMPARE(decoded.at<ushort>(3, 4), ushort(40000));
        QVERIFY(cv::imencode(".png", cv::Mat(8, 8, CV_8UC3, cv::Scalar(10, 200, 30)), png));
        QCOMPARE(decodePicture(png).channels(), 1);
        QVERIFY(decodePicture(bytesOf("not a picture at all")).empty());
        QVERIFY(decodePicture(bytesOf(QByteArray("\x89PNG\r\n\x1a\n", 8))).empty());
    }

    // A header alone would make the decoder allocate what it claims.
    void claimedGiantsAreRefusedBeforeTheyAllocate()
    {
        const qint64 before = residentKiB();
        QVERIFY(decodePicture(bytesOf("P5\n32768 32768\n65535\n\x01\x02")).empty());
        QVERIFY(decodePicture(pgm(4097, 4096)).empty());
        QVERIFY(residentKiB() - before < 200 * 1024);
        QCOMPARE(decodePicture(pgm(4096, 4096)).rows, 4096);
        QVERIFY(!cv::Mat(5000, 5000, CV_8UC1).empty()); // the bound holds only while decoding
    }

    // The file is always a whole picture, the old or the new one.
    void failedWritesLeaveTheEarlierPicture()
    {
        QTemporaryDir dir;
        const cv::Mat picture(40, 50, CV_16UC1, cv::Scalar(1234));
        QString error;
        const QString path = dir.filePath(QStringLiteral("scan.png"));
        QVERIFY(writePictureFile(picture, path, error));
        QCOMPARE(cv::imread(path.toStdString(), cv::IMREAD_ANYDEPTH).at<ushort>(0, 0),
                 ushort(1234));
        for (const QString& bad : {dir.filePath("scan"), dir.filePath("scan.xyz"), QString(),
                                   dir.filePath("no/s.png")}) {
            QVERIFY2(!writePictureFile(picture, bad, error), qPrintable(bad));
            QVERIFY(!error.isEmpty());
        }
        QVERIFY(!writePictureFile(cv::Mat(), path, error));
        // A disk that fills in the middle of the new picture.
        cv::Mat noise(300, 300, CV_16UC1);
        cv::randu(noise, 0, 65535);
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit was{}, full{};
        getrlimit(RLIMIT_FSIZE, &was);
        full = {32 * 1024, was.rlim_max};
        setrlimit(RLIMIT_FSIZE, &full);
        const bool written = writePictureFile(noise, path, error);
        setrlimit(RLIMIT_FSIZE, &was);
        QVERIFY(!written);
        const cv::Mat kept = cv::imread(path.toStdString(), cv::IMREAD_ANYDEPTH);
        QVERIFY(!kept.empty());
        QCOMPARE(kept.at<ushort>(0, 0), ushort(1234));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"scan.png"});
    }
};

QTEST_GUILESS_MAIN(TestImaging)
#include "tst_imaging.moc"
