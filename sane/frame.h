#pragma once

#include <sane/sane.h>

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace ostra {

// One picture as SANE hands it over: a single frame, grey or RGB, rows top to bottom.
struct Frame
{
    SANE_Parameters parameters{};
    std::vector<SANE_Byte> bytes;
};

// What the options ask a frame to be: grey or RGB, 8 or 16 bits a sample.
struct FrameKind
{
    bool color = false;
    int depth = 8;
};

// The parameters of a frame of kind for a picture of columns x rows pixels.
SANE_Parameters frameParameters(int columns, int rows, FrameKind kind);

// The picture (8- or 16-bit grey, BGR or BGRA) as a frame of kind. Grey becomes RGB with
// R = G = B; colour becomes grey by OpenCV's BT.601 weights; alpha is dropped. A 16-bit
// sample v becomes (v + 128) / 257 in 8 bits, v * 255 / 65535 rounded to nearest (exact in
// integers; it undoes the widening), an 8-bit sample v becomes v * 257 in 16 bits (255 is
// 65535). 16-bit samples go in this machine's byte order, as SANE wants. False, with the
// reason in why, for any other sample type or channel count.
bool frameFromPicture(const cv::Mat& picture, FrameKind kind, Frame& frame, std::string& why);

} // namespace ostra
