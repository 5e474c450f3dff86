#include "sane/debug.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace ostra {

namespace {
int chosenLevel = 0;
} // namespace

void initDebug()
{
    const char* level = std::getenv("SANE_DEBUG_OSTRA");
    chosenLevel = level ? std::atoi(level) : 0;
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
