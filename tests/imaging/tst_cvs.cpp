#include "imaging/cvs.h"

#include <QtTest>

#include <opencv2/core.hpp>

namespace {
int warnings = 0;
} // namespace

class TestCvs final : public QObject
{
    Q_OBJECT

private slots:
    // A view into a wider matrix has rows longer than its own width; every row must start
    // where the matrix says, or the picture shears. Row y is lit in column y only.
    void typesConvertWithoutShearing_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("format");
        QTest::addColumn<bool>("shared"); // the image uses the matrix's pixels
        QTest::newRow("8-bit grey shares its pixels")
            << CV_8UC1 << int(QImage::Format_Grayscale8) << true;
        QTest::newRow("16-bit grey keeps 16 bits")
            << CV_16UC1 << int(QImage::Format_Grayscale16) << true;
        QTest::newRow("Blue stays blue: colour is swapped into an image of its own")
            << CV_8UC3 << int(QImage::Format_RGB888) << false;
        QTest::newRow("Four channels share their pixels")
            << CV_8UC4 << int(QImage::Format_ARGB32) << true;
    }
    void typesConvertWithoutShearing()
    {
        QFETCH(int, type);
        QFETCH(int, format);
        QFETCH(bool, shared);
        cv::Mat wide(4, 7, type, cv::Scalar::all(0));
        // 16-bit values use the top byte too; colours are blue, green, red in the matrix.
        const cv::Scalar lit = type == CV_16UC1 ? cv::Scalar(40000) : cv::Scalar(200, 20, 10, 255);
        for (int y = 0; y < wide.rows; ++y)
            wide(cv::Rect(y, y, 1, 1)).setTo(lit + cv::Scalar::all(y));
        cv::Mat view = wide(cv::Rect(0, 0, 5, 4));
        QVERIFY(view.step > view.cols * view.elemSize());
        const QImage image = CVS::cvMatToQImage(view);
        QCOMPARE(int(image.format()), format);
        QCOMPARE(image.constBits() == view.ptr(), shared);
        view.release();
        wide.release();
        if (shared)
            return; // the caller keeps the matrix alive
        QCOMPARE(image.size(), QSize(5, 4));
        for (int y = 0; y < 4; ++y) {
            for (int x = 0; x < 5; ++x)
                QCOMPARE(image.pixelColor(x, y),
                         x == y ? QColor(10 + y, 20 + y, 200 + y) : QColor(Qt::black));
        }
    }

    void sharedImagesShowThePixels()
    {
        cv::Mat wide(4, 7, CV_16UC1, cv::Scalar(0));
        for (int y = 0; y < 4; ++y)
            wide.at<quint16>(y, y) = quint16(40000 + y);
        const QImage deep = CVS::cvMatToQImage(wide(cv::Rect(0, 0, 5, 4)));
        for (int y = 0; y < 4; ++y) {
            for (int x = 0; x < 5; ++x)
                QCOMPARE(reinterpret_cast<const quint16*>(deep.constScanLine(y))[x],
                         quint16(x == y ? 40000 + y : 0));
        }
        const cv::Mat grey(2, 3, CV_8UC1, cv::Scalar(77));
        QCOMPARE(qGray(CVS::cvMatToQImage(grey).pixel(2, 1)), 77);
        const cv::Mat bgra(1, 2, CV_8UC4, cv::Scalar(10, 20, 30, 255));
        QCOMPARE(CVS::cvMatToQImage(bgra).pixelColor(1, 0), QColor(30, 20, 10));
    }

    void otherTypesGiveANullImageAndAWarning()
    {
        const int sizes[] = {2, 2, 2};
        for (const cv::Mat& other :
             {cv::Mat(2, 2, CV_32FC1, cv::Scalar(0.5)), cv::Mat(2, 2, CV_8UC2, cv::Scalar(1, 2)),
              cv::Mat(3, sizes, CV_8UC1, cv::Scalar(0))}) {
            QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression("cv::Mat image type not handled in switch: " +
                                   QString::number(other.dims > 2 ? 0 : other.type())));
            QVERIFY(CVS::cvMatToQImage(other).isNull());
        }
        // An empty matrix is no error: no warning.
        const QtMessageHandler previous =
            qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString&) {
                warnings += type == QtWarningMsg;
            });
        const bool isNull = CVS::cvMatToQImage(cv::Mat()).isNull();
        qInstallMessageHandler(previous);
        QVERIFY(isNull);
        QCOMPARE(warnings, 0);
    }
};

QTEST_APPLESS_MAIN(TestCvs)
#include "tst_cvs.moc"
