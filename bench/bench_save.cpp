// Saving a picture through the whole-picture write (encode in memory, write beside,
// rename over) against a bare imwrite to the same path. Prints medians and ratios.

#include "bench/timing.h"
#include "imaging/picturefile.h"
#include "tools/scannersim/syntheticpicture.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

cv::Mat decoded(const QByteArray& bytes)
{
    return cv::imdecode(std::vector<uchar>(bytes.begin(), bytes.end()), cv::IMREAD_ANYDEPTH);
}

} // namespace

int main(int argc, char* argv[])
{
    const int runs = argc > 1 ? std::max(3, atoi(argv[1])) : 15;
    QTemporaryDir dir;
    struct Case
    {
        const char* name;
        cv::Mat picture;
        const char* file;
    };
    const Case cases[] = {
        {"1500x2000 16-bit to PNG",
         decoded(syntheticPicture(1500, 2000, 16, QStringLiteral(".png"), 1)), "scan.png"},
        {"1500x2000 8-bit to PNG",
         decoded(syntheticPicture(1500, 2000, 8, QStringLiteral(".png"), 1)), "scan8.png"},
        {"1920x1080 8-bit to JPEG",
         decoded(syntheticPicture(1920, 1080, 8, QStringLiteral(".jpg"), 1)), "scan.jpg"},
    };
    std::printf(
        "saving a picture: whole-picture write against bare imwrite, %d runs each, median\n", runs);
    std::printf("%-26s %14s %14s %8s\n", "picture", "whole write", "imwrite", "ratio");
    for (const Case& c : cases) {
        const QString path = dir.filePath(QLatin1String(c.file));
        QString error;
        const double whole = medianMs(runs, [&] {
            if (!writePictureFile(c.picture, path, error))
                std::fprintf(stderr, "write failed: %s\n", qPrintable(error));
        });
        const double bare = medianMs(runs, [&] { cv::imwrite(path.toStdString(), c.picture); });
        std::printf("%-26s %11.2f ms %11.2f ms %8.2f\n", c.name, whole, bare, whole / bare);
    }
    return 0;
}
