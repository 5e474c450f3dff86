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
        {"rotate 45", [](cv::Mat m) { return quor_rotate(m, 45); }, false},
        {"flip 0", [](cv::Mat m) { return quor_flip(m, 0); }, false},
        {"flip 1", [](cv::Mat m) { return quor_flip(m, 1); }, false},
        {"flip -1", [](cv::Mat m) { return quor_flip(m, -1); }, false},
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
    // into a larger matrix, so a write anywhere in the parent shows.
    void typesKeptAndArgumentUntouched_data()
    {
        QTest::addColumn<int>("type");
        QTest::newRow("8-bit grey") << CV_8UC1;
        QTest::newRow("16-bit grey") << CV_16UC1;
        QTest::newRow("8-bit colour") << CV_8UC3;
        QTest::newRow("16-bit colour") << CV_16UC3;
        QTest::newRow("8-bit four channels") << CV_8UC4;
    }

    void typesKeptAndArgumentUntouched()
    {
        QFETCH(int, type);
        const cv::Mat parent = scene(90, 130, type);
        const cv::Mat before = parent.clone();
        const cv::Mat view = parent(cv::Rect(5, 7, 110, 70));
        for (const Call& call : everyCall()) {
            cv::Mat out = call.run(view);
            QVERIFY2(out.type() == CV_MAKETYPE(CV_MAT_DEPTH(type), 1), call.name);
            QVERIFY2(out.size() == (call.turns ? cv::Size(70, 110) : cv::Size(110, 70)), call.name);
            out.setTo(cv::Scalar::all(1));
            QVERIFY2(identical(parent, before), call.name);
        }
    }

    void badInputGivesAnEmptyPicture()
    {
        const int cube[] = {3, 3, 3};
        const cv::Mat bad[] = {cv::Mat(), cv::Mat(4, 4, CV_32FC1, cv::Scalar(0.5)),
                               cv::Mat(4, 4, CV_16SC1, cv::Scalar(-3)),
                               cv::Mat(4, 4, CV_8UC2, cv::Scalar(1, 2)),
                               cv::Mat(3, cube, CV_8UC1, cv::Scalar(9))};
        for (const cv::Mat& m : bad) {
            for (const Call& call : everyCall())
                QVERIFY2(call.run(m).empty(), call.name);
            int level = 55;
            QVERIFY(quor_InitOstraImg(m, level).empty());
            QCOMPARE(level, 0);
        }
    }

    void tinyPicturesWork_data() { addDepthRows(); }

    void tinyPicturesWork()
    {
        QFETCH(int, depth);
        for (const cv::Size size : {cv::Size(1, 1), cv::Size(9, 1), cv::Size(1, 9)}) {
            cv::Mat m(size, CV_MAKETYPE(depth, 1));
            cv::randu(m, 0, fullScale(depth));
            for (const Call& call : everyCall()) {
                const cv::Mat out = call.run(m);
                QVERIFY2(out.type() == m.type(), call.name);
                QVERIFY2(out.size() == (call.turns ? cv::Size(size.height, size.width) : size),
                         call.name);
            }
        }
    }

    void turnsAndMirrorsAreExact_data() { addDepthRows(); }

    void turnsAndMirrorsAreExact()
    {
        QFETCH(int, depth);
        cv::Mat m(5, 8, CV_MAKETYPE(depth, 1));
        cv::randu(m, 0, fullScale(depth));
        // Guards against swapping the directions in the library and in this test alike.
        const cv::Rect topLeft(0, 0, 1, 1);
        QVERIFY(identical(quor_rotate(m, 90)(topLeft), m(cv::Rect(7, 0, 1, 1))));
        QVERIFY(identical(quor_rotate(m, 270)(topLeft), m(cv::Rect(0, 4, 1, 1))));

        cv::Mat expected;
        cv::rotate(m, expected, cv::ROTATE_90_COUNTERCLOCKWISE);
        QVERIFY(identical(quor_rotate(m, 90), expected));
        cv::rotate(m, expected, cv::ROTATE_90_CLOCKWISE);
        QVERIFY(identical(quor_rotate(m, 270), expected));
        cv::flip(m, expected, 0);
        QVERIFY(identical(quor_flip(m, 0), expected));
        cv::flip(m, expected, 1);
        QVERIFY(identical(quor_flip(m, 1), expected));

        cv::Mat turned = m;
        for (int i = 0; i < 4; ++i)
            turned = quor_rotate(turned, 90);
        QVERIFY(identical(turned, m));
        QVERIFY(identical(quor_rotate(quor_rotate(m, 90), 270), m));
        QVERIFY(identical(quor_flip(quor_flip(m, 0), 0), m));
        QVERIFY(identical(quor_flip(quor_flip(m, 1), 1), m));
        for (const int other : {0, 180, -90, 360})
            QVERIFY(identical(quor_rotate(m, other), m));
        for (const int other : {-1, 2})
            QVERIFY(identical(quor_flip(m, other), m));
    }

    // A ramp over part of the range, one hot and one dead pixel: the ramp itself must fill
    // the range, in order.
    void initStretchesInOrderPastOutliers_data() { addDepthRows(); }

    void initStretchesInOrderPastOutliers()
    {
        QFETCH(int, depth);
        const double top = fullScale(depth);
        cv::Mat ramp(40, 1000, CV_32F);
        for (int x = 0; x < ramp.cols; ++x)
            ramp.col(x).setTo(0.25 + 0.4 * x / (ramp.cols - 1));
        cv::Mat m;
        ramp.convertTo(m, depth, top);
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
    }

    void levelFollowsBrightness_data() { addDepthRows(); }

    void levelFollowsBrightness()
    {
        QFETCH(int, depth);
        const double top = fullScale(depth);
        const int type = CV_MAKETYPE(depth, 1);
        int level = -1;
        const cv::Mat black(8, 8, type, cv::Scalar(0));
        // A flat picture has no range to stretch; it comes back as it was.
        QVERIFY(identical(quor_InitOstraImg(black, level), black));
        QCOMPARE(level, 1);
        const cv::Mat white(8, 8, type, cv::Scalar(top));
        QVERIFY(identical(quor_InitOstraImg(white, level), white));
        QCOMPARE(level, 100);

        int dim = 0;
        int bright = 0;
        const cv::Mat picture = scene(60, 80, type);
        quor_InitOstraImg(picture * 0.5, dim);
        quor_InitOstraImg(picture, bright);
        QVERIFY(dim >= 1 && bright <= 100);
        QVERIFY2(bright > dim + 10, qPrintable(QString("%1 %2").arg(dim).arg(bright)));
        cv::Mat colour;
        cv::cvtColor(picture, colour, cv::COLOR_GRAY2BGR);
        int fromColour = 0;
        quor_InitOstraImg(colour, fromColour);
        QCOMPARE(fromColour, bright);
    }

    void enhancementsSharpenWithoutRims_data() { addDepthRows(); }

    void enhancementsSharpenWithoutRims()
    {
        QFETCH(int, depth);
        const cv::Mat m = scene(200, 260, CV_MAKETYPE(depth, 1));
        const double before = sharpness(m);
        const cv::Mat fine = quor_Fine(m);
        const cv::Mat hd = quor_HD(m);
        QVERIFY2(sharpness(fine) > 1.3 * before,
                 qPrintable(QString("%1 %2").arg(before).arg(sharpness(fine))));
        QVERIFY2(sharpness(hd) > sharpness(fine), qPrintable(QString::number(sharpness(hd))));

        // A soft step between two levels: sharpened, it may grow steeper but must not ring
        // past either side.
        cv::Mat step(20, 40, CV_MAKETYPE(depth, 1), cv::Scalar(0.3 * fullScale(depth)));
        step.colRange(20, 40).setTo(0.6 * fullScale(depth));
        cv::GaussianBlur(step, step, cv::Size(), 1);
        double lo = 0, hi = 0, sharpLo = 0, sharpHi = 0;
        cv::minMaxLoc(step, &lo, &hi);
        const cv::Mat sharpStep = quor_Fine(step);
        cv::minMaxLoc(sharpStep, &sharpLo, &sharpHi);
        QVERIFY(sharpLo >= lo && sharpHi <= hi);
        QVERIFY2(sharpness(sharpStep) > 1.5 * sharpness(step),
                 qPrintable(QString("%1 %2").arg(sharpness(step)).arg(sharpness(sharpStep))));

        const cv::Mat flat(30, 30, CV_MAKETYPE(depth, 1), cv::Scalar(0.4 * fullScale(depth)));
        QVERIFY(identical(quor_Fine(flat), flat));
        cv::minMaxLoc(quor_HD(flat), &lo, &hi);
        QCOMPARE(lo, hi);
    }

    // Faint texture in a dark half next to a bright half: equalisation per region must lift
    // the texture in the dark half, where a global stretch could not.
    void ultraHdLiftsDarkDetail_data() { addDepthRows(); }

    void ultraHdLiftsDarkDetail()
    {
        QFETCH(int, depth);
        const double top = fullScale(depth);
        cv::Mat m(256, 512, CV_32F);
        cv::RNG(3).fill(m, cv::RNG::NORMAL, 0, 0.01);
        m.colRange(0, 256) += 0.1;
        m.colRange(256, 512) += 0.85;
        cv::Mat picture;
        m.convertTo(picture, depth, top);
        const cv::Rect dark(64, 64, 128, 128);
        cv::Scalar mean, before, after;
        cv::meanStdDev(picture(dark), mean, before);
        cv::meanStdDev(quor_HD(picture)(dark), mean, after);
        QVERIFY2(after[0] > 2 * before[0], qPrintable(QString::number(after[0] / before[0])));
    }

    // A ramp that climbs through fewer than three 8-bit levels: a 16-bit picture must come out
    // of Ultra HD with its finer steps, not as a staircase.
    void ultraHdKeepsSixteenBitSteps()
    {
        cv::Mat ramp(64, 1000, CV_32F);
        for (int x = 0; x < ramp.cols; ++x)
            ramp.col(x).setTo(0.40 + 0.01 * x / (ramp.cols - 1));
        cv::Mat deep;
        ramp.convertTo(deep, CV_16U, 65535);
        const int steps = distinctValues(quor_HD(deep).row(32));
        QVERIFY2(steps > 300, qPrintable(QString::number(steps)));
    }

    // The same picture at either depth must get the same look: the equalisation may not
    // depend on how many levels the depth could hold.
    void ultraHdLooksTheSameAtBothDepths()
    {
        for (const cv::Size size : {cv::Size(512, 256), cv::Size(1000, 700)}) {
            const cv::Mat deep = scene(size.height, size.width, CV_16UC1);
            cv::Mat narrow;
            deep.convertTo(narrow, CV_8U, 1 / 257.0);
            cv::Mat back;
            quor_HD(deep).convertTo(back, CV_8U, 1 / 257.0);
            const double off = cv::norm(back, quor_HD(narrow), cv::NORM_L1) / narrow.total();
            QVERIFY2(off < 1, qPrintable(QString::number(off)));
        }
    }
};

QTEST_APPLESS_MAIN(TestQuorImage)
#include "tst_quorimage.moc"
