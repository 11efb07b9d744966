// Placeholder until the free-space check is built.
#include "output/output.h"

double FreeDiskSpace = -1.0;

int Fclose(FILE *fp, const char *)
{
    return std::fclose(fp);
}

int getFreeSpace(const char *)
{
    return -1;
}
