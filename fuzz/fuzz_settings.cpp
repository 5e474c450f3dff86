// The shared configuration file as anyone may have edited it: the input is the file. Every
// key the two programs read goes through both accessors, reading leaves the file as it was,
// and every value read survives being written back, even into a file with malformed lines.
// The input as UTF-16 text: Qt's INI writer's copy reads back equal, ours Qt's reader reads so.

#include "common/settings.h"
#include "fuzz/harness.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

namespace {

const char* const kKeys[] = {"UDP/Port",       "WIFI/ssid",          "WIFI/setSSID",
                             "WIFI/Path",      "WORK_DIR/dirConfig", "IMAHE/ImageScanPth",
                             "IMAHE/AutoSave", "IMAHE/ProType"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    // In memory, since every write back syncs to disk. Static: it goes when libFuzzer exits.
    static QTemporaryDir folder(
        (QFileInfo("/dev/shm").isWritable() ? "/dev/shm" : QDir::tempPath()) +
        "/fuzz_settings-XXXXXX");
    static unsigned long long runs = 0;
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtCriticalMsg || type == QtFatalMsg) // the accessors warn on purpose
            fail("Qt reported a critical error:", text);
    });
    // A new name each run: Qt's file cache keys on name, size and time.
    const QString path = folder.filePath(QStringLiteral("scanConfig-%1.ini").arg(++runs));
    const QByteArray input(reinterpret_cast<const char*>(bytes), int(size));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(input) != input.size())
        fail("could not write the input file");
    file.close();
    overrideConfigFilePath(path);
    QStringList values;
    for (const char* key : kKeys) {
        values << readSetting(key);
        if (readSettingAt(path, key) != values.last())
            fail("the two accessors read one key differently", key);
    }
    if (!file.open(QIODevice::ReadOnly) || file.readAll() != input)
        fail("reading changed the file");
    file.close();
    for (int i = 0; i < values.size(); ++i) {
        if (!writeSetting(kKeys[i], values.at(i)))
            fail("could not write back a value read", kKeys[i] + values.at(i));
    }
    for (int i = 0; i < values.size(); ++i) {
        if (readSetting(kKeys[i]) != values.at(i))
            fail("a value written back reads differently", kKeys[i] + values.at(i));
    }
    QFile::remove(path);

    const QString text(reinterpret_cast<const QChar*>(bytes), int(size / 2));
    const QString byQt = path + QStringLiteral(".qt");
    {
        QSettings settings(byQt, QSettings::IniFormat);
        settings.setValue(QStringLiteral("WIFI/ssid"), text);
    }
    if (readSettingAt(byQt, QStringLiteral("WIFI/ssid")) != text)
        fail("a text Qt's writer stored reads differently", text);
    QFile::remove(byQt);
    if (!writeSetting(QStringLiteral("WIFI/ssid"), text))
        fail("could not write a text");
    if (!QFile::copy(path, byQt + "2")) // a name Qt has parsed nothing under
        fail("could not copy the file written");
    if (QSettings(byQt + "2", QSettings::IniFormat).value(QStringLiteral("WIFI/ssid")) != text)
        fail("Qt's reader reads a text written differently", text);
    QFile::remove(path);
    QFile::remove(byQt + "2");
    return 0;
}
