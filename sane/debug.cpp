#include "sane/debug.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace ostra {

namespace {
// Failures by default: scanimage's own message for a status ("Document feeder out of
// documents") does not say that no picture came from the camera.
constexpr int kDefaultLevel = 1;
int chosenLevel = kDefaultLevel;
} // namespace

void initDebug()
{
    const char* level = std::getenv("SANE_DEBUG_OSTRA");
    chosenLevel = level && *level ? std::atoi(level) : kDefaultLevel;
}

void debug(int level, const char* format, ...)
{
    if (level > chosenLevel)
        return;
    // One write per line, so that lines from two threads never interleave mid-line.
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    if (length < 0)
        return;
    std::fprintf(stderr, "[ostra] %s\n", line);
}

} // namespace ostra
