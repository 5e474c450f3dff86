#pragma once

#include <QDateTime>
#include <QString>

// A per-start log file beside Qt's default output: every diagnostic goes to both.

// The file name for a start at `when`: "yyyy-MM-dd HH-mm-ss.log".
QString logFileName(const QDateTime& when);

// Opens folder/<logFileName(now)> (creating the folder), keeps only the newest `keep` log
// files there, and copies every later diagnostic into the file. False, with a warning on
// the default output, when the file cannot be opened; diagnostics then go only there.
bool startLogFile(const QString& folder, const QDateTime& now = QDateTime::currentDateTime(),
                  int keep = 30);

// Stops copying diagnostics into the file and closes it.
void stopLogFile();
