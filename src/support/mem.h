// Memory services. None of them returns empty-handed: when memory runs out
// they print the size asked for and end the program with status 1, so that
// callers never test for null.
#ifndef VEXEL_SUPPORT_MEM_H
#define VEXEL_SUPPORT_MEM_H

#include <cstdint>
#include <cstdio>

#include "platform/winapi.h"

// A failed getmem of this many bytes or more returns null after its message
// instead of ending the program.
extern int terminate_size;
// Called just before a heap service ends the program, when set.
extern void (*endfun)(void);

void *getmem(int size);
void freemem(void *p);
HLOCAL getmemLock(int size);
// A local-memory block holding the size bytes of the open file fp from
// offset on, viewed rather than read where the system can; null when it
// cannot (then allocate and read).
HLOCAL getmemView(FILE *fp, int64_t offset, int64_t size);
void *getmemAdr(HLOCAL h);
// Size in bytes of a local-memory block, 0 for a bad handle.
long getmemSize(HLOCAL h);

// Services kept for completeness; nothing in the program calls them.
void *moremem(void *p, int size);
char *setstr(const char *text);
char *addstr(char *text, const char *more);
void freeLocal(HLOCAL h);

#endif
