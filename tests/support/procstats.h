#pragma once

#include <QDir>
#include <QFile>

// Figures of this process from /proc; -1 where /proc is not there.

// Sockets held open: each descriptor's link reads "socket:[inode]".
inline int openSocketCount()
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    int sockets = 0;
    for (const QFileInfo& fd :
         fds.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        sockets += fd.symLinkTarget().contains(QLatin1String("socket:["));
    return fds.exists() ? sockets : -1;
}

inline int threadCount()
{
    const QDir tasks(QStringLiteral("/proc/self/task"));
    return tasks.exists() ? int(tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot).size()) : -1;
}

// Resident memory in KiB. /proc files report a size of 0, so the file is read whole.
inline qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const int at = text.indexOf("\nVmRSS:");
    return at < 0 ? -1 : text.mid(at + 7).trimmed().split(' ').value(0).toLongLong();
}
