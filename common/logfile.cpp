#include "common/logfile.h"

#include "common/groupfilemode.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>
#include <QtDebug>

#include <memory>
#include <mutex>

namespace {

std::mutex logMutex;
std::unique_ptr<QFile> logFile;
QtMessageHandler previousHandler = nullptr;

const char* levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "?";
}

void copyToFile(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    {
        // Several threads log; one line must not run into another.
        std::lock_guard<std::mutex> lock(logMutex);
        if (logFile) {
            const QByteArray line = QDateTime::currentDateTime()
                                        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz "))
                                        .toUtf8() +
                                    levelName(type) + ": " + message.toUtf8() + '\n';
            logFile->write(line);
            logFile->flush();
        }
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

// Oldest first by name, which sorts by the start time it carries.
void pruneOldLogs(QDir folder, int keep)
{
    // Only names this program made; anything else in the folder is left alone.
    const QRegularExpression ours(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d\\.log$"));
    QStringList logs =
        folder.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name).filter(ours);
    while (logs.size() > keep)
        folder.remove(logs.takeFirst());
}

} // namespace

QString logFileName(const QDateTime& when)
{
    return when.toString(QStringLiteral("yyyy-MM-dd HH-mm-ss")) + QStringLiteral(".log");
}

bool startLogFile(const QString& folder, const QDateTime& now, int keep)
{
    QDir dir(folder);
    if (!dir.mkpath(QStringLiteral("."))) {
        qWarning() << "Cannot create the log folder" << folder;
        return false;
    }
    auto file = std::make_unique<QFile>(dir.filePath(logFileName(now)));
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        qWarning() << "Cannot open the log file" << file->fileName() << file->errorString();
        return false;
    }
    if (!setGroupFileMode(*file))
        qWarning() << "Cannot make the log file private to its group" << file->fileName();
    pruneOldLogs(dir, keep);
    std::lock_guard<std::mutex> lock(logMutex);
    logFile = std::move(file);
    if (!previousHandler)
        previousHandler = qInstallMessageHandler(copyToFile);
    return true;
}

void stopLogFile()
{
    std::lock_guard<std::mutex> lock(logMutex);
    logFile.reset();
}
