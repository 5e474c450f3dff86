#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <functional>
#include <vector>

// The median of `runs` timed calls of work, in milliseconds, after two untimed warm-ups.
inline double medianMs(int runs, const std::function<void()>& work)
{
    std::vector<double> ms;
    for (int i = -2; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        work();
        if (i >= 0)
            ms.push_back(clock.nsecsElapsed() / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// Runs the GUI thread's event loop for ms milliseconds, or until done() says so.
inline void pumpEvents(
    int ms, const std::function<bool()>& done = [] { return false; })
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}
