#include "imaging/picturefile.h"

#include <QFileInfo>
#include <QSaveFile>

#include <opencv2/imgcodecs.hpp>

#include <vector>

bool writePictureFile(const cv::Mat& picture, const QString& path, QString& error)
{
    const QString suffix = QFileInfo(path).suffix();
    if (path.isEmpty() || suffix.isEmpty()) {
        error = QStringLiteral("no picture file with an extension is configured");
        return false;
    }
    std::vector<uchar> encoded;
    try {
        if (!cv::imencode(("." + suffix).toStdString(), picture, encoded)) {
            error = QStringLiteral("the picture could not be encoded as .%1").arg(suffix);
            return false;
        }
    } catch (const cv::Exception& e) {
        error = QStringLiteral("no encoder for .%1 (%2)").arg(suffix, QString::fromUtf8(e.what()));
        return false;
    }
    // The data source reads this file when told; it must never find half a picture, even
    // if the program dies or the disk fills mid-write.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(reinterpret_cast<const char*>(encoded.data()), qint64(encoded.size())) !=
            qint64(encoded.size()) ||
        !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}
