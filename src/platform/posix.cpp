// POSIX equivalents of the Windows facilities declared in winapi.h and
// platform.h. The Windows build compiles win32.cpp instead.
#ifndef _WIN32

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
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

// Blocks from this size on come straight from mmap: zero when new, and
// large enough to be worth transparent huge pages, which spare the page faults of
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
    void *view;    // start of the mapping of a view of a file, else null
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

// The mapping of the last picture-sized block freed, kept for the next
// one: a batch converts picture after picture of much the same size, and
// clearing a kept mapping costs less than the kernel's unmapping, faulting
// in and clearing a new one. Larger pictures take long enough for that not
// to matter, and give their memory back at once.
constexpr size_t kKeptMax = size_t(64) << 20;
void *keptMap = nullptr;
size_t keptLen = 0;

void unmapKept()
{
    if (keptMap != nullptr)
        munmap(keptMap, keptLen);
    keptMap = nullptr;
    keptLen = 0;
}

// A mapping of len bytes (a multiple of the huge page) whose first `zeros`
// bytes are zero: the kept one when it is as long, else a new one; null
// when none can be made.
void *mapZeroed(size_t len, size_t zeros)
{
    if (keptMap != nullptr && keptLen == len) {
        void *p = keptMap;
        keptMap = nullptr;
        keptLen = 0;
        std::memset(p, 0, zeros);
        return p;
    }
    unmapKept();
    void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(p, len, MADV_HUGEPAGE);
#endif
    return p;
}

// Views of input files, where each lies: the bus-error handler below may
// look at nothing else. One thread, so plain stores behind a signal fence
// keep the table whole whenever the handler can run.
struct ViewSpan {
    uintptr_t start, end;
};
constexpr int kMaxViews = 8;
ViewSpan viewSpans[kMaxViews];
size_t pageSize = 0;

// A file cut short under a view raises SIGBUS on the pages it no longer
// has. Those pages are replaced by zero ones and the access goes on, so
// that the picture reads as from a file that was short to begin with. A
// bus error anywhere else ends the program as it would have.
void onBusError(int, siginfo_t *si, void *)
{
    auto at = reinterpret_cast<uintptr_t>(si->si_addr);
    for (const ViewSpan &v : viewSpans) {
        if (at < v.start || at >= v.end)
            continue;
        void *page = reinterpret_cast<void *>(at / pageSize * pageSize);
        if (mmap(page, pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED)
            return;
    }
    signal(SIGBUS, SIG_DFL);
}

void setViewSpan(int slot, uintptr_t start, uintptr_t end)
{
    std::atomic_signal_fence(std::memory_order_seq_cst);
    viewSpans[slot] = {start, end};
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

void release(LocalBlock *b)
{
    if (b->view != nullptr) {
        auto start = reinterpret_cast<uintptr_t>(b->view);
        for (int i = 0; i < kMaxViews; i++)
            if (viewSpans[i].start == start)
                setViewSpan(i, 0, 0);
        munmap(b->view, b->mapped);
    } else if (b->mapped && b->mapped <= kKeptMax) {
        unmapKept();
        keptMap = b->data;
        keptLen = b->mapped;
    } else if (b->mapped) {
        munmap(b->data, b->mapped);
    } else {
        std::free(b->data);
    }
    std::free(b);
}

// Enters a new block in the set of live ones; a block that cannot be
// entered is released.
bool track(LocalBlock *b)
{
    try {
        liveBlocks().insert(b);
        return true;
    } catch (...) {
        release(b);
        return false;
    }
}

} // namespace

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes)
{
    auto *b = static_cast<LocalBlock *>(std::malloc(sizeof(LocalBlock)));
    if (b == nullptr)
        return nullptr;
    b->locks = 0;
    b->size = bytes;
    b->mapped = 0;
    b->view = nullptr;
    if (bytes >= kMapThreshold) {
        if (bytes > SIZE_MAX - kHugePage) {
            std::free(b);
            return nullptr;
        }
        size_t len = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void *p = mapZeroed(len, flags & LMEM_ZEROINIT ? bytes : 0);
        if (p == nullptr) {
            std::free(b);
            return nullptr;
        }
        b->mapped = len;
        b->data = p;
    } else {
        b->data = std::calloc(bytes ? bytes : 1, 1);
        if (b->data == nullptr) {
            std::free(b);
            return nullptr;
        }
    }
    return track(b) ? b : nullptr;
}

