#include "common/processprobe.h"

#include "platform/toolrunner.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace {

constexpr int kListWaitMs = 30000;

} // namespace

bool processRunning(platform::ToolRunner& runner, const QString& filter, const QString& search)
{
    platform::ToolRun run;
    run.program = QStringLiteral("tasklist");
    run.arguments = QStringList{QStringLiteral("-fi"), filter};
    run.finishMs = kListWaitMs;
    const platform::ToolOutput listing = runner.run(run);
    return listing.finished && listing.output.contains(search, Qt::CaseSensitive);
}

bool processRunning(const QString& filter, const QString& search)
{
    return processRunning(platform::systemToolRunner(), filter, search);
}

bool hotspotRunning()
{
    return hotspotRunning(platform::systemToolRunner());
}

bool hotspotRunning(platform::ToolRunner& runner)
{
    if (processRunning(runner, QStringLiteral("imagename eq Beaconry.exe "),
                       QStringLiteral("Beaconry")))
        return true;
    // The caller asks twice a second; while one message waits for the user, another
    // would only pile up behind it.
    static bool messageOpen = false;
    if (messageOpen)
        return false;
    messageOpen = true;
    QMessageBox box(QMessageBox::Information, QCoreApplication::translate("Widget", "Title"),
                    QCoreApplication::translate("Widget", "Please open Beaconry.exe"),
                    QMessageBox::Ok);
    box.exec();
    messageOpen = false;
    return false;
}

bool suiteAbsent()
{
    return suiteAbsent(platform::systemToolRunner());
}

bool suiteAbsent(platform::ToolRunner& runner)
{
    return !processRunning(runner, QStringLiteral("imagename eq Tessaly.exe "),
                           QStringLiteral("Tessaly"));
}

bool airstepRunning()
{
    return airstepRunning(platform::systemToolRunner());
}

bool airstepRunning(platform::ToolRunner& runner)
{
    return processRunning(runner, QStringLiteral("imagename eq Airstep.exe "),
                          QStringLiteral("Airstep"));
}
