// POSIX equivalents of the Windows facilities declared in winapi.h and
// platform.h. The Windows build compiles win32.cpp instead.
#ifndef _WIN32

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "platform/platform.h"

extern char **environ;

// ---------------------------------------------------------------- local memory
//
// A handle points at a small record that owns the block, so that the handle
// and the address differ as they do for movable memory on Windows. Every
// live record is kept in a set, so that a handle that is no live block (a
// stray pointer, a block freed twice, a plug-in's made-up value) is refused
// without being read through, as Windows refuses it.

namespace {

// Blocks from this size on come straight from mmap: already zero, and large
// enough to be worth transparent huge pages, which spare the page faults of
// the first touch of a picture-sized block. Under the address sanitizer
// every block comes from malloc instead, so that a write past a picture's
// end is seen rather than lost in the rounding of the mapping.
#ifdef VEXEL_LOCAL_MALLOC
constexpr size_t kMapThreshold = SIZE_MAX;
#else
constexpr size_t kMapThreshold = size_t(1) << 20;
#endif
constexpr size_t kHugePage = size_t(2) << 20;

struct LocalBlock {
    uint32_t locks;
    size_t size;
    size_t mapped; // length of the mapping, 0 for heap blocks
    void *data;
};

std::unordered_set<const void *> &liveBlocks()
{
    static std::unordered_set<const void *> live;
    return live;
}

LocalBlock *blockOf(HLOCAL h)
{
    if (h == nullptr || liveBlocks().count(h) == 0)
        return nullptr;
    return static_cast<LocalBlock *>(h);
}

void release(LocalBlock *b)
{
    if (b->mapped)
        munmap(b->data, b->mapped);
    else
        std::free(b->data);
    std::free(b);
}

} // namespace

HLOCAL LocalAlloc(UINT, SIZE_T bytes)
{
    auto *b = static_cast<LocalBlock *>(std::malloc(sizeof(LocalBlock)));
    if (b == nullptr)
        return nullptr;
    b->locks = 0;
    b->size = bytes;
    b->mapped = 0;
    if (bytes >= kMapThreshold) {
        if (bytes > SIZE_MAX - kHugePage) {
            std::free(b);
            return nullptr;
        }
        size_t len = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            std::free(b);
            return nullptr;
        }
#ifdef MADV_HUGEPAGE
        madvise(p, len, MADV_HUGEPAGE);
#endif
        b->mapped = len;
        b->data = p;
    } else {
        b->data = std::calloc(bytes ? bytes : 1, 1);
        if (b->data == nullptr) {
            std::free(b);
            return nullptr;
        }
    }
    try {
        liveBlocks().insert(b);
    } catch (...) {
        release(b);
        return nullptr;
    }
    return b;
}

LPVOID LocalLock(HLOCAL h)
{
    LocalBlock *b = blockOf(h);
    if (b == nullptr)
        return nullptr;
    b->locks++;
    return b->data;
}

BOOL LocalUnlock(HLOCAL h)
{
    LocalBlock *b = blockOf(h);
    if (b == nullptr || b->locks == 0)
        return FALSE;
    b->locks--;
    return b->locks != 0;
}

HLOCAL LocalFree(HLOCAL h)
{
    LocalBlock *b = blockOf(h);
    if (b == nullptr)
        return h;
    liveBlocks().erase(b);
    release(b);
    return nullptr;
}

SIZE_T LocalSize(HLOCAL h)
{
    LocalBlock *b = blockOf(h);
    return b ? b->size : 0;
}

// ---------------------------------------------------------------- modules

HMODULE LoadLibraryA(LPCSTR name)
{
    // A bare file name is looked for in the current directory, as Windows
    // does first, rather than along the system's library path.
    std::string path = name;
    if (path.find('/') == std::string::npos)
        path = "./" + path;
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

FARPROC GetProcAddress(HMODULE h, LPCSTR name)
{
    if (h == nullptr)
        return nullptr;
    return reinterpret_cast<FARPROC>(dlsym(h, name));
}

BOOL FreeLibrary(HMODULE h)
{
    return h != nullptr && dlclose(h) == 0;
}

// ---------------------------------------------------------------- files

DWORD GetFileAttributesA(LPCSTR path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return INVALID_FILE_ATTRIBUTES;
    if (S_ISDIR(st.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    // Read-only when this caller may not write it, or when no write bit is
    // set at all: root may write anything, but should still respect a file
    // that someone marked read-only.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || access(path, W_OK) != 0)
        return FILE_ATTRIBUTE_READONLY;
    return FILE_ATTRIBUTE_NORMAL;
}

int statPath(const char *path, bool *isDir)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return -1;
    *isDir = (st.st_mode & 0xF000) == 0x4000;
    return 0;
}

const char *getEnvNoCase(const char *name)
{
    size_t n = std::strlen(name);
    for (char **e = environ; e != nullptr && *e != nullptr; e++) {
        if (strncasecmp(*e, name, n) == 0 && (*e)[n] == '=')
            return *e + n + 1;
    }
    return nullptr;
}

bool findFiles(const char *dir, const char *suffix, std::vector<std::string> &names)
{
    names.clear();
    DIR *d = opendir(*dir ? dir : "/");
    if (d == nullptr)
        return false;
    size_t slen = std::strlen(suffix);
    while (struct dirent *e = readdir(d)) {
        const char *n = e->d_name;
        size_t len = std::strlen(n);
        if (n[0] == '.' || len < slen || strcasecmp(n + len - slen, suffix) != 0)
            continue;
        std::string full = std::string(dir) + PATH_SEP + n;
        struct stat st;
        if (stat(full.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
            continue;
        names.emplace_back(n);
    }
    closedir(d);
    // Byte order, so that two runs over one directory load alike.
    std::sort(names.begin(), names.end());
    return true;
}

bool diskFreeBytes(const char *path, double *freeBytes)
{
    struct statvfs vfs;
    if (statvfs(path, &vfs) != 0) {
        // The file itself may be gone; measure its directory instead.
        std::string dir = path;
        size_t cut = dir.rfind(PATH_SEP);
        dir = cut == std::string::npos ? "." : cut == 0 ? "/" : dir.substr(0, cut);
        if (statvfs(dir.c_str(), &vfs) != 0)
            return false;
    }
    *freeBytes = double(vfs.f_bavail) * double(vfs.f_frsize);
    return true;
}

FILE *openTempBeside(const char *path, std::string &tempName)
{
    std::string p = path;
    size_t cut = p.rfind(PATH_SEP);
    std::string dir = cut == std::string::npos ? std::string(".") : p.substr(0, cut + 1);
    if (cut != std::string::npos)
        tempName = dir + ".vexel-XXXXXX";
    else
        tempName = ".vexel-XXXXXX";
    std::vector<char> tmpl(tempName.begin(), tempName.end());
    tmpl.push_back('\0');
    int fd = mkstemp(tmpl.data());
    if (fd < 0)
        return nullptr;
    tempName = tmpl.data();
    FILE *f = fdopen(fd, "wb+");
    if (f == nullptr) {
        close(fd);
        unlink(tempName.c_str());
    }
    return f;
}

int replaceFile(const char *tempName, const char *path)
{
    // mkstemp made the file private; give it the mode of the file it
    // replaces, or that of a newly created file.
    struct stat st;
    mode_t mode;
    if (stat(path, &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    chmod(tempName, mode);
    return rename(tempName, path) == 0 ? 0 : -1;
}

void removeFile(const char *path)
{
    unlink(path);
}

#endif // !_WIN32
