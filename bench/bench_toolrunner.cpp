// How long one process-list answer blocks its caller (the GUI thread, twice a second).
// Prints the median and the slowest of a series.

#include "platform/toolrunner.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(5, atoi(argv[1])) : 200;
    platform::ToolRun run;
    run.program = QStringLiteral("tasklist");
    run.arguments =
        QStringList{QStringLiteral("-fi"), QStringLiteral("imagename eq Beaconry.exe ")};
    run.finishMs = 30000;

    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        platform::systemToolRunner().run(run);
        ms.push_back(clock.nsecsElapsed() / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("tasklist answer, %d runs: median %.3f ms, slowest %.3f ms\n", runs,
                ms[ms.size() / 2], ms.back());
    return 0;
}
