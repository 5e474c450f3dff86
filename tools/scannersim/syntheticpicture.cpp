#include "tools/scannersim/syntheticpicture.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <vector>

QByteArray syntheticPicture(int width, int height, int depth, const QString& format, int seed)
{
    if (width <= 0 || height <= 0 || (depth != 8 && depth != 16))
        return {};
    const double top = depth == 16 ? 65535.0 : 255.0;
    cv::Mat picture(height, width, depth == 16 ? CV_16UC3 : CV_8UC3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double u = double(x) / width;
            const double v = double(y) / height;
            const cv::Scalar colour(top * u, top * v, top * (1.0 - u) * 0.6 + top * 0.2);
            if (depth == 16)
                picture.at<cv::Vec3w>(y, x) = cv::Vec3w(cv::saturate_cast<ushort>(colour[0]),
                                                        cv::saturate_cast<ushort>(colour[1]),
                                                        cv::saturate_cast<ushort>(colour[2]));
            else
                picture.at<cv::Vec3b>(y, x) = cv::Vec3b(cv::saturate_cast<uchar>(colour[0]),
                                                        cv::saturate_cast<uchar>(colour[1]),
                                                        cv::saturate_cast<uchar>(colour[2]));
        }
    }
    const cv::Point centre(width / 2, height / 2);
    for (int r = 1; r < 6; ++r)
        cv::circle(picture, centre, r * std::min(width, height) / 12, cv::Scalar::all(top * 0.9),
                   std::max(1, std::min(width, height) / 100));
    const int bar = std::max(1, width / 16);
    const int position = (seed * bar) % std::max(1, width - bar);
    cv::rectangle(picture, cv::Rect(position, 0, bar, height), cv::Scalar::all(top * 0.1),
                  cv::FILLED);

    std::vector<uchar> encoded;
    try {
        if (!cv::imencode(format.toStdString(), picture, encoded))
            return {};
    } catch (const cv::Exception&) {
        return {};
    }
    return QByteArray(reinterpret_cast<const char*>(encoded.data()), int(encoded.size()));
}
