#include "quorimage/quorimage.h"

#include <QtTest>

#include <opencv2/imgproc.hpp>

#include <functional>
#include <set>

namespace {

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

class TestQuorImage final : public QObject
{
    Q_OBJECT

private slots:
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

    // An asymmetric picture, [1 2 3; 4 5 6], shows every turn and mirror by its pixels.
    void turnsAndMirrorsAreExact()
    {
        for (const int scale : {1, 10000}) { // 16-bit values use the high byte too
            cv::Mat m = (cv::Mat_<int>(2, 3) << 1, 2, 3, 4, 5, 6) * scale;
            m.convertTo(m, scale == 1 ? CV_8U : CV_16U);
            const auto pixels = [&](const cv::Mat& out) {
                cv::Mat v;
                out.reshape(1, 1).convertTo(v, CV_32S, 1.0 / scale);
                return QVector<int>(v.begin<int>(), v.end<int>());
            };
            const QVector<int> same{1, 2, 3, 4, 5, 6};
            QCOMPARE(pixels(quor_rotate(m, 90)), (QVector<int>{3, 6, 2, 5, 1, 4}));  // to the left
            QCOMPARE(pixels(quor_rotate(m, 270)), (QVector<int>{4, 1, 5, 2, 6, 3})); // the right
            QCOMPARE(pixels(quor_rotate(m, -90)), same); // any other angle gives a copy
            QCOMPARE(pixels(quor_flip(m, 0)), (QVector<int>{4, 5, 6, 1, 2, 3})); // top to bottom
            QCOMPARE(pixels(quor_flip(m, 1)), (QVector<int>{3, 2, 1, 6, 5, 4})); // left to right
            QCOMPARE(pixels(quor_flip(m, -1)), same); // any other code gives a copy
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

QTEST_APPLESS_MAIN(TestQuorImage)
#include "tst_quorimage.moc"
