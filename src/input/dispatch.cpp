// Placeholder until input dispatch is built.
#include "input/input.h"

#include "support/msg.h"

int vexel_msgout = 1;

int getImage(const char *path, HLOCAL *, HLOCAL *)
{
    errmsg("%s: reader not built yet\n", path);
    return -1;
}
