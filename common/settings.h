#pragma once

#include <QString>

// The shared configuration file. Every call opens the file anew, so each read sees what
// the other program last wrote; nothing is cached between calls.

// The value of key in the shared file as text; empty when the key or the file is missing.
QString readSetting(const QString& key);
// Stores value under key and syncs to disk; false when the file could not be written.
bool writeSetting(const QString& key, const QString& value);
// As readSetting, on the INI file at path.
QString readSettingAt(const QString& path, const QString& key);

// The absolute path of the shared file.
QString configFilePath();
// The folder that holds the shared file, without a trailing slash.
QString configFolderPath();

// Points the accessors at another file, for tests; an empty path restores the fixed one.
void overrideConfigFilePath(const QString& path);
