#include "sane/frame.h"

#include <cstring>

namespace ostra {

namespace {

template<typename Sample>
void copyAsRgb(const cv::Mat& picture, SANE_Byte* out)
{
    const int channels = picture.channels();
    for (int row = 0; row < picture.rows; ++row) {
        const auto* in = picture.ptr<Sample>(row);
        for (int column = 0; column < picture.cols; ++column, in += channels) {
            const Sample rgb[3] = {in[2], in[1], in[0]};
            std::memcpy(out, rgb, sizeof rgb);
            out += sizeof rgb;
        }
    }
}

} // namespace

bool frameFromPicture(const cv::Mat& picture, Frame& frame, std::string& why)
{
    const int depth = picture.depth() == CV_8U ? 8 : picture.depth() == CV_16U ? 16 : 0;
    const int channels = picture.channels();
    if (depth == 0 || picture.dims != 2 || picture.empty()) {
        why = "samples of OpenCV depth " + std::to_string(picture.depth()) +
              ", neither 8- nor 16-bit";
        return false;
    }
    if (channels != 1 && channels != 3 && channels != 4) {
        why = std::to_string(channels) + " channels, neither grey nor colour";
        return false;
    }
    const bool grey = channels == 1;
    const int bytesPerPixel = (grey ? 1 : 3) * depth / 8;
    SANE_Parameters& p = frame.parameters;
    p.format = grey ? SANE_FRAME_GRAY : SANE_FRAME_RGB;
    p.last_frame = SANE_TRUE;
    p.depth = depth;
    p.lines = picture.rows;
    p.pixels_per_line = picture.cols;
    p.bytes_per_line = picture.cols * bytesPerPixel;
    frame.bytes.resize(std::size_t(p.bytes_per_line) * std::size_t(p.lines));

    SANE_Byte* out = frame.bytes.data();
    if (grey) {
        for (int row = 0; row < picture.rows; ++row, out += p.bytes_per_line)
            std::memcpy(out, picture.ptr(row), std::size_t(p.bytes_per_line));
    } else if (depth == 8) {
        copyAsRgb<std::uint8_t>(picture, out);
    } else {
        copyAsRgb<std::uint16_t>(picture, out);
    }
    return true;
}

} // namespace ostra
