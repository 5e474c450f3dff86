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

// The picture as a frame: 8- or 16-bit grey as grey of that depth, BGR or BGRA as RGB of
// its depth (alpha dropped); 16-bit samples in this machine's byte order, as SANE wants.
// False, with the reason in why, for any other sample type or channel count.
bool frameFromPicture(const cv::Mat& picture, Frame& frame, std::string& why);

} // namespace ostra
