// The command-line driver: usage text, output naming, overwrite dialogue.
#ifndef VEXEL_DRIVER_DRIVER_H
#define VEXEL_DRIVER_DRIVER_H

#include "platform/winapi.h"

// The usage text: 45 lines and a null entry, in the console's encoding.
extern const char *const *const usage;
constexpr int USAGE_LINES = 45;

// Size of the output path buffer.
constexpr int OUTPATH_SIZE = 1024;

// Releases the two handles of a DIB pair and sets them to null.
int imageFree(HLOCAL *info, HLOCAL *bits);

// Skip marks of checkWrite.
enum { SKIP_NONE = 0, SKIP_READONLY = -1, SKIP_FAILED = 1 };

// Settles the output path in outPath (OUTPATH_SIZE bytes) and runs the
// overwrite dialogue; returns the new overwrite state (0 no, 1 yes, 2 all).
int checkWrite(int state, int outType, const char *dir, char *name, char *outPath, int *skip);
int checkOverwrite(int offerAll, int noQuestion, const char *path);

#endif
