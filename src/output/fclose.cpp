// Closing an output file: a close that leaves the drive without a byte to
// spare counts as a failure, since the file may well have been cut short.
#include "output/output.h"

#include "platform/platform.h"
#include "support/msg.h"

double FreeDiskSpace = -1.0;

int Fclose(FILE *fp, const char *path)
{
    int r = std::fclose(fp);
    if (r != 0)
        return r;
    if (getFreeSpace(path) > 0)
        return 0;
    if (PLATFORM_DRIVE_LETTERS && path[0] != '\0' && path[1] == ':')
        errmsg("%c drive: no free disk space\n", path[0]);
    else
        errmsg("no free disk space\n");
    return -1;
}

int getFreeSpace(const char *path)
{
    double bytes = 0.0;
    FreeDiskSpace = diskFreeBytes(path, &bytes) ? bytes : -1.0;
    if (FreeDiskSpace > 2147483647.0)
        return 2147483647;
    return int(FreeDiskSpace);
}
