#include "common/settings.h"

#include "platform/paths.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>
#include <QStringList>
#include <QVariant>
#include <QtDebug>
#include <mutex>

namespace {

std::mutex overrideMutex;
QString overriddenPath;

// Qt's INI reader turns a value written as "@Variant(...)" into whatever type its bytes
// name, allocating what they claim: a hand-edited or damaged file could ask for exabytes or
// build pixmaps on a worker thread. The programs only ever store text, so such values are
// escaped in the file, once, to read as the text they are.
void neutraliseTypedValues(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray text = file.readAll();
    file.close();
    if (!text.contains("@Variant(") && !text.contains("@DateTime("))
        return;
    // Anywhere, not only after "key=": Qt's reader splits lines in its own ways. Not where
    // Qt itself wrote a text that starts with "@" ("@String(@Variant(...)").
    static const QRegularExpression typed(
        QStringLiteral("(?<!@)(?<!@String\\()@(Variant|DateTime)\\("));
    // Byte for byte, NULs included: a file is not text up to its first NUL.
    const QString original = QString::fromLatin1(text.constData(), text.size());
    QString fixed = original;
    fixed.replace(typed, QStringLiteral("@@\\1("));
    if (fixed == original)
        return;
    qWarning() << "Configuration file" << path << "held typed values; they are kept as plain text";
    QSaveFile out(path);
    if (out.open(QIODevice::WriteOnly)) {
        out.write(fixed.toLatin1());
        out.commit();
    }
}

QString valueAsText(const QString& path, const QString& key)
{
    neutraliseTypedValues(path);
    const QSettings settings(path, QSettings::IniFormat);
    const QVariant value = settings.value(key);
    // An unquoted value with a comma comes back as a list; a path such as
    // "D:/Dr. Lee, DDS/scan.bmp" must not turn into an empty string.
    if (value.type() == QVariant::StringList) {
        qWarning() << "Setting" << key << "in" << path
                   << "holds an unquoted comma; read as the text it was written as";
        return value.toStringList().join(QStringLiteral(", "));
    }
    return value.toString();
}

} // namespace

QString configFolderPath()
{
    return QString::fromUtf8(platform::configFolder());
}

QString configFilePath()
{
    {
        std::lock_guard<std::mutex> lock(overrideMutex);
        if (!overriddenPath.isEmpty())
            return overriddenPath;
    }
    return configFolderPath() + QStringLiteral("/scanConfig.ini");
}

void overrideConfigFilePath(const QString& path)
{
    std::lock_guard<std::mutex> lock(overrideMutex);
    overriddenPath = path;
}

QString readSetting(const QString& key)
{
    return valueAsText(configFilePath(), key);
}

QString readSettingAt(const QString& path, const QString& key)
{
    return valueAsText(path, key);
}

bool writeSetting(const QString& key, const QString& value)
{
    neutraliseTypedValues(configFilePath());
    QSettings settings(configFilePath(), QSettings::IniFormat);
    settings.setValue(key, value);
    settings.sync();
    // A line Qt cannot parse anywhere in the file shows as a format error although the
    // value was written (and the bad line dropped); then the file's writability decides.
    const QSettings::Status status = settings.status();
    if (status != QSettings::NoError &&
        !(status == QSettings::FormatError && QFileInfo(settings.fileName()).isWritable())) {
        qWarning() << "Could not write" << key << "to" << settings.fileName();
        return false;
    }
    return true;
}
