#include "quorimage/quorimage.h"

#include <QtTest>

#include <opencv2/imgproc.hpp>

#include <functional>
#include <set>

namespace {

struct Call
{
    const char* name;
    std::function<cv::Mat(cv::Mat)> run;
    bool turns;
};

const std::vector<Call>& everyCall()
{
    static const std::vector<Call> calls = {
        {"init",
         [](cv::Mat m) {
             int level = -1;
             return quor_InitOstraImg(m, level);
         },
         false},
        {"fine", quor_Fine, false},
        {"hd", quor_HD, false},
        {"rotate 90", [](cv::Mat m) { return quor_rotate(m, 90); }, true},
        {"rotate 270", [](cv::Mat m) { return quor_rotate(m, 270); }, true},
        {"flip 0", [](cv::Mat m) { return quor_flip(m, 0); }, false},
        {"flip 1", [](cv::Mat m) { return quor_flip(m, 1); }, false},
    };
    return calls;
}

bool identical(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

double fullScale(int depth)
{
    return depth == CV_8U ? 255 : 65535;
}

// Soft shapes on shading with a little noise, in the middle of the depth's range: what an
// unprocessed exposure looks like, and something every enhancement can improve.
cv::Mat scene(int rows, int cols, int type)
{
    cv::Mat picture(rows, cols, CV_32F, cv::Scalar(0.3));
    cv::circle(picture, {cols / 3, rows / 2}, rows / 4, cv::Scalar(0.5), cv::FILLED);
    cv::rectangle(picture, cv::Rect(cols / 2, rows / 5, cols / 3, rows / 2), cv::Scalar(0.42),
                  cv::FILLED);
    cv::GaussianBlur(picture, picture, cv::Size(), 2.5);
    cv::Mat noise(rows, cols, CV_32F);
    cv::RNG(7).fill(noise, cv::RNG::NORMAL, 0, 0.01);
    picture += noise;
    cv::Mat out;
    picture.convertTo(out, CV_MAT_DEPTH(type), fullScale(CV_MAT_DEPTH(type)));
    if (CV_MAT_CN(type) > 1)
        cv::cvtColor(out, out, CV_MAT_CN(type) == 3 ? cv::COLOR_GRAY2BGR : cv::COLOR_GRAY2BGRA);
    return out;
}

// How much fine structure a picture holds (the variance of its Laplacian), comparable across
// depths.
double sharpness(const cv::Mat& grey)
{
    cv::Mat lap;
    cv::Laplacian(grey, lap, CV_64F, 1, 1 / fullScale(grey.depth()));
    cv::Scalar mean, sd;
    cv::meanStdDev(lap, mean, sd);
    return sd[0] * sd[0];
}

// A horizontal ramp 1000 wide from start rising by span, as floats.
cv::Mat ramp(int rows, double start, double span)
{
    cv::Mat m(rows, 1000, CV_32F);
    for (int x = 0; x < m.cols; ++x)
        m.col(x).setTo(start + span * x / (m.cols - 1));
    return m;
}

int distinctValues(const cv::Mat& grey)
{
    cv::Mat values;
    grey.convertTo(values, CV_32S);
    return int(std::set<int>(values.begin<int>(), values.end<int>()).size());
}

void addDepthRows()
{
    QTest::addColumn<int>("depth");
    QTest::newRow("8-bit") << CV_8U;
    QTest::newRow("16-bit") << CV_16U;
}

} // namespace

class TestQuorImage final : public QObject
{
    Q_OBJECT

private slots:
    // The caller hands over headers that share its pixels; here the argument is even a view
    // into a larger matrix, so a write anywhere in the parent shows. Pictures one pixel wide
    // or high work too.
    void typesKeptAndArgumentUntouched_data()
    {
        QTest::addColumn<int>("type");
        QTest::newRow("8-bit grey") << CV_8UC1;
        QTest::newRow("16-bit grey") << CV_16UC1;
        QTest::newRow("8-bit colour comes back grey") << CV_8UC3;
        QTest::newRow("16-bit colour comes back grey") << CV_16UC3;
        QTest::newRow("8-bit four channels come back grey") << CV_8UC4;
    }
    void typesKeptAndArgumentUntouched()
    {
        QFETCH(int, type);
        const cv::Mat parent = scene(90, 130, type);
        const cv::Mat before = parent.clone();
        for (const cv::Rect area : {cv::Rect(5, 7, 110, 70), cv::Rect(1, 1, 1, 1),
                                    cv::Rect(1, 1, 9, 1), cv::Rect(1, 1, 1, 9)}) {
            for (const Call& call : everyCall()) {
                cv::Mat out = call.run(parent(area));
                QVERIFY2(out.type() == CV_MAKETYPE(CV_MAT_DEPTH(type), 1), call.name);
                QVERIFY2(out.size() ==
                             (call.turns ? cv::Size(area.height, area.width) : area.size()),
                         call.name);
                out.setTo(cv::Scalar::all(1));
                QVERIFY2(identical(parent, before), call.name);
            }
        }
        // Any other depth, channel count or shape gives an empty picture and level 0.
        const int cube[] = {3, 3, 3};
        for (const cv::Mat& bad :
             {cv::Mat(), cv::Mat(4, 4, CV_32FC1, cv::Scalar(0.5)),
              cv::Mat(4, 4, CV_16SC1, cv::Scalar(-3)), cv::Mat(4, 4, CV_8UC2, cv::Scalar(1, 2)),
              cv::Mat(3, cube, CV_8UC1, cv::Scalar(9))}) {
            for (const Call& call : everyCall())
                QVERIFY2(call.run(bad).empty(), call.name);
            int level = 55;
            QVERIFY(quor_InitOstraImg(bad, level).empty());
            QCOMPARE(level, 0);
        }
    }

