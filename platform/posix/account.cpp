#include "platform/account.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace platform {

std::string loginName()
{
    // The account database, not $USER, which the starting environment may leave unset.
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_name)
        return {};
    return found->pw_name;
}

} // namespace platform
