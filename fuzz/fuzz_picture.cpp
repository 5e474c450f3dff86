// The picture bytes of an image reply through the frame handler's path: the bounded decode,
// product initialisation, both enhancements, turns and mirrors, and the conversion for
// display. The inputs under fuzz/regressions/picture claim gigabytes in a few bytes. The bound
// on decoding holds only if OpenCV's own decode gives a picture of the header reader's size.

#include "fuzz/harness.h"
#include "imaging/cvs.h"
#include "imaging/picturefile.h"
#include "imaging/pictureheader.h"
#include "quorimage/quorimage.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace {

bool same(const cv::Mat& a, const cv::Mat& b)
{
    return a.size == b.size && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

void show(const cv::Mat& picture)
{
    if (CVS::cvMatToQImage(picture).scaled(640, 480, Qt::KeepAspectRatio).isNull())
        fail("a picture the library returned does not show");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const std::vector<unsigned char> input(bytes, bytes + size);
    const cv::Size claimed = pictureHeaderSize(input);
    if (!claimed.empty() &&
        std::uint64_t(claimed.width) * std::uint64_t(claimed.height) <= kMaxPicturePixels) {
        cv::Mat direct;
        try {
            direct = cv::imdecode(input, cv::IMREAD_ANYDEPTH);
        } catch (const cv::Exception&) {
        }
        if (!direct.empty() && direct.size() != claimed &&
            direct.size() != cv::Size(claimed.height, claimed.width))
            fail("the header reader and the decoder disagree on a picture's size");
    }
    const cv::Mat decoded = decodePicture(input);
    if (decoded.empty())
        return 0;
    const cv::Mat copy = decoded.clone();
    int level = -1;
    const cv::Mat initialised = quor_InitOstraImg(decoded, level);
    if (!same(decoded, copy))
        fail("initialisation wrote into its argument");
    if (initialised.empty()) {
        if (level != 0 || decoded.depth() == CV_8U || decoded.depth() == CV_16U)
            fail("a grey 8- or 16-bit picture was not initialised, or left a level");
        return 0;
    }
    if (level < 1 || level > 100 || initialised.size() != decoded.size() ||
        initialised.type() != decoded.type())
        fail("initialisation changed the picture's shape or gave a level outside 1..100");
    const cv::Mat source = initialised.clone();
    show(initialised);
    for (const cv::Mat& enhanced : {quor_Fine(initialised), quor_HD(initialised)}) {
        if (enhanced.size() != initialised.size() || enhanced.type() != initialised.type())
            fail("an enhancement changed the picture's size or type");
        show(enhanced);
    }
    const cv::Mat turned = quor_rotate(initialised, 90);
    if (turned.rows != initialised.cols || !same(quor_rotate(turned, 270), initialised))
        fail("a quarter turn and its opposite do not give the picture back");
    if (!same(quor_flip(quor_flip(initialised, 0), 0), initialised))
        fail("a mirror repeated does not give the picture back");
    show(turned);
    if (!same(initialised, source))
        fail("a library call wrote into its argument");
    return 0;
}
