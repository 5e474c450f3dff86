#include "imaging/cvs.h"
#include "imaging/picturefile.h"
#include "imaging/pictureheader.h"
#include "quorimage/quorimage.h"
#include "tests/support/procstats.h"

#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <set>
#include <thread>

namespace {

// Every call; the turns swap width and height.
const std::vector<std::pair<const char*, std::function<cv::Mat(cv::Mat)>>> kCalls = {
    {"init",
     [](cv::Mat m) {
         int level = -1;
         return quor_InitOstraImg(m, level);
     }},
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
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 5; ++x)
                QCOMPARE(image.pixelColor(x, y), x == y ? lit : QColor(Qt::black));
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

    void decodeKeepsSixteenBitsMakesColourGreyAndStopsAtTheBound()
    {
        std::vector<uchar> png;
        QVERIFY(cv::imencode(".pgm", cv::Mat(4096, 4097, CV_8UC1, cv::Scalar(128)), png));
        QVERIFY(decodePicture(png).empty());
        QVERIFY(cv::imencode(".pgm", cv::Mat(4096, 4096, CV_8UC1, cv::Scalar(128)), png));
        QCOMPARE(decodePicture(png).rows, 4096);
        QVERIFY(cv::imencode(".png", cv::Mat(20, 30, CV_16UC1, cv::Scalar(40000)), png));
        const cv::Mat decoded = decodePicture(png);
        QCOMPARE(decoded.depth(), CV_16U);
        QCOMPARE(decoded.at<ushort>(3, 4), ushort(40000));
        QVERIFY(cv::imencode(".png", cv::Mat(8, 8, CV_8UC3, cv::Scalar(10, 200, 30)), png));
        QCOMPARE(decodePicture(png).channels(), 1);
    }

    // Each format the decoder accepts is sized from its header, as the decoder then sizes it;
    // formats whose header is not read are refused.
    void acceptedFormatsAreSizedFromTheirHeader_data()
    {
        QTest::addColumn<QString>("extension");
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("accepted");
        for (const char* extension :
             {".png", ".jpg", ".bmp", ".tif", ".pgm", ".ppm", ".pbm", ".ras", ".webp"})
            QTest::newRow(extension)
                << QString(extension) << (extension == QLatin1String(".ppm") ? CV_8UC3 : CV_8UC1)
                << true;
        for (const char* extension : {".pfm", ".hdr", ".exr", ".pam"})
            QTest::newRow(extension) << QString(extension) << int(CV_32FC3) << false;
    }
    void acceptedFormatsAreSizedFromTheirHeader()
    {
        QFETCH(QString, extension);
        QFETCH(int, type);
        QFETCH(bool, accepted);
        std::vector<uchar> bytes;
        QVERIFY(cv::imencode(extension.toStdString(), scene(23, 37, type), bytes));
        const cv::Size size = accepted ? cv::Size(37, 23) : cv::Size();
        QCOMPARE(pictureHeaderSize(bytes), size);
        QCOMPARE(decodePicture(bytes).size(), size);
        QCOMPARE(decodePictureAsStored(bytes).size(), size);
        QCOMPARE(pictureHeaderSize({bytes.begin(), bytes.begin() + 7}), cv::Size()); // cut off
    }

