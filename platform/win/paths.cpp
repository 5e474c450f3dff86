#include "platform/paths.h"

namespace platform {

const char* configFolder()
{
    return "C:/Quorvane/OstraImagraEXE";
}

} // namespace platform
