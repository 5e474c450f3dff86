#pragma once

namespace platform {

// Names the calling thread for debuggers and process listings; names longer than the
// system allows are cut. Failure is ignored.
void nameCurrentThread(const char* name);

} // namespace platform