    // A header alone would make the decoder allocate what it claims.
    void claimedGiantsAreRefusedBeforeTheyAllocate_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<int>("side");         // the width and height claimed
        const auto le = [](quint32 v, int n) { // n <= 4 bytes, least significant first
            v = qToLittleEndian(v);
            return QByteArray(reinterpret_cast<const char*>(&v), n);
        };
        const QByteArray giant("\0\0\x4e\x20\0\0\x4e\x20", 8); // 20000 wide and high
        QTest::newRow("PNG") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + giant +
                                    QByteArray("\x10\0\0\0\0\0\0\0\0", 9)
                             << 20000;
        QTest::newRow("JPEG, after other segments and stray bytes")
            << QByteArray("\xff\xd8\xff\xe0\0\x04\x01\x02junk\xff\xff\xc2\0\x0b\x08", 18) +
                   giant.mid(2, 2) + giant.mid(2, 2) + QByteArray("\x01\x01\x11\0\xff\xda", 6)
            << 20000;
        QTest::newRow("BMP") << "BM" + QByteArray(12, 0) + le(40, 4) + le(20000, 4) +
                                    le(quint32(-20000), 4) + le(0x180001, 4)
                             << 20000;
        QTest::newRow("BMP with the small header")
            << "BM" + QByteArray(12, 0) + le(12, 4) + le(20000, 2) + le(20000, 2) + le(0x180001, 4)
            << 20000;
        const auto tiff = [&](std::vector<std::pair<quint32, quint32>> tags) { // the height a short
            QByteArray bytes = QByteArray("II*\0\x08\0\0\0", 8) + le(quint32(tags.size()), 2);
            for (const auto& [tag, value] : tags)
                bytes += le(tag, 2) + le(tag == 257 ? 3 : 4, 2) + le(1, 4) + le(value, 4);
            return bytes + QByteArray(100, 7);
        };
        QTest::newRow("TIFF") << tiff({{256, 20000}, {257, 20000}}) << 20000;
        QTest::newRow("TIFF of one pixel in a tile of 32752 x 32752, which is filled whole")
            << tiff({{256, 1}, {257, 1}, {262, 1}, {322, 32752}, {323, 32752}, {324, 0}, {325, 1}})
            << 0;
        QTest::newRow("PGM") << QByteArray("P5 # a comment\n20000\n20000 255\n\x01\x02") << 20000;
        QTest::newRow("Sun raster") << "\x59\xa6\x6a\x95" + giant + le(0x08000000, 4) << 20000;
        QTest::newRow("WebP") << QByteArray("RIFF\x40\0\0\0WEBPVP8L\x20\0\0\0\x2f\xff\xff\xff\x0f",
                                            25)
                              << 16384;
    }
    void claimedGiantsAreRefusedBeforeTheyAllocate()
    {
        QFETCH(QByteArray, header);
        QFETCH(int, side);
        const std::vector<unsigned char> bytes(header.begin(), header.end());
        QCOMPARE(pictureHeaderSize(bytes), cv::Size(side, side));
        const qint64 before = residentKiB();
        QVERIFY(decodePicture(bytes).empty());
        QVERIFY(residentKiB() - before < 100 * 1024);
    }

    // No allocator of the whole process changes while a picture decodes: a bystander's large
    // pictures, and two decodes at once, go on as if nothing decoded.
    void decodesLeaveOtherThreadsAllocationsAlone()
    {
        std::vector<uchar> png;
        QVERIFY(cv::imencode(".png", scene(512, 512, CV_16UC1), png));
        std::atomic<bool> decoding{true};
        std::atomic<int> refused{0}, wrong{0};
        std::thread bystander([&] {
            while (decoding) {
                try {
                    cv::Mat(4500, 4500, CV_8UC1).setTo(1); // 20 megapixels
                } catch (const cv::Exception&) {
                    ++refused;
                }
            }
        });
        const auto decode = [&] {
            for (int i = 0; i < 100; ++i)
                wrong += decodePicture(png).size() != cv::Size(512, 512);
        };
        std::thread first(decode), second(decode);
        first.join();
        second.join();
        decoding = false;
        bystander.join();
        QCOMPARE(refused.load(), 0);
        QCOMPARE(wrong.load(), 0);
    }

    // The file is always a whole picture, the old or the new one. A patient's picture is the
    // camera group's alone (0660) whatever the umask, also where the rename-save replaces a
    // world-readable one.
    void failedWritesLeaveTheEarlierPicture()
    {
        QTemporaryDir dir;
        const cv::Mat picture(40, 50, CV_16UC1, cv::Scalar(1234));
        QString error;
        const QString path = dir.filePath(QStringLiteral("scan.png"));
        const mode_t umask = ::umask(0);
        for (const mode_t earlier : {0, 0644}) {
            struct stat status = {};
            QVERIFY(!earlier || ::chmod(QFile::encodeName(path), earlier) == 0);
            QVERIFY(writePictureFile(picture, path, error));
            QVERIFY(::stat(QFile::encodeName(path), &status) == 0);
            QCOMPARE(status.st_mode & 07777, mode_t(0660));
        }
        ::umask(umask);
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
