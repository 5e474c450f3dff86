// The shared configuration file as anyone may have edited it: the input is the file. Every
// key the two programs read goes through both accessors, reading leaves the file as it was,
// and every value read survives being written back, even into a file with malformed lines.

#include "common/settings.h"
#include "fuzz/harness.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdint>

namespace {

const char* const kKeys[] = {
    "UDP/Port",           "WIFI/ssid",          "WIFI/setSSID",   "WIFI/Path",
    "WORK_DIR/dirConfig", "IMAHE/ImageScanPth", "IMAHE/AutoSave", "IMAHE/ProType",
};

// Values in Qt's typed form are escaped to read as text wherever they stand, so a file that
// holds such a form may read back with more "@" than it was read with.
bool holdsTypedForms(const std::uint8_t* bytes, std::size_t size)
{
    const QByteArray text =
        QByteArray::fromRawData(reinterpret_cast<const char*>(bytes), int(size));
    return text.contains("@Variant(") || text.contains("@DateTime(");
}

QTemporaryDir* folder = nullptr;
unsigned long long counter = 0;

void messageFilter(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    // The accessors warn about odd values on purpose; only the worse kinds matter here.
    if (type == QtCriticalMsg || type == QtFatalMsg)
        fail("Qt reported a critical error:", message);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler(messageFilter);
    // Every write back syncs the file to disk; in memory that costs nothing, which makes
    // the difference between ten runs a second and fifty.
    const QString base = QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                             ? QStringLiteral("/dev/shm")
                             : QDir::tempPath();
    // Static, so that the folder goes when libFuzzer exits at the end of its time.
    static QTemporaryDir scratch(base + QStringLiteral("/fuzz_settings-XXXXXX"));
    if (!scratch.isValid())
        fail("no temporary folder");
    folder = &scratch;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    // A new name each run: the INI cache keys on name, size and time, and two inputs of one
    // size written within the same tick would otherwise read as one.
    const QString path = folder->filePath(QStringLiteral("scanConfig-%1.ini").arg(++counter));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(reinterpret_cast<const char*>(bytes), qint64(size)) != qint64(size))
            fail("could not write the input file");
    }
    overrideConfigFilePath(path);

    QStringList values;
    for (const char* key : kKeys) {
        const QString name = QLatin1String(key);
        const QString value = readSetting(name);
        if (readSettingAt(path, name) != value)
            fail("the two accessors read one key differently", name);
        values.append(value);
    }

    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) ||
            file.readAll() !=
                QByteArray::fromRawData(reinterpret_cast<const char*>(bytes), int(size)))
            fail("reading changed the file");
    }

    for (int i = 0; i < values.size(); ++i) {
        const QString name = QLatin1String(kKeys[i]);
        if (!writeSetting(name, values.at(i)))
            fail("could not write back a value read", name + values.at(i));
    }
    for (int i = 0; i < values.size(); ++i) {
        const QString name = QLatin1String(kKeys[i]);
        if (readSetting(name) != values.at(i) && !holdsTypedForms(bytes, size))
            fail("a value written back reads differently", name + values.at(i));
    }

    overrideConfigFilePath(QString());
    QFile::remove(path);
    return 0;
}
