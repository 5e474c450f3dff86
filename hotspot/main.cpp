#include "hotspot/startup.h"

int main(int argc, char* argv[])
{
    return runBeaconry(argc, argv);
}