HLOCAL LocalAllocView(FILE *fp, int64_t offset, SIZE_T bytes)
{
    // Small blocks cost less to read than to map; the address sanitizer
    // wants every block from malloc.
    if (bytes < kMapThreshold || kMapThreshold == SIZE_MAX || offset < 0)
        return nullptr;
    int fd = fileno(fp);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < offset ||
        uint64_t(st.st_size - offset) < bytes)
        return nullptr;
    int slot = 0;
    while (slot < kMaxViews && viewSpans[slot].start != 0)
        slot++;
    if (slot == kMaxViews)
        return nullptr;
    if (pageSize == 0) {
        long page = sysconf(_SC_PAGESIZE);
        struct sigaction sa = {};
        sa.sa_sigaction = onBusError;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        if (page <= 0 || sigaction(SIGBUS, &sa, nullptr) != 0)
            return nullptr;
        pageSize = size_t(page);
    }
    off_t start = off_t(offset) / off_t(pageSize) * off_t(pageSize);
    size_t lead = size_t(offset - start), len = lead + bytes;
    auto *b = static_cast<LocalBlock *>(std::malloc(sizeof(LocalBlock)));
    if (b == nullptr)
        return nullptr;
    // Mapped for reading, which fills in the pages without copying them,
    // then made writable: a page is copied only when written to.
    void *p = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, start);
    if (p == MAP_FAILED || mprotect(p, len, PROT_READ | PROT_WRITE) != 0) {
        if (p != MAP_FAILED)
            munmap(p, len);
        std::free(b);
        return nullptr;
    }
    *b = {0, bytes, len, static_cast<unsigned char *>(p) + lead, p};
    if (!track(b))
        return nullptr;
    setViewSpan(slot, reinterpret_cast<uintptr_t>(p), reinterpret_cast<uintptr_t>(p) + len);
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

