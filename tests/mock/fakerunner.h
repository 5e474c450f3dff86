#pragma once

#include "platform/toolrunner.h"

#include <QMap>
#include <QVector>

#include <mutex>

// Stands in for the Windows tools: records every run with its command line and waits, and
// answers with the output set for the whole command line, else for its first word.
class FakeRunner final : public platform::ToolRunner
{
public:
    // Real shapes of the Windows tools' output.
    static QString arpListing(const QString& gateway, const QStringList& neighbours)
    {
        QString text = QStringLiteral("\r\nInterface: %1 --- 0x5\r\n  Internet Address      "
                                      "Physical Address      Type\r\n")
                           .arg(gateway);
        for (const QString& n : neighbours)
            text += QStringLiteral("  %1 5c-f3-70-11-22-33     dynamic   \r\n").arg(n, -21);
        return text;
    }
    // Ping's output for one echo; `reply` is its answer line, %1 in it the address.
    static QString ping(const QString& address,
                        const char* reply = "Reply from %1: bytes=32 time<1ms TTL=128")
    {
        return QStringLiteral("\r\nPinging %1 with 32 bytes of data:\r\n").arg(address) +
               QString::fromLatin1(reply).replace(QLatin1String("%1"), address) +
               QStringLiteral("\r\n\r\nPing statistics for %1:\r\n    Packets: Sent = 1, "
                              "Received = 1, Lost = 0 (0% loss),\r\n")
                   .arg(address);
    }

    void answer(const QString& key, const QString& output, bool finished = true)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answers.insert(key, {finished, output});
    }
    QVector<platform::ToolRun> runs() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_runs;
    }
    QStringList detached() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_detached;
    }

    platform::ToolOutput run(const platform::ToolRun& run) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_runs.append(run);
        const QString line =
            run.commandLine ? run.program : (QStringList{run.program} + run.arguments).join(' ');
        return m_answers.value(line, m_answers.value(line.section(' ', 0, 0), {false, QString()}));
    }
    bool startDetached(const QString& program, const QStringList& arguments) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_detached.append((QStringList{program} + arguments).join(' '));
        return true;
    }

private:
    mutable std::mutex m_mutex;
    QMap<QString, platform::ToolOutput> m_answers;
    QVector<platform::ToolRun> m_runs;
    QStringList m_detached;
};