    // An asymmetric picture, [1 2 3; 4 5 6], shows every turn and mirror by its pixels.
    void turnsAndMirrorsAreExact_data()
    {
        QTest::addColumn<bool>("rotate");
        QTest::addColumn<int>("argument");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QVector<int>>("pixels");
        const QVector<int> same{1, 2, 3, 4, 5, 6};
        QTest::newRow("90 turns a quarter to the left")
            << true << 90 << 3 << QVector<int>{3, 6, 2, 5, 1, 4};
        QTest::newRow("270 turns a quarter to the right")
            << true << 270 << 3 << QVector<int>{4, 1, 5, 2, 6, 3};
        QTest::newRow("Any other angle gives a copy") << true << 180 << 2 << same;
        QTest::newRow("-90 is another angle") << true << -90 << 2 << same;
        QTest::newRow("0 mirrors top to bottom")
            << false << 0 << 2 << QVector<int>{4, 5, 6, 1, 2, 3};
        QTest::newRow("1 mirrors left to right")
            << false << 1 << 2 << QVector<int>{3, 2, 1, 6, 5, 4};
        QTest::newRow("Any other code gives a copy") << false << -1 << 2 << same;
    }
    void turnsAndMirrorsAreExact()
    {
        QFETCH(bool, rotate);
        QFETCH(int, argument);
        QFETCH(int, rows);
        QFETCH(QVector<int>, pixels);
        for (const int depth : {CV_8U, CV_16U}) {
            // 16-bit values use the high byte too.
            const int scale = depth == CV_8U ? 1 : 10000;
            cv::Mat picture(2, 3, CV_32S);
            for (int i = 0; i < 6; ++i)
                picture.at<int>(i / 3, i % 3) = (i + 1) * scale;
            picture.convertTo(picture, depth);
            cv::Mat out = rotate ? quor_rotate(picture, argument) : quor_flip(picture, argument);
            QCOMPARE(out.rows, rows);
            QCOMPARE(out.depth(), depth);
            out.convertTo(out, CV_32S);
            QVector<int> got;
            for (int y = 0; y < out.rows; ++y)
                for (int x = 0; x < out.cols; ++x)
                    got.append(out.at<int>(y, x) / scale);
            QCOMPARE(got, pixels);
        }
    }

