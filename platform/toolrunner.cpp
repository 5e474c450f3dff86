#include "platform/toolrunner.h"

#include <QProcess>

namespace platform {

ToolOutput runProcess(const ToolRun& run)
{
    QProcess process;
    if (run.commandLine) {
        QStringList words = QProcess::splitCommand(run.program);
        if (words.isEmpty())
            return {};
        const QString program = words.takeFirst();
        process.start(program, words, QIODevice::ReadWrite);
    } else {
        process.start(run.program, run.arguments, QIODevice::ReadWrite);
    }
    if (run.readyReadMs >= 0)
        process.waitForReadyRead(run.readyReadMs);
    ToolOutput result;
    result.finished = process.waitForFinished(run.finishMs);
    result.output = QString::fromLocal8Bit(process.readAllStandardOutput());
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(1000);
    }
    return result;
}

bool startDetachedProcess(const QString& program, const QStringList& arguments)
{
    return QProcess::startDetached(program, arguments);
}

} // namespace platform
