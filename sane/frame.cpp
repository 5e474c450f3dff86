#include "sane/frame.h"

#include <opencv2/imgproc.hpp>

#include <cstring>

namespace ostra {

namespace {

// 16 to 8 bits rounds to the nearest, (v + 128) / 257: 257 is odd, so no sample lies half
// way. 8 to 16 bits is v * 257, exact both ways.
cv::Mat withDepth(const cv::Mat& picture, int depth)
{
    cv::Mat out;
    if (depth == 8 && picture.depth() == CV_16U)
        picture.convertTo(out, CV_8U, 1.0 / 257);
    else if (depth == 16 && picture.depth() == CV_8U)
        picture.convertTo(out, CV_16U, 257);
    else
        out = picture;
    return out;
}

} // namespace

SANE_Parameters frameParameters(int columns, int rows, FrameKind kind)
{
    SANE_Parameters p{};
    p.format = kind.color ? SANE_FRAME_RGB : SANE_FRAME_GRAY;
    p.last_frame = SANE_TRUE;
    p.depth = kind.depth;
    p.lines = rows;
    p.pixels_per_line = columns;
    p.bytes_per_line = columns * (kind.color ? 3 : 1) * kind.depth / 8;
    return p;
}

bool frameFromPicture(const cv::Mat& picture, FrameKind kind, Frame& frame, std::string& why)
{
    const int channels = picture.channels();
    if ((picture.depth() != CV_8U && picture.depth() != CV_16U) || picture.dims != 2 ||
        picture.empty()) {
        why = "samples of OpenCV depth " + std::to_string(picture.depth()) +
              ", neither 8- nor 16-bit";
        return false;
    }
    if (channels != 1 && channels != 3 && channels != 4) {
        why = std::to_string(channels) + " channels, neither grey nor colour";
        return false;
    }
    static const int toGrey[] = {-1, -1, -1, cv::COLOR_BGR2GRAY, cv::COLOR_BGRA2GRAY};
    static const int toRgb[] = {-1, cv::COLOR_GRAY2RGB, -1, cv::COLOR_BGR2RGB, cv::COLOR_BGRA2RGB};
    const int code = kind.color ? toRgb[channels] : toGrey[channels];
    cv::Mat samples = picture;
    if (code >= 0)
        cv::cvtColor(picture, samples, code);
    samples = withDepth(samples, kind.depth);

    frame.parameters = frameParameters(picture.cols, picture.rows, kind);
    const std::size_t rowBytes = std::size_t(frame.parameters.bytes_per_line);
    frame.bytes.resize(rowBytes * std::size_t(picture.rows));
    for (int row = 0; row < samples.rows; ++row)
        std::memcpy(frame.bytes.data() + rowBytes * std::size_t(row), samples.ptr(row), rowBytes);
    return true;
}

} // namespace ostra
