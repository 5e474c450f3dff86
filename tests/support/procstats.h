#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>

// Sockets this process holds open, counted from /proc; -1 where /proc is not there.
inline int openSocketCount()
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    if (!fds.exists())
        return -1;
    int sockets = 0;
    const auto entries = fds.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        // The link reads "socket:[inode]"; Qt makes it absolute, so look inside it.
        if (entry.symLinkTarget().contains(QLatin1String("socket:[")))
            ++sockets;
    }
    return sockets;
}

// Threads of this process, counted from /proc; -1 where /proc is not there.
inline int threadCount()
{
    const QDir tasks(QStringLiteral("/proc/self/task"));
    return tasks.exists() ? int(tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot).size()) : -1;
}

// Resident memory of this process in KiB, from /proc; -1 where /proc is not there.
inline qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    // /proc files report a size of 0, so read them whole rather than line by line.
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
