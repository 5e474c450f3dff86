// Pictures for the whole-system run: makes the picture the simulated scanner serves, and
// checks that the saved picture is that picture after the window's processing.
//
//   ostra-picturecheck make FILE WIDTH HEIGHT DEPTH SEED
//   ostra-picturecheck check SERVED SAVED MODE

#include "quorimage/quorimage.h"
#include "tools/scannersim/syntheticpicture.h"

#include <QFile>
#include <QFileInfo>

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <cstdlib>

namespace {

int make(const char* path, int width, int height, int depth, int seed)
{
    const QByteArray picture =
        syntheticPicture(width, height, depth,
                         QLatin1Char('.') + QFileInfo(QString::fromLocal8Bit(path)).suffix(), seed);
    QFile file(QString::fromLocal8Bit(path));
    if (picture.isEmpty() || !file.open(QIODevice::WriteOnly) ||
        file.write(picture) != picture.size()) {
        std::fprintf(stderr, "cannot make %s\n", path);
        return 1;
    }
    return 0;
}

int check(const char* servedPath, const char* savedPath, int mode)
{
    const cv::Mat served = cv::imread(servedPath, cv::IMREAD_ANYDEPTH);
    const cv::Mat saved = cv::imread(savedPath, cv::IMREAD_ANYDEPTH);
    if (served.empty() || saved.empty()) {
        std::fprintf(stderr, "cannot read %s or %s\n", servedPath, savedPath);
        return 1;
    }
    int level = 0;
    const cv::Mat initialised = quor_InitOstraImg(served, level);
    const cv::Mat expected = mode == 0   ? initialised
                             : mode == 1 ? quor_Fine(initialised)
                                         : quor_HD(initialised);
    if (expected.size() != saved.size() || expected.type() != saved.type()) {
        std::fprintf(stderr, "saved %dx%d type %d, expected %dx%d type %d\n", saved.cols,
                     saved.rows, saved.type(), expected.cols, expected.rows, expected.type());
        return 1;
    }
    const double difference = cv::norm(expected, saved, cv::NORM_INF);
    std::printf("saved picture %dx%d, largest difference from the expected one: %g\n", saved.cols,
                saved.rows, difference);
    return difference == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 7 && std::string(argv[1]) == "make")
        return make(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]),
                    std::atoi(argv[6]));
    if (argc == 5 && std::string(argv[1]) == "check")
        return check(argv[2], argv[3], std::atoi(argv[4]));
    std::fprintf(stderr, "usage: %s make FILE WIDTH HEIGHT DEPTH SEED | check SERVED SAVED MODE\n",
                 argv[0]);
    return 2;
}
