#include "imaging/picturefile.h"

#include "common/groupfilemode.h"
#include "imaging/pictureheader.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <opencv2/imgcodecs.hpp>

#include <vector>

namespace {

// The decoders allocate whatever a header claims, so the claim is checked before anything is
// decoded; bytes in a format whose header is not read here are refused. Nothing global is
// touched: other threads, and other decodes, allocate as they please meanwhile.
cv::Mat decodeBounded(const std::vector<unsigned char>& bytes, int flags)
{
    const cv::Size claimed = pictureHeaderSize(bytes);
    if (claimed.empty() ||
        std::uint64_t(claimed.width) * std::uint64_t(claimed.height) > kMaxPicturePixels)
        return {};
    cv::Mat decoded;
    try {
        decoded = cv::imdecode(bytes, flags);
    } catch (const cv::Exception&) {
        return {};
    }
    // Another size than the header's means the decoder read it by other rules than the check.
    if (decoded.size() != claimed && decoded.size() != cv::Size(claimed.height, claimed.width))
        return {};
    return decoded;
}

} // namespace

cv::Mat decodePicture(const std::vector<unsigned char>& bytes)
{
    return decodeBounded(bytes, cv::IMREAD_ANYDEPTH);
}

cv::Mat decodePictureAsStored(const std::vector<unsigned char>& bytes)
{
    return decodeBounded(bytes, cv::IMREAD_UNCHANGED);
}

bool readPictureFile(const QString& path, std::vector<unsigned char>& bytes, QString& error)
{
    bytes.clear();
    QFile file(path);
    if (path.isEmpty() || !QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        error = path.isEmpty() ? QStringLiteral("no picture file is configured")
                               : QStringLiteral("cannot be read (%1)").arg(file.errorString());
        return false;
    }
    const qint64 size = file.size();
    if (size <= 0 || size > kMaxPictureFileBytes) {
        error = QStringLiteral("%1 bytes, not the size of a picture").arg(size);
        return false;
    }
    bytes.resize(std::size_t(size));
    if (file.read(reinterpret_cast<char*>(bytes.data()), size) != size) {
        error = QStringLiteral("cannot be read whole (%1)").arg(file.errorString());
        bytes.clear();
        return false;
    }
    const bool jpeg = size >= 2 && bytes[0] == 0xff && bytes[1] == 0xd8;
    if (jpeg && !(bytes[std::size_t(size) - 2] == 0xff && bytes[std::size_t(size) - 1] == 0xd9)) {
        error = QStringLiteral("a JPEG without its end marker, cut off while written");
        bytes.clear();
        return false;
    }
    return true;
}

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
    } catch (const std::exception& e) {
        // Out of memory for the encoded picture, above all.
        error = QStringLiteral("the picture could not be encoded as .%1 (%2)")
                    .arg(suffix, QString::fromLocal8Bit(e.what()));
        return false;
    }
    // The data source reads this file when told; it must never find half a picture, even
    // if the program dies or the disk fills mid-write.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !setGroupFileMode(file) ||
        file.write(reinterpret_cast<const char*>(encoded.data()), qint64(encoded.size())) !=
            qint64(encoded.size()) ||
        !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}
