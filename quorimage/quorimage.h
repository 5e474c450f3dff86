#pragma once

#include <opencv2/core.hpp>

// Our image library for the scanner's pictures. Every function takes an 8- or 16-bit grey
// matrix (8- or 16-bit colour is made grey first), never writes into its argument's pixels and
// returns a new single-channel matrix of the same depth. Nothing throws: an empty argument, any
// other depth, channel count or shape, or a failure inside gives an empty matrix.

// The picture with the range it uses stretched to its depth's full range, and level set to its
// brightness as a percentage 1..100; an empty matrix and level 0 on failure.
cv::Mat quor_InitOstraImg(cv::Mat image, int& level);

// The picture moderately sharpened ("HD"); an empty matrix on failure.
cv::Mat quor_Fine(cv::Mat image);

// The picture with its local contrast equalised and then sharpened ("Ultra HD"); an empty
// matrix on failure.
cv::Mat quor_HD(cv::Mat image);

// The picture turned a quarter to the left for 90, to the right for 270, an unchanged copy for
// any other angle; an empty matrix on failure.
cv::Mat quor_rotate(cv::Mat image, int angle);

// The picture mirrored top to bottom for 0, left to right for 1, an unchanged copy for any other
// code; an empty matrix on failure.
cv::Mat quor_flip(cv::Mat image, int code);
