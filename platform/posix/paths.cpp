#include "platform/paths.h"

namespace platform {

// Mirrors the Windows folder so that installers and documentation name one layout.
const char* configFolder()
{
    return "/opt/Quorvane/OstraImagraEXE";
}

} // namespace platform
