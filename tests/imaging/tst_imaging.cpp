#include "imaging/cvs.h"
#include "imaging/picturefile.h"
#include "quorimage/quorimage.h"
#include "tests/support/procstats.h"

#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <functional>
#include <set>

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

cv::Mat init(cv::Mat m)
{
    int level = -1;
    return quor_InitOstraImg(m, level);
}

// Every call; the turns swap width and height.
const std::vector<std::pair<const char*, std::function<cv::Mat(cv::Mat)>>> kCalls = {
    {"init", init},
    {"fine", quor_Fine},
    {"hd", quor_HD},
    {"flip 0", [](cv::Mat m) { return quor_flip(m, 0); }},
    {"flip -1", [](cv::Mat m) { return quor_flip(m, -1); }},
    {"turn 90", [](cv::Mat m) { return quor_rotate(m, 90); }},
    {"turn 270", [](cv::Mat m) { return quor_rotate(m, 270); }}};

// Soft mid-range blotches, like an unprocessed exposure that every enhancement can improve.
cv::Mat scene(int rows, int cols, int type)
{
    cv::Mat picture(rows, cols, CV_32F), out;
    cv::RNG(7).fill(picture, cv::RNG::UNIFORM, 0.2, 0.6);
    cv::GaussianBlur(picture, picture, cv::Size(), 2.5);
    picture.convertTo(out, CV_MAT_DEPTH(type), CV_MAT_DEPTH(type) == CV_8U ? 255 : 65535);
    if (CV_MAT_CN(type) > 1)
        cv::cvtColor(out, out, CV_MAT_CN(type) == 3 ? cv::COLOR_GRAY2BGR : cv::COLOR_GRAY2BGRA);
    return out;
}

// How much fine structure a picture holds (the variance of its Laplacian), across depths.
double sharpness(const cv::Mat& grey)
{
    cv::Mat lap;
    cv::Laplacian(grey, lap, CV_64F, 1, grey.depth() == CV_8U ? 1 / 255.0 : 1 / 65535.0);
    cv::Scalar mean, sd;
    cv::meanStdDev(lap, mean, sd);
    return sd[0] * sd[0];
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
    // A patient's picture is the camera group's alone (0660) whatever the umask, also where
    // the rename-save replaces a world-readable one.
    void picturesAreTheGroupsAlone()
    {
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("scan.png")));
        QString error;
        const mode_t was = ::umask(0);
        for (const mode_t earlier : {0, 0644}) {
            struct stat status
            {};
            QVERIFY(!earlier || ::chmod(path, earlier) == 0);
            QVERIFY(writePictureFile(cv::Mat(8, 8, CV_8UC1), path, error));
            QVERIFY(::stat(path, &status) == 0 && (status.st_mode & 07777) == 0660);
        }
        ::umask(was);
    }
    // Colour comes back grey; the argument is a view into a larger matrix, so writes show.
    void typesKeptAndArgumentUntouched()
    {
        for (const int type : {CV_8UC1, CV_16UC1, CV_16UC3, CV_8UC4}) {
            const cv::Mat parent = scene(90, 130, type), before = parent.clone();
            for (const cv::Rect area : {cv::Rect(5, 7, 110, 70), cv::Rect(1, 1, 1, 1),
                                        cv::Rect(1, 1, 9, 1), cv::Rect(1, 1, 1, 9)}) {
                for (const auto& [name, call] : kCalls) {
                    cv::Mat out = call(parent(area));
                    const cv::Size size =
                        name[0] == 't' ? cv::Size(area.height, area.width) : area.size();
                    QVERIFY2(out.type() == CV_MAKETYPE(CV_MAT_DEPTH(type), 1), name);
                    QVERIFY2(out.size() == size, name);
                    out.setTo(cv::Scalar::all(1));
                    QVERIFY2(cv::norm(parent, before, cv::NORM_INF) == 0, name);
                }
            }
        }
    }

    // A ramp with a hot and a dead pixel fills the range in order, keeping its detail; the
    // level follows brightness; both enhancements sharpen, Ultra HD more.
    void byDepth_data()
    {
        QTest::addColumn<int>("depth");
        QTest::newRow("8-bit") << CV_8U;
        QTest::newRow("16-bit") << CV_16U;
    }
    void byDepth()
    {
        QFETCH(int, depth);
        const double top = depth == CV_8U ? 255 : 65535;
        cv::Mat m(40, 1000, CV_MAKETYPE(depth, 1)), wide;
        for (int x = 0; x < m.cols; ++x) // a ramp over 40 % of the range
            m.col(x).setTo(top * (0.25 + 0.4 * x / (m.cols - 1)));
        m(cv::Rect(0, 0, 1, 1)).setTo(top);
        m(cv::Rect(1, 1, 1, 1)).setTo(0);
        int level = 0;
        quor_InitOstraImg(m, level).rowRange(2, m.rows).convertTo(wide, CV_32S);
        double lo = 0, hi = 0;
        cv::minMaxLoc(wide, &lo, &hi);
        QCOMPARE(lo, 0.0);
        QCOMPARE(hi, top);
        cv::minMaxLoc(wide.colRange(1, wide.cols) - wide.colRange(0, wide.cols - 1), &lo);
        QVERIFY(lo >= 0);
        const std::set<int> values(wide.ptr<int>(0), wide.ptr<int>(0) + wide.cols);
        QVERIFY(values.size() > (depth == CV_8U ? 95u : 990u));
        QVERIFY2(std::abs(level - 45) <= 1, qPrintable(QString::number(level)));

        int dim = 0, bright = 0;
        const cv::Mat picture = scene(200, 260, CV_MAKETYPE(depth, 1));
        quor_InitOstraImg(picture * 0.5, dim);
        quor_InitOstraImg(picture, bright);
        QVERIFY(dim >= 1 && bright <= 100 && bright > dim + 10);

        QVERIFY(sharpness(quor_Fine(picture)) > 1.3 * sharpness(picture));
        QVERIFY(sharpness(quor_HD(picture)) > sharpness(quor_Fine(picture)));
    }
};

QTEST_GUILESS_MAIN(TestImaging)
#include "tst_imaging.moc"