    // Product initialisation, by depth: a ramp over part of the range with one hot and one
    // dead pixel fills the range in order; the level follows brightness.
    void initStretchesAndMeasures_data() { addDepthRows(); }
    void initStretchesAndMeasures()
    {
        QFETCH(int, depth);
        const double top = fullScale(depth);
        cv::Mat m;
        ramp(40, 0.25, 0.4).convertTo(m, depth, top);
        m(cv::Rect(0, 0, 1, 1)).setTo(top);
        m(cv::Rect(1, 1, 1, 1)).setTo(0);
        int level = 0;
        const cv::Mat out = quor_InitOstraImg(m, level);
        QCOMPARE(out.type(), m.type());
        const cv::Mat body = out.rowRange(2, out.rows);
        double lo = 0, hi = 0;
        cv::minMaxLoc(body, &lo, &hi);
        QCOMPARE(lo, 0.0);
        QCOMPARE(hi, top);
        cv::Mat wide;
        body.convertTo(wide, CV_32S);
        cv::minMaxLoc(wide.colRange(1, wide.cols) - wide.colRange(0, wide.cols - 1), &lo);
        QVERIFY(lo >= 0);
        // Only the ends saturate; the ramp keeps its detail, and 16-bit keeps 16-bit steps.
        QVERIFY(distinctValues(body.row(0)) > (depth == CV_8U ? 95 : 990));
        QVERIFY2(std::abs(level - 45) <= 1, qPrintable(QString::number(level)));

        // A flat picture has no range to stretch; it comes back as it was.
        for (const int value : {0, 1}) {
            const cv::Mat flat(8, 8, CV_MAKETYPE(depth, 1), cv::Scalar(value * top));
            QVERIFY(identical(quor_InitOstraImg(flat, level), flat));
            QCOMPARE(level, value ? 100 : 1);
        }
        int dim = 0, bright = 0, fromColour = 0;
        const cv::Mat picture = scene(60, 80, CV_MAKETYPE(depth, 1));
        quor_InitOstraImg(picture * 0.5, dim);
        quor_InitOstraImg(picture, bright);
        QVERIFY2(dim >= 1 && bright <= 100 && bright > dim + 10,
                 qPrintable(QString("%1 %2").arg(dim).arg(bright)));
        cv::Mat colour;
        cv::cvtColor(picture, colour, cv::COLOR_GRAY2BGR);
        quor_InitOstraImg(colour, fromColour);
        QCOMPARE(fromColour, bright);
    }

    // Both enhancements sharpen, Ultra HD more; a soft step may grow steeper but must not
    // ring past either side; a flat picture stays flat. Ultra HD equalises per region: faint
    // texture in a dark half next to a bright half is lifted.
    void enhancements_data() { addDepthRows(); }
    void enhancements()
    {
        QFETCH(int, depth);
        const double top = fullScale(depth);
        const cv::Mat m = scene(200, 260, CV_MAKETYPE(depth, 1));
        const double before = sharpness(m);
        QVERIFY(sharpness(quor_Fine(m)) > 1.3 * before);
        QVERIFY(sharpness(quor_HD(m)) > sharpness(quor_Fine(m)));

        cv::Mat step(20, 40, CV_MAKETYPE(depth, 1), cv::Scalar(0.3 * top));
        step.colRange(20, 40).setTo(0.6 * top);
        cv::GaussianBlur(step, step, cv::Size(), 1);
        double lo = 0, hi = 0, sharpLo = 0, sharpHi = 0;
        cv::minMaxLoc(step, &lo, &hi);
        const cv::Mat sharpStep = quor_Fine(step);
        cv::minMaxLoc(sharpStep, &sharpLo, &sharpHi);
        QVERIFY(sharpLo >= lo && sharpHi <= hi);
        QVERIFY(sharpness(sharpStep) > 1.5 * sharpness(step));

        const cv::Mat flat(30, 30, CV_MAKETYPE(depth, 1), cv::Scalar(0.4 * top));
        QVERIFY(identical(quor_Fine(flat), flat));
        cv::minMaxLoc(quor_HD(flat), &lo, &hi);
        QCOMPARE(lo, hi);

        cv::Mat halves(256, 512, CV_32F);
        cv::RNG(3).fill(halves, cv::RNG::NORMAL, 0, 0.01);
        halves.colRange(0, 256) += 0.1;
        halves.colRange(256, 512) += 0.85;
        halves.convertTo(halves, depth, top);
        const cv::Rect dark(64, 64, 128, 128);
        cv::Scalar mean, plain, lifted;
        cv::meanStdDev(halves(dark), mean, plain);
        cv::meanStdDev(quor_HD(halves)(dark), mean, lifted);
        QVERIFY2(lifted[0] > 2 * plain[0], qPrintable(QString::number(lifted[0] / plain[0])));
    }

    // A 16-bit ramp through fewer than three 8-bit levels keeps its finer steps in Ultra HD,
    // and the same picture gets the same look at either depth.
    void ultraHdAtSixteenBits()
    {
        cv::Mat deep;
        ramp(64, 0.40, 0.01).convertTo(deep, CV_16U, 65535);
        QVERIFY(distinctValues(quor_HD(deep).row(32)) > 300);
        for (const cv::Size size : {cv::Size(512, 256), cv::Size(1000, 700)}) {
            deep = scene(size.height, size.width, CV_16UC1);
            cv::Mat narrow, back;
            deep.convertTo(narrow, CV_8U, 1 / 257.0);
            quor_HD(deep).convertTo(back, CV_8U, 1 / 257.0);
            const double off = cv::norm(back, quor_HD(narrow), cv::NORM_L1) / narrow.total();
            QVERIFY2(off < 1, qPrintable(QString::number(off)));
        }
    }
};

QTEST_APPLESS_MAIN(TestQuorImage)
#include "tst_quorimage.moc"
