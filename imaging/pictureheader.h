#pragma once

#include <opencv2/core.hpp>

#include <vector>

// The width and height a picture's header claims, read without decoding, for the formats the
// picture decode accepts: PNG, JPEG (baseline, extended or progressive; grey, colour or CMYK),
// BMP, TIFF, PBM/PGM/PPM, Sun raster and WebP. Empty when the bytes are in none of them, the
// header is cut off or malformed, a TIFF's tiles are larger than its picture (rounded up to
// 256 pixels), or OpenCV would take the bytes for another format. The decoder is the one
// OpenCV picks for the bytes, so its picture has this size (or its transpose, where the
// picture asks to be turned).
cv::Size pictureHeaderSize(const std::vector<unsigned char>& bytes);
