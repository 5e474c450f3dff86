#include "common/settings.h"

#include "common/groupfilemode.h"

#include "platform/paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>
#include <QStringList>
#include <QTemporaryFile>
#include <QVariant>
#include <QtDebug>
#include <mutex>

namespace {

Q_LOGGING_CATEGORY(logSettings, "ostra.settings", QtInfoMsg)

std::mutex overrideMutex;
QString overriddenPath;

// Qt's INI reader turns a value written as "@Variant(...)" into whatever type its bytes
// name, allocating what they claim: a hand-edited or damaged file could ask for exabytes or
// build pixmaps on a worker thread. The programs only ever store text, so such values are
// escaped to read as the text they are ("@@" reads as "@"). Anywhere, not only after "key=":
// Qt's reader splits lines in its own ways. Not where Qt itself wrote a text that starts
// with "@" ("@String(@Variant(...)"), nor after a backslash: Qt drops an unknown escape such
// as "\@" whole, so doubling that "@" would make the typed value. An "@" written as an
// escape ("\x40", "\100") becomes "@@" before such a name.
bool escapeTypedValues(QByteArray& text)
{
    if (!text.contains("Variant(") && !text.contains("DateTime("))
        return false;
    static const QRegularExpression typed(
        QStringLiteral("(?<![@\\\\])(?<!@String\\()@(?=(Variant|DateTime)\\()"));
    static const QRegularExpression escapedAt(
        QStringLiteral("\\\\(x0*40|0*100)(?=(Variant|DateTime)\\()"));
    // Byte for byte, NULs included: a file is not text up to its first NUL.
    const QString original = QString::fromLatin1(text.constData(), text.size());
    QString fixed = original;
    fixed.replace(typed, QStringLiteral("@@"));
    fixed.replace(escapedAt, QStringLiteral("@@"));
    if (fixed == original)
        return false;
    text = fixed.toLatin1();
    return true;
}

// Before a write, which rewrites the whole file anyway: the typed values Qt would
// otherwise build while loading it are stored escaped.
void neutraliseTypedValues(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QByteArray text = file.readAll();
    file.close();
    if (!escapeTypedValues(text))
        return;
    qCWarning(logSettings) << "Configuration file" << path
                           << "held typed values; they are kept as plain text";
    QSaveFile out(path);
    if (out.open(QIODevice::WriteOnly)) {
        out.write(text);
        out.commit();
    }
}

QString valueOf(const QSettings& settings, const QString& key, const QString& path)
{
    const QVariant value = settings.value(key);
    // An unquoted comma makes Qt read a list, which every reader of the file by Qt's rules
    // (the TWAIN data source among them) takes as no text; reading it joined would save a
    // picture where the data source never looks.
    if (value.type() == QVariant::StringList) {
        qCWarning(logSettings) << "Setting" << key << "in" << path
                               << "holds an unquoted comma and reads as no value; quote it";
        return QString();
    }
    return value.toString();
}

// A read never writes: another program may be writing the shared file at this moment, and
// the access point program's own file is not ours to change. A file with typed values is
// read through an escaped private copy instead.
QString valueAsText(const QString& path, const QString& key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QByteArray text = file.readAll();
    file.close();
    if (!escapeTypedValues(text))
        return valueOf(QSettings(path, QSettings::IniFormat), key, path);

    qCWarning(logSettings) << "Configuration file" << path
                           << "holds typed values; they are read as plain text";
    QTemporaryFile copy(QDir::temp().filePath(QStringLiteral("ostra-settings-XXXXXX.ini")));
    if (!copy.open() || copy.write(text) != text.size() || !copy.flush()) {
        qCWarning(logSettings) << "No private copy of" << path
                               << "could be made:" << copy.errorString();
        return QString();
    }
    return valueOf(QSettings(copy.fileName(), QSettings::IniFormat), key, path);
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
        qCWarning(logSettings) << "Could not write" << key << "to" << settings.fileName();
        return false;
    }
    // The rename-save made the file this user's, with the old file's mode or the umask's.
    QFile written(settings.fileName());
    setGroupFileMode(written);
    return true;
}
