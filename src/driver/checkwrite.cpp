// Output naming and the overwrite dialogue.
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "platform/platform.h"
#include "support/msg.h"
#include "support/text.h"

int imageFree(HLOCAL *info, HLOCAL *bits)
{
    uintptr_t r = 0;
    if (*info != nullptr) {
        r |= reinterpret_cast<uintptr_t>(LocalFree(*info));
        *info = nullptr;
    }
    if (*bits != nullptr) {
        r |= reinterpret_cast<uintptr_t>(LocalFree(*bits));
        *bits = nullptr;
    }
    return r != 0;
}

// Reads one answer line and gives its first character, or 0 for an empty
// line or the end of the input. The rest of the line, however long, is
// read and dropped, so that it cannot answer the next question.
static int readAnswer()
{
    int first = std::getchar();
    if (first == EOF || first == '\n')
        return 0;
    int c;
    do
        c = std::getchar();
    while (c != EOF && c != '\n');
    return first;
}

int checkOverwrite(int offerAll, int noQuestion, const char *path)
{
    DWORD attr = GetFileAttributesA(path);
    if (attr == INVALID_FILE_ATTRIBUTES)
        return 1;
    if (attr & FILE_ATTRIBUTE_READONLY) {
        if (offerAll == 0) {
            errmsg("%s: read-only file\n", path);
        } else {
            errmsg("%s: read-only file, and so cannot write, ok? ", path);
            readAnswer();
        }
        return 0;
    }
    if (noQuestion != 0)
        return 1;
    if (offerAll == 0) {
        errmsg("%s: overwrite? (y/n) ", path);
        int a = readAnswer();
        return (a == 'y' || a == 'Y') ? 1 : 0;
    }
    errmsg("%s: overwrite? (y/n/a) ", path);
    int a = readAnswer();
    if (a == 'y' || a == 'Y')
        return 1;
    if (a == 'a' || a == 'A')
        return 2;
    return 0;
}

int checkWrite(int state, int outType, const char *dir, char *name, char *outPath, int *skip)
{
    *skip = SKIP_NONE;
    int n;
    if (dir == nullptr) {
        n = std::snprintf(outPath, OUTPATH_SIZE, "%s", name);
    } else {
        char *ext = findExt(name);
        if (ext != nullptr)
            *ext = '\0';
        const char *fmt = outType == 1 ? "%s%c%s.bm2" : outType == 2 ? "%s%c%s.imp" : "%s%c%s.bmp";
        n = std::snprintf(outPath, OUTPATH_SIZE, fmt, dir, PATH_SEP, name);
    }
    // A path that does not fit the buffer would name some other file; the
    // file fails instead, and the batch goes on.
    if (n < 0 || n >= OUTPATH_SIZE) {
        if (dir == nullptr)
            errmsg("%s: path too long\n", name);
        else
            errmsg("%s%c%s: path too long\n", dir, PATH_SEP, name);
        *skip = SKIP_FAILED;
        return state;
    }
    if (state != 2)
        return checkOverwrite(dir != nullptr ? 1 : 0, 0, outPath);
    if (checkOverwrite(1, 1, outPath) == 0)
        *skip = SKIP_READONLY;
    return 2;
}
