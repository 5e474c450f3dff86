#pragma once

#include <QString>

// The shared configuration file. Every call opens the file anew, so each read sees what
// the other program last wrote; nothing is cached between calls.

// The value of key in the shared file, read by Qt's INI text rules and always as text: a typed
// form such as "@Variant(...)" or "@Rect(...)" reads as the text it is. Empty when the key or
// the file is missing, the file is over 1 MiB or no regular file (a pipe, a device), or the
// value is a list (an unquoted comma). Never writes.
QString readSetting(const QString& key);
// Stores value under key as Qt's INI writer would and syncs to disk; false when the file could
// not be written, is no regular file, or is over 1 MiB (rewriting it would lose its keys).
bool writeSetting(const QString& key, const QString& value);
// As readSetting, on the INI file at path.
QString readSettingAt(const QString& path, const QString& key);

// The absolute path of the shared file.
QString configFilePath();
// The folder that holds the shared file, without a trailing slash.
QString configFolderPath();

// Points the accessors at another file, for tests; an empty path restores the fixed one.
void overrideConfigFilePath(const QString& path);
