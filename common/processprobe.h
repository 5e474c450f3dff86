#pragma once

#include <QString>

namespace platform {
class ToolRunner;
}

// Whether other programs run, asked of the process list with an image-name filter.

// True when the process list filtered by filter contains search (case-sensitive); false
// when it does not or the list did not come within 30 s.
bool processRunning(const QString& filter, const QString& search);
bool processRunning(platform::ToolRunner& runner, const QString& filter, const QString& search);

// True when the hotspot program runs. When it does not, tells the user to open it (one
// such message at a time) and returns false once the message is dismissed.
bool hotspotRunning();
bool hotspotRunning(platform::ToolRunner& runner);
// True when the imaging suite is not running, or the process list did not come in time.
bool suiteAbsent();
bool suiteAbsent(platform::ToolRunner& runner);
// True when the maker's access-point program runs.
bool airstepRunning();
bool airstepRunning(platform::ToolRunner& runner);
