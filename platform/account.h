#pragma once

// The account this program runs under.

#include <string>

namespace platform {

// The login name of the user running this program; empty when the system cannot tell.
std::string loginName();

} // namespace platform
