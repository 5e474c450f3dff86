#include "platform/thread.h"

#include <cstring>
#include <pthread.h>

namespace platform {

void nameCurrentThread(const char* name)
{
    // Linux allows 15 characters and the terminator.
    char cut[16] = {0};
    std::strncpy(cut, name, sizeof cut - 1);
    pthread_setname_np(pthread_self(), cut);
}

} // namespace platform
