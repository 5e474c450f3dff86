#include "quorimage/quorimage.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <exception>

namespace {

// Share of the pixels left out at each end when finding the range a picture uses: enough to
// step over hot and dead pixels and a few saturated specks, too little to clip anatomy.
constexpr double kOutlierShare = 0.0025;

// Unsharp masking: a radius of about one pixel lifts fine structure (enamel edges, root
// canals) without lifting the sensor's low-frequency shading.
constexpr double kSharpenSigma = 1.0;
constexpr int kSharpenKernel = 7;
constexpr double kFineAmount = 0.8;
// Equalisation already steepens edges, so "Ultra HD" sharpens less on top of it.
constexpr double kUltraAmount = 0.5;

// A clip limit of 2 lets a tile's mapping be at most twice as steep as a plain stretch: dark
// and bright regions gain contrast, but noise in flat areas is not blown up.
constexpr double kClipLimit = 2.0;
constexpr int kMaxTiles = 8;
// Smaller tiles give histograms too thin to equalise on.
constexpr int kMinTileSide = 64;

double fullScale(int depth)
{
    return depth == CV_8U ? 255.0 : 65535.0;
}

// The argument as the grey matrix the functions work on; it shares the caller's pixels when the
// argument is grey already, so nothing may be written into it. Empty for what we do not take.
cv::Mat greyOf(const cv::Mat& image)
{
    if (image.empty() || image.dims != 2 || (image.depth() != CV_8U && image.depth() != CV_16U))
        return {};
    cv::Mat grey;
    switch (image.channels()) {
    case 1:
        return image;
    case 3:
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
        return grey;
    case 4:
        cv::cvtColor(image, grey, cv::COLOR_BGRA2GRAY);
        return grey;
    default:
        return {};
    }
}

// The grey values lo..hi mapped linearly onto the depth's full range, saturating outside.
cv::Mat stretched(const cv::Mat& grey, double lo, double hi)
{
    // Subtracting in integers first keeps the float scale step away from cancelling two large
    // numbers, which would cost 16-bit pictures their lowest bits.
    cv::Mat out;
    cv::subtract(grey, cv::Scalar(lo), out);
    out.convertTo(out, -1, fullScale(grey.depth()) / (hi - lo));
    return out;
}

cv::Mat sharpened(const cv::Mat& grey, double amount)
{
    cv::Mat blurred;
    // A fixed kernel, because OpenCV sizes it by depth when asked to choose, and the same
    // picture should look the same in 8 and 16 bits.
    cv::GaussianBlur(grey, blurred, cv::Size(kSharpenKernel, kSharpenKernel), kSharpenSigma,
                     kSharpenSigma, cv::BORDER_REPLICATE);
    cv::Mat out;
    cv::addWeighted(grey, 1.0 + amount, blurred, -amount, 0.0, out);
    // Unsharp masking overshoots on both sides of an edge, which shows as a bright and a dark
    // rim along every tooth. Keeping each pixel within the range of its direct neighbours keeps
    // the steeper edge and drops the rims.
    cv::Mat low;
    cv::Mat high;
    cv::erode(grey, low, cv::Mat());
    cv::dilate(grey, high, cv::Mat());
    cv::max(out, low, out);
    cv::min(out, high, out);
    return out;
}

cv::Mat equalised(const cv::Mat& grey)
{
    const cv::Size tiles(std::clamp(grey.cols / kMinTileSide, 1, kMaxTiles),
                         std::clamp(grey.rows / kMinTileSide, 1, kMaxTiles));
    const cv::Ptr<cv::CLAHE> clahe = cv::createCLAHE(kClipLimit, tiles);
    cv::Mat out;
    if (grey.depth() == CV_8U) {
        clahe->apply(grey, out);
        return out;
    }
    // OpenCV's 16-bit equalisation counts 65536 bins, more than a tile has pixels, and hands
    // the clipped counts left over to the darkest bins first: a picture comes out much brighter
    // than its 8-bit copy, by a fifth of the range on a typical one. So the mapping is made on the
    // top eight bits and shifts each pixel as it shifts its level; what lies below those bits rides
    // along unchanged and keeps the picture's 16-bit detail.
    cv::Mat levels;
    grey.convertTo(levels, CV_8U, 1.0 / 257);
    cv::Mat mapped;
    clahe->apply(levels, mapped);
    cv::Mat shift;
    cv::subtract(mapped, levels, shift, cv::noArray(), CV_32S);
    cv::Mat wide;
    grey.convertTo(wide, CV_32S);
    cv::scaleAdd(shift, 257, wide, wide);
    wide.convertTo(out, CV_16U);
    return out;
}

} // namespace

