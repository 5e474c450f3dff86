#include "hotspot/winversion.h"

#include <atomic>

namespace winversion {

namespace {

// Read by the worker thread while a test may set it from the GUI thread.
std::atomic<int> overridden{-1};

} // namespace

int current()
{
    const int version = overridden.load();
    if (version >= 0)
        return version;
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    return QSysInfo::windowsVersion();
    QT_WARNING_POP
}

void overrideCurrent(int version)
{
    overridden.store(version < 0 ? -1 : version);
}

} // namespace winversion
