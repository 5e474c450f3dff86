// The picture bytes of an image reply through the frame handler's path: the window's bounded
// decode, product initialisation, both enhancements, the turns and mirrors, and the
// conversion and scaling for display. The inputs under fuzz/regressions/picture are headers
// that claim gigabytes or tens of megapixels in a few bytes.

#include "fuzz/harness.h"
#include "imaging/cvs.h"
#include "imaging/picturefile.h"
#include "quorimage/quorimage.h"

#include <QImage>
#include <QSize>

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace {

bool samePixels(const cv::Mat& a, const cv::Mat& b)
{
    return a.size == b.size && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// What the window does with a matrix it shows: convert, then scale into the picture label.
void show(const cv::Mat& image)
{
    const QImage converted = CVS::cvMatToQImage(image);
    if (converted.isNull())
        fail("a picture the library returned does not convert for display");
    const QImage scaled =
        converted.scaled(QSize(640, 480), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (scaled.width() > 640 || scaled.height() > 480)
        fail("the scaled picture does not fit its label");
}

void checkSameShape(const cv::Mat& result, const cv::Mat& source, const char* what)
{
    if (result.empty())
        fail(what);
    if (result.size() != source.size() || result.type() != source.type())
        fail("an enhancement changed the picture's size or type");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const std::vector<uchar> payload(bytes, bytes + size);
    const cv::Mat decoded = decodePicture(payload);
    if (decoded.empty())
        return 0;

    const cv::Mat decodedCopy = decoded.clone();
    int level = -1;
    const cv::Mat initialised = quor_InitOstraImg(decoded, level);
    if (!samePixels(decoded, decodedCopy))
        fail("initialisation wrote into its argument");
    if (initialised.empty()) {
        if (level != 0)
            fail("a failed initialisation left a level other than 0");
        // Only the depths and channel counts the library does not take may fail.
        if ((decoded.depth() == CV_8U || decoded.depth() == CV_16U) && decoded.dims == 2 &&
            (decoded.channels() == 1 || decoded.channels() == 3 || decoded.channels() == 4))
            fail("a grey 8- or 16-bit picture was not initialised");
        return 0;
    }
    if (level < 1 || level > 100)
        fail("luminance level outside 1..100");
    if (initialised.channels() != 1 || initialised.depth() != decoded.depth() ||
        initialised.size() != decoded.size())
        fail("initialisation changed the picture's shape or depth");

    const cv::Mat source = initialised.clone();
    show(initialised);
    const cv::Mat fine = quor_Fine(initialised);
    checkSameShape(fine, initialised, "HD failed on an initialised picture");
    show(fine);
    const cv::Mat hd = quor_HD(initialised);
    checkSameShape(hd, initialised, "Ultra HD failed on an initialised picture");
    show(hd);

    const cv::Mat left = quor_rotate(hd, 90);
    const cv::Mat right = quor_rotate(left, 270);
    if (left.empty() || left.rows != hd.cols || left.cols != hd.rows)
        fail("a quarter turn did not swap width and height");
    if (!samePixels(right, hd))
        fail("a quarter turn and its opposite do not give the picture back");
    show(left);
    const cv::Mat mirrored = quor_flip(quor_flip(fine, 1), 0);
    if (mirrored.empty() || !samePixels(quor_flip(quor_flip(mirrored, 0), 1), fine))
        fail("two mirrors and their repeats do not give the picture back");
    show(mirrored);

    if (!samePixels(initialised, source))
        fail("a library call wrote into its argument");
    return 0;
}
