#include "acquisition/startup.h"

int main(int argc, char* argv[])
{
    return runImagra(argc, argv);
}
