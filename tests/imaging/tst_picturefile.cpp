#include "imaging/picturefile.h"
#include "tests/support/procstats.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

namespace {

std::vector<unsigned char> bytesOf(const QByteArray& text)
{
    return std::vector<unsigned char>(text.begin(), text.end());
}

// A binary grey picture file of width x height, 8-bit, all pixels mid-grey.
std::vector<unsigned char> pgm(int width, int height)
{
    QByteArray file = QStringLiteral("P5\n%1 %2\n255\n").arg(width).arg(height).toLatin1();
    file.append(QByteArray(width * height, '\x80'));
    return bytesOf(file);
}

} // namespace

class TestPictureFile final : public QObject
{
    Q_OBJECT

private slots:
    void decodesGreyKeepingSixteenBits()
    {
        cv::Mat wide(20, 30, CV_16UC1, cv::Scalar(40000));
        std::vector<uchar> png;
        QVERIFY(cv::imencode(".png", wide, png));
        const cv::Mat decoded = decodePicture(png);
        QCOMPARE(decoded.depth(), CV_16U);
        QCOMPARE(decoded.cols, 30);
        QCOMPARE(decoded.at<ushort>(3, 4), ushort(40000));

        cv::Mat colour(8, 8, CV_8UC3, cv::Scalar(10, 200, 30));
        QVERIFY(cv::imencode(".png", colour, png));
        QCOMPARE(decodePicture(png).channels(), 1);
    }

    void noPictureDecodesToNothing()
    {
        QVERIFY(decodePicture({}).empty());
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
        const cv::Mat largest = decodePicture(pgm(4096, 4096));
        QCOMPARE(largest.rows, 4096);
        // The bound is in force only while decoding.
        cv::Mat big(5000, 5000, CV_8UC1);
        QVERIFY(!big.empty());
    }

    void writesWholePicturesByExtensionOnly()
    {
        QTemporaryDir dir;
        const cv::Mat picture(40, 50, CV_16UC1, cv::Scalar(1234));
        QString error;
        const QString path = dir.filePath(QStringLiteral("scan.png"));
        QVERIFY(writePictureFile(picture, path, error));
        QCOMPARE(cv::imread(path.toStdString(), cv::IMREAD_ANYDEPTH).at<ushort>(0, 0),
                 ushort(1234));

        // A failed write leaves the earlier picture as it was.
        QFile before(path);
        QVERIFY(before.open(QIODevice::ReadOnly));
        const QByteArray earlier = before.readAll();
        before.close();
        for (const QString& bad :
             {dir.filePath(QStringLiteral("scan")), dir.filePath(QStringLiteral("scan.xyz")),
              QString(), dir.filePath(QStringLiteral("missing/folder/scan.png"))}) {
            QVERIFY2(!writePictureFile(picture, bad, error), qPrintable(bad));
            QVERIFY(!error.isEmpty());
        }
        QVERIFY(!writePictureFile(cv::Mat(), path, error));
        QVERIFY(before.open(QIODevice::ReadOnly));
        QCOMPARE(before.readAll(), earlier);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("scan.png")});
    }
};

QTEST_GUILESS_MAIN(TestPictureFile)
#include "tst_picturefile.moc"