cv::Mat quor_InitOstraImg(cv::Mat image, int& level)
{
    level = 0;
    try {
        const cv::Mat grey = greyOf(image);
        if (grey.empty())
            return {};
        // One histogram gives both the brightness and the percentiles, exactly, in one pass.
        const int bins = grey.depth() == CV_8U ? 256 : 65536;
        const int channel = 0;
        const float range[] = {0.0f, float(bins)};
        const float* ranges[] = {range};
        cv::Mat hist;
        cv::calcHist(&grey, 1, &channel, cv::Mat(), hist, 1, &bins, ranges);
        const float* count = hist.ptr<float>();

        const double total = double(grey.total());
        double sum = 0;
        for (int v = 0; v < bins; ++v)
            sum += double(v) * count[v];
        const double top = fullScale(grey.depth());
        level = std::clamp(int(std::lround(100.0 * sum / total / top)), 1, 100);

        const double skip = std::floor(total * kOutlierShare);
        int lo = 0;
        for (double seen = count[0]; seen <= skip && lo < bins - 1;)
            seen += count[++lo];
        int hi = bins - 1;
        for (double seen = count[hi]; seen <= skip && hi > 0;)
            seen += count[--hi];
        if (hi <= lo) {
            // Nearly all pixels share one value: stretch between the extremes instead.
            lo = 0;
            while (lo < bins - 1 && count[lo] == 0)
                ++lo;
            hi = bins - 1;
            while (hi > 0 && count[hi] == 0)
                --hi;
        }
        if (hi <= lo)
            return grey.clone();
        return stretched(grey, lo, hi);
    } catch (const std::exception&) {
        level = 0;
        return {};
    }
}

cv::Mat quor_Fine(cv::Mat image)
{
    try {
        const cv::Mat grey = greyOf(image);
        return grey.empty() ? cv::Mat() : sharpened(grey, kFineAmount);
    } catch (const std::exception&) {
        return {};
    }
}

cv::Mat quor_HD(cv::Mat image)
{
    try {
        const cv::Mat grey = greyOf(image);
        return grey.empty() ? cv::Mat() : sharpened(equalised(grey), kUltraAmount);
    } catch (const std::exception&) {
        return {};
    }
}

cv::Mat quor_rotate(cv::Mat image, int angle)
{
    try {
        const cv::Mat grey = greyOf(image);
        if (grey.empty())
            return {};
        cv::Mat out;
        if (angle == 90)
            cv::rotate(grey, out, cv::ROTATE_90_COUNTERCLOCKWISE);
        else if (angle == 270)
            cv::rotate(grey, out, cv::ROTATE_90_CLOCKWISE);
        else
            out = grey.clone();
        return out;
    } catch (const std::exception&) {
        return {};
    }
}

cv::Mat quor_flip(cv::Mat image, int code)
{
    try {
        const cv::Mat grey = greyOf(image);
        if (grey.empty())
            return {};
        cv::Mat out;
        if (code == 0 || code == 1)
            cv::flip(grey, out, code);
        else
            out = grey.clone();
        return out;
    } catch (const std::exception&) {
        return {};
    }
}
