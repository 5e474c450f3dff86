#pragma once

// Where the system keeps its files on this platform.

namespace platform {

// The folder of the shared configuration file, without a trailing slash.
const char* configFolder();

} // namespace platform
