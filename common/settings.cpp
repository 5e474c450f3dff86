#include "common/settings.h"

#include "platform/paths.h"

#include <QSettings>
#include <QStringList>
#include <QVariant>
#include <QtDebug>
#include <mutex>

namespace {

std::mutex overrideMutex;
QString overriddenPath;

QString valueAsText(const QString& path, const QString& key)
{
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
    QSettings settings(configFilePath(), QSettings::IniFormat);
    settings.setValue(key, value);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        qWarning() << "Could not write" << key << "to" << settings.fileName();
        return false;
    }
    return true;
}