FILE *openTempBeside(const char *path, std::string &tempName)
{
    std::string p = path;
    size_t cut = p.rfind(PATH_SEP);
    tempName = (cut == std::string::npos ? std::string() : p.substr(0, cut + 1)) + ".vexel-XXXXXX";
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

// ---------------------------------------------------------------- output files

namespace {

// The temporary output file, for the signal handler to remove. It changes
// only while the caught signals are blocked, so the handler never sees it
// half written.
char signalTemp[4096];
const int kCaught[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t caughtSet()
{
    sigset_t s;
    sigemptyset(&s);
    for (int sig : kCaught)
        sigaddset(&s, sig);
    return s;
}

// Holds the caught signals back for its lifetime.
struct SignalBlock {
    sigset_t old;
    SignalBlock()
    {
        sigset_t s = caughtSet();
        sigprocmask(SIG_BLOCK, &s, &old);
    }
    ~SignalBlock() { sigprocmask(SIG_SETMASK, &old, nullptr); }
};

extern "C" void onSignal(int sig)
{
    if (signalTemp[0] != '\0')
        unlink(signalTemp);
    // The handler was reset to the default on entry: the signal, delivered
    // again as the handler returns, ends the process with its own status.
    raise(sig);
}

// The file that path names once its symbolic links are followed (the
// directories on the way need not be: the file stays in the same place).
// False for a loop of links.
bool resolveLinks(const char *path, std::string &target)
{
    target = path;
    for (int hops = 0; hops < 40; hops++) {
        char buf[4096];
        ssize_t n = readlink(target.c_str(), buf, sizeof buf);
        if (n < 0)
            return true; // no link; nothing there yet, or an error the open will meet
        if (n == 0 || size_t(n) == sizeof buf)
            return false;
        std::string link(buf, size_t(n));
        size_t cut = target.rfind('/');
        if (link[0] != '/' && cut != std::string::npos)
            link = target.substr(0, cut + 1) + link;
        target = link;
    }
    return false;
}

// Removes the temporary file, if any, and forgets it.
void dropTemp(OutFile &o)
{
    if (o.temp.empty())
        return;
    SignalBlock block;
    unlink(o.temp.c_str());
    signalTemp[0] = '\0';
    o.temp.clear();
}

} // namespace

void platformInit()
{
    // A write past the file size limit then fails as any write may.
    signal(SIGXFSZ, SIG_IGN);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sa.sa_mask = caughtSet();
    sa.sa_flags = SA_RESETHAND;
    for (int sig : kCaught) {
        // A signal ignored from the start (nohup, a background job) stays so.
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &sa, nullptr);
    }
}

bool outOpen(OutFile &o, const char *path)
{
    o = OutFile();
    if (!resolveLinks(path, o.target))
        return false;
    const char *t = o.target.c_str();
    struct stat st;
    bool exists = stat(t, &st) == 0;
    // The new file gets the old one's permissions and owner, never its
    // set-id or sticky bits; a new file what opening it would have given.
    if (exists) {
        o.mode = st.st_mode & 0777;
        o.uid = long(st.st_uid);
        o.gid = long(st.st_gid);
    } else {
        mode_t mask = umask(0);
        umask(mask);
        o.mode = 0666 & ~mask;
    }
    if (!exists || S_ISREG(st.st_mode)) {
        SignalBlock block;
        o.fp = openTempBeside(t, o.temp);
        if (o.fp != nullptr && o.temp.size() < sizeof signalTemp) {
            std::memcpy(signalTemp, o.temp.c_str(), o.temp.size() + 1);
            return true;
        }
        if (o.fp != nullptr)
            std::fclose(o.fp);
        o.fp = nullptr;
        dropTemp(o);
    }
    // The target itself. An existing file is opened without O_CREAT, which
    // a sticky directory may refuse for someone else's file.
    int fd = open(t, exists ? O_RDWR | O_TRUNC : O_RDWR | O_CREAT | O_TRUNC, 0666);
    if (fd < 0)
        return false;
    o.fp = fdopen(fd, "wb+");
    if (o.fp == nullptr)
        close(fd);
    return o.fp != nullptr;
}

void outSettle(OutFile &o, double *freeBytes)
{
    int fd = fileno(o.fp);
    *freeBytes = -1.0;
    struct stat st;
    struct statvfs vfs;
    if (fstat(fd, &st) == 0 && !S_ISREG(st.st_mode))
        *freeBytes = HUGE_VAL;
    else if (fstatvfs(fd, &vfs) == 0)
        *freeBytes = double(vfs.f_bavail) * double(vfs.f_frsize);
    if (!o.temp.empty()) {
        // The old owner where this process may give it (root any, others a
        // group of their own), then the permission bits.
        if (o.uid >= 0 && fchown(fd, uid_t(o.uid), gid_t(o.gid)) != 0 &&
            fchown(fd, uid_t(-1), gid_t(o.gid)) != 0) {
            // The file stays the process's own.
        }
        fchmod(fd, mode_t(o.mode));
    }
}

int outCommit(OutFile &o)
{
    if (o.temp.empty())
        return 0;
    int r;
    {
        SignalBlock block;
        r = rename(o.temp.c_str(), o.target.c_str());
        if (r == 0) {
            signalTemp[0] = '\0';
            o.temp.clear();
        }
    }
    dropTemp(o);
    return r == 0 ? 0 : -1;
}

void outAbandon(OutFile &o)
{
    if (o.fp != nullptr)
        std::fclose(o.fp);
    o.fp = nullptr;
    dropTemp(o);
}

void removeFile(const char *path)
{
    unlink(path);
}

const char *defaultPluginDir()
{
    static std::string dir;
    std::vector<char> buf(256);
    ssize_t n;
    while ((n = readlink("/proc/self/exe", buf.data(), buf.size())) >= ssize_t(buf.size()))
        buf.resize(buf.size() * 2);
    if (n <= 0)
        return nullptr;
    // <prefix>/bin/vexel: drop the file name and bin.
    dir.assign(buf.data(), size_t(n));
    for (int up = 0; up < 2; up++) {
        size_t cut = dir.rfind('/');
        if (cut == std::string::npos)
            return nullptr;
        dir.erase(cut);
    }
    dir += "/lib/vexel";
    bool isDir = false;
    if (statPath(dir.c_str(), &isDir) != 0 || !isDir)
        return nullptr;
    return dir.c_str();
}

#endif // !_WIN32
