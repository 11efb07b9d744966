#include "support/mem.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "support/msg.h"

int terminate_size = 2147483647;
void (*endfun)(void) = nullptr;

static void heapExit()
{
    if (endfun != nullptr)
        endfun();
    std::exit(1);
}

// The size message of the heap services: K bytes (of 1000) above 1000 bytes.
static void sizeMessage(int size)
{
    if (size > 1000)
        errmsg("\ncannot get the memory of %d K bytes\n", size / 1000);
    else
        errmsg("\ncannot get the memory of %d bytes\n", size);
}

void *getmem(int size)
{
    size_t n = size > 0 ? size_t(size) : 0;
    void *p = std::malloc(n ? n : 1);
    // A second try with some slack, as the allocator may succeed with a
    // different size class.
    if (p == nullptr && size < 2147483647 - 4000)
        p = std::malloc(n + 4000);
    if (p != nullptr) {
        std::memset(p, 0, n);
        return p;
    }
    sizeMessage(size);
    if (size >= terminate_size)
        return nullptr;
    heapExit();
    return nullptr;
}

void freemem(void *p)
{
    if (p != nullptr)
        std::free(p);
}

HLOCAL getmemLock(int size)
{
    HLOCAL h = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, size > 0 ? SIZE_T(size) : 0);
    if (h != nullptr)
        return h;
    if (size > 1000)
        errmsg("Faital error:\ncannot get the memory of %d K bytes", size / 1000);
    else
        errmsg("Faital error:\ncannot get memory of %d bytes", size);
    std::exit(1);
}

HLOCAL getmemView(FILE *fp, int64_t offset, int64_t size)
{
    return size > 0 ? LocalAllocView(fp, offset, SIZE_T(size)) : nullptr;
}

void *getmemAdr(HLOCAL h)
{
    void *p = LocalLock(h);
    if (p == nullptr) {
        errmsg("Faital error:\nnot enough memory");
        std::exit(1);
    }
    // Unlocked at once: the block is never moved while the program holds
    // its address, and its lock count stays as it was.
    LocalUnlock(h);
    return p;
}

long getmemSize(HLOCAL h)
{
    return long(LocalSize(h));
}

void *moremem(void *p, int size)
{
    size_t n = size > 0 ? size_t(size) : 0;
    void *q = std::realloc(p, n ? n : 1);
    if (q == nullptr && size < 2147483647 - 1000)
        q = std::realloc(p, n + 1000);
    if (q != nullptr)
        return q;
    sizeMessage(size);
    heapExit();
    return nullptr;
}

char *setstr(const char *text)
{
    size_t n = std::strlen(text) + 1;
    auto *p = static_cast<char *>(std::malloc(n));
    if (p == nullptr) {
        errmsg("cannot get memory\n");
        heapExit();
    }
    std::memcpy(p, text, n);
    return p;
}

char *addstr(char *text, const char *more)
{
    size_t a = std::strlen(text), b = std::strlen(more);
    auto *p = static_cast<char *>(std::realloc(text, a + b + 1));
    if (p == nullptr) {
        errmsg("can't get memory\n");
        heapExit();
    }
    std::memcpy(p + a, more, b + 1);
    return p;
}

void freeLocal(HLOCAL h)
{
    if (h != nullptr)
        LocalFree(h);
}
