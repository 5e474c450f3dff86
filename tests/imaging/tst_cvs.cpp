#include "imaging/cvs.h"

#include <QtTest>

#include <opencv2/core.hpp>

namespace {

int warnings = 0;

void countWarnings(QtMsgType type, const QMessageLogContext&, const QString&)
{
    if (type == QtWarningMsg)
        ++warnings;
}

} // namespace

class TestCvs final : public QObject
{
    Q_OBJECT

private slots:
    void blueStaysBlue()
    {
        const cv::Mat blue(1, 1, CV_8UC3, cv::Scalar(255, 0, 0));
        QImage image = CVS::cvMatToQImage(blue);
        QCOMPARE(image.size(), QSize(1, 1));
        QCOMPARE(image.pixelColor(0, 0), QColor(0, 0, 255));
        // The swapped image owns its pixels: the matrix can go.
        cv::Mat gone = blue.clone();
        image = CVS::cvMatToQImage(gone);
        gone.release();
        QCOMPARE(image.pixelColor(0, 0), QColor(0, 0, 255));
    }

    void greyAndFourChannelsShareThePixels()
    {
        const cv::Mat grey(2, 3, CV_8UC1, cv::Scalar(77));
        const QImage g = CVS::cvMatToQImage(grey);
        QCOMPARE(g.format(), QImage::Format_Grayscale8);
        QCOMPARE(g.constBits(), grey.ptr());
        QCOMPARE(qGray(g.pixel(2, 1)), 77);

        const cv::Mat bgra(1, 2, CV_8UC4, cv::Scalar(10, 20, 30, 255));
        const QImage c = CVS::cvMatToQImage(bgra);
        QCOMPARE(c.format(), QImage::Format_ARGB32);
        QCOMPARE(c.constBits(), bgra.ptr());
        QCOMPARE(c.pixelColor(1, 0), QColor(30, 20, 10));
    }

    void sixteenBitValuesAreKept()
    {
        cv::Mat deep(2, 2, CV_16UC1, cv::Scalar(0));
        deep.at<quint16>(0, 1) = 0x1234;
        deep.at<quint16>(1, 0) = 65535;
        const QImage image = CVS::cvMatToQImage(deep);
        QCOMPARE(image.format(), QImage::Format_Grayscale16);
        QCOMPARE(reinterpret_cast<const quint16*>(image.constScanLine(0))[1], quint16(0x1234));
        QCOMPARE(reinterpret_cast<const quint16*>(image.constScanLine(1))[0], quint16(65535));
    }

    // A view into a wider matrix has rows longer than its own width; every row must
    // start where the matrix says, or the picture shears.
    void paddedRowsDoNotShear_data()
    {
        QTest::addColumn<int>("type");
        QTest::newRow("8-bit grey") << CV_8UC1;
        QTest::newRow("16-bit grey") << CV_16UC1;
        QTest::newRow("8-bit colour") << CV_8UC3;
        QTest::newRow("8-bit four channels") << CV_8UC4;
    }

    void paddedRowsDoNotShear()
    {
        QFETCH(int, type);
        cv::Mat wide(4, 7, type, cv::Scalar::all(0));
        for (int y = 0; y < wide.rows; ++y) {
            // Row y is lit in column y only; 16-bit rows use the top byte too.
            const double value = type == CV_16UC1 ? 40000 + y : 200;
            wide(cv::Rect(y, y, 1, 1)).setTo(cv::Scalar::all(value));
        }
        const cv::Mat view = wide(cv::Rect(0, 0, 5, 4));
        QVERIFY(view.step > view.cols * view.elemSize());

        const QImage image = CVS::cvMatToQImage(view);
        QCOMPARE(image.size(), QSize(5, 4));
        for (int y = 0; y < 4; ++y) {
            for (int x = 0; x < 5; ++x) {
                const bool lit = x == y;
                if (type == CV_16UC1) {
                    const quint16 v = reinterpret_cast<const quint16*>(image.constScanLine(y))[x];
                    QCOMPARE(v, quint16(lit ? 40000 + y : 0));
                } else {
                    QCOMPARE(qRed(image.pixel(x, y)), lit ? 200 : 0);
                }
            }
        }
    }

    void otherTypesGiveANullImageAndAWarning()
    {
        const cv::Mat floats(2, 2, CV_32FC1, cv::Scalar(0.5));
        QTest::ignoreMessage(QtWarningMsg,
                             "CVS::cvMatToQImage() - cv::Mat image type not handled in switch: 5");
        QVERIFY(CVS::cvMatToQImage(floats).isNull());

        const cv::Mat twoChannels(2, 2, CV_8UC2, cv::Scalar(1, 2));
        QTest::ignoreMessage(QtWarningMsg,
                             "CVS::cvMatToQImage() - cv::Mat image type not handled in switch: 8");
        QVERIFY(CVS::cvMatToQImage(twoChannels).isNull());

        const int sizes[] = {2, 2, 2};
        const cv::Mat cube(3, sizes, CV_8UC1, cv::Scalar(0));
        QTest::ignoreMessage(QtWarningMsg,
                             "CVS::cvMatToQImage() - cv::Mat image type not handled in switch: 0");
        QVERIFY(CVS::cvMatToQImage(cube).isNull());
    }

    void emptyMatrixGivesANullImageQuietly()
    {
        warnings = 0;
        const QtMessageHandler previous = qInstallMessageHandler(countWarnings);
        const bool isNull = CVS::cvMatToQImage(cv::Mat()).isNull();
        qInstallMessageHandler(previous);
        QVERIFY(isNull);
        QCOMPARE(warnings, 0);
    }
};

QTEST_APPLESS_MAIN(TestCvs)
#include "tst_cvs.moc"
