#pragma once

#include <QImage>

namespace cv {
class Mat;
}

// The one way a picture matrix becomes something Qt can show.
class CVS final
{
public:
    // The matrix as a QImage: 8-bit grey, 16-bit grey and 8-bit four-channel matrices are
    // wrapped without a copy (valid only while mat lives unchanged), 8-bit three-channel
    // ones are copied with blue and red swapped. A null image, with a warning, for any
    // other type or shape; a null image for an empty matrix.
    static QImage cvMatToQImage(const cv::Mat& mat);
};
