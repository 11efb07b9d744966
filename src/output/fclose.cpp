// Closing an output file: a close that leaves its file system without a
// byte to spare counts as a failure, since the file may well have been cut
// short.
#include "output/output.h"

#include "support/msg.h"

double FreeDiskSpace = -1.0;

int Fclose(OutFile &out, const char *path)
{
    int r = outClose(out, &FreeDiskSpace);
    if (r != 0)
        return r;
    if (FreeDiskSpace > 0)
        return 0;
    if (PLATFORM_DRIVE_LETTERS && path[0] != '\0' && path[1] == ':')
        errmsg("%c drive: no free disk space\n", path[0]);
    else
        errmsg("no free disk space\n");
    return -1;
}
