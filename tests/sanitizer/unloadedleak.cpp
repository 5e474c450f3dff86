#include <dlfcn.h>

#include <cstdio>

// Loads a library, lets it leak, unloads it and exits: the leak report must still name the
// library, so that a suppression can.
int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    void* library = dlopen(argv[1], RTLD_NOW);
    if (!library) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    auto leak = reinterpret_cast<void (*)()>(dlsym(library, "leakFromPlugin"));
    if (!leak)
        return 2;
    leak();
    dlclose(library);
    return 0;
}
