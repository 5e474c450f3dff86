#pragma once

#include <QString>

#include <opencv2/core.hpp>

// Writes picture to path in the format its extension names. The file at path is always a
// whole picture, the old or the new one: the new one is written beside it and renamed
// over it. False, with the reason in error, when there is no extension, no encoder for it,
// or the file cannot be written.
bool writePictureFile(const cv::Mat& picture, const QString& path, QString& error);
