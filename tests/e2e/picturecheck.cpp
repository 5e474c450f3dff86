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

int main(int argc, char* argv[])
{
    if (argc == 7 && qstrcmp(argv[1], "make") == 0) {
        const QString path = QString::fromLocal8Bit(argv[2]);
        const QByteArray picture = syntheticPicture(atoi(argv[3]), atoi(argv[4]), atoi(argv[5]),
                                                    "." + QFileInfo(path).suffix(), atoi(argv[6]));
        QFile file(path);
        return picture.isEmpty() || !file.open(QIODevice::WriteOnly) ||
               file.write(picture) != picture.size();
    }
    if (argc != 5 || qstrcmp(argv[1], "check") != 0) {
        std::fprintf(stderr,
                     "usage: %s make FILE WIDTH HEIGHT DEPTH SEED | check SERVED SAVED MODE\n",
                     argv[0]);
        return 2;
    }
    const cv::Mat served = cv::imread(argv[2], cv::IMREAD_ANYDEPTH);
    const cv::Mat saved = cv::imread(argv[3], cv::IMREAD_ANYDEPTH);
    if (served.empty() || saved.empty()) {
        std::fprintf(stderr, "cannot read %s or %s\n", argv[2], argv[3]);
        return 1;
    }
    int level = 0;
    const cv::Mat initialised = quor_InitOstraImg(served, level);
    const int mode = atoi(argv[4]);
    const cv::Mat expected = mode == 0   ? initialised
                             : mode == 1 ? quor_Fine(initialised)
                                         : quor_HD(initialised);
    if (expected.size() != saved.size() || expected.type() != saved.type()) {
        std::fprintf(stderr, "saved %dx%d type %d, expected %dx%d type %d\n", saved.cols,
                     saved.rows, saved.type(), expected.cols, expected.rows, expected.type());
        return 1;
    }
    const double difference = cv::norm(expected, saved, cv::NORM_INF);
    std::printf("largest difference from the expected picture: %g\n", difference);
    return difference == 0 ? 0 : 1;
}
