#include "platform/account.h"

#include <windows.h>

namespace platform {

std::string loginName()
{
    char name[257] = {0};
    DWORD size = sizeof name;
    if (!::GetUserNameA(name, &size))
        return {};
    return name;
}

} // namespace platform
