// Closing an output file: a close that leaves its file system without a
// byte to spare counts as a failure, since the file may well have been cut
// short.
#include "output/output.h"

#include "support/msg.h"

double FreeDiskSpace = -1.0;

int Fclose(OutFile &out, const char *path)
{
    // Permissions and free space are settled on the open file, once all of
    // it has been handed to the system.
    FreeDiskSpace = -1.0;
    int r = std::fflush(out.fp);
    if (r == 0)
        outSettle(out, &FreeDiskSpace);
    int c = std::fclose(out.fp);
    out.fp = nullptr;
    if (r != 0 || c != 0)
        return r != 0 ? r : c;
    if (FreeDiskSpace > 0)
        return 0;
    if (PLATFORM_DRIVE_LETTERS && path[0] != '\0' && path[1] == ':')
        errmsg("%c drive: no free disk space\n", path[0]);
    else
        errmsg("no free disk space\n");
    return -1;
}
