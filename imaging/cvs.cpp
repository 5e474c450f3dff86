#include "imaging/cvs.h"

#include <QtDebug>

#include <opencv2/core.hpp>

QImage CVS::cvMatToQImage(const cv::Mat& mat)
{
    if (mat.empty())
        return QImage();
    const int type = mat.type();
    // A matrix of more than two dimensions has no rows and columns to map onto lines.
    if (mat.dims != 2) {
        qWarning() << "CVS::cvMatToQImage() - cv::Mat image type not handled in switch:" << type;
        return QImage();
    }

    // The row step, not the width, sets each line's start, so views into larger matrices
    // and padded rows keep their geometry.
    const int stride = static_cast<int>(mat.step);
    // Wrapped read-only: a caller that paints on the image gets its own copy instead of
    // writing into the matrix it passed as const.
    const uchar* pixels = mat.ptr();
    switch (type) {
    case CV_8UC1:
        return QImage(pixels, mat.cols, mat.rows, stride, QImage::Format_Grayscale8);
    case CV_16UC1:
        return QImage(pixels, mat.cols, mat.rows, stride, QImage::Format_Grayscale16);
    case CV_8UC3:
        // OpenCV keeps blue first; the swap makes a new image with pixels of its own.
        return QImage(pixels, mat.cols, mat.rows, stride, QImage::Format_RGB888).rgbSwapped();
    case CV_8UC4:
        return QImage(pixels, mat.cols, mat.rows, stride, QImage::Format_ARGB32);
    default:
        qWarning() << "CVS::cvMatToQImage() - cv::Mat image type not handled in switch:" << type;
        return QImage();
    }
}
