#include <cstdlib>

// Allocates the way a platform plugin's library does, and forgets it.
extern "C" void leakFromPlugin()
{
    static void* volatile held = nullptr;
    held = std::realloc(nullptr, 128);
    held = nullptr;
}
