#pragma once

#include <QString>

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

// The most pixels a decoded picture may have: 4096 x 4096, five times the scanner's largest.
constexpr std::uint64_t kMaxPicturePixels = 4096u * 4096u;

// The picture in bytes as received, decoded keeping 16 bits where the file has them (colour
// made grey). Empty when the bytes are no picture, the decoder fails, the bytes are in none
// of the formats pictureHeaderSize reads, or their header claims more than kMaxPicturePixels:
// a header alone makes the decoder allocate the size it claims, so 21 bytes could otherwise
// ask for gigabytes. Safe on any number of threads at once.
cv::Mat decodePicture(const std::vector<unsigned char>& bytes);
// As decodePicture, keeping the channels as stored (grey, BGR or BGRA) along with the depth.
cv::Mat decodePictureAsStored(const std::vector<unsigned char>& bytes);

// The largest picture file read whole: a camera picture is a few megabytes.
constexpr std::int64_t kMaxPictureFileBytes = 256 * 1024 * 1024;

// The whole file at path into bytes; false, with the reason in error, when it is missing,
// unreadable, empty, larger than kMaxPictureFileBytes or a JPEG without its end marker (a
// JPEG decoder fills a cut-off picture with grey instead of failing).
bool readPictureFile(const QString& path, std::vector<unsigned char>& bytes, QString& error);

// Writes picture to path in the format its extension names. The file at path is always a
// whole picture, the old or the new one: the new one is written beside it and renamed
// over it. False, with the reason in error, when there is no extension, no encoder for it,
// the encoder fails in any way (out of memory included), or the file cannot be written.
bool writePictureFile(const cv::Mat& picture, const QString& path, QString& error);
