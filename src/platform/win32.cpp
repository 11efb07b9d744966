// The Windows side of platform.h. Local memory, modules and file attributes
// are the system's own (winapi.h includes <windows.h>); this file adds the
// directory search, the free-space measurement and the output file written
// beside its target.
#ifdef _WIN32

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstring>

#include "platform/platform.h"
#include "support/text.h"

// Arguments are taken as typed: the runtime must not expand * and ? in them.
extern "C" {
int _dowildcard = 0;
}

void platformInit()
{
    // A plug-in that cannot be loaded is reported by the program itself; no
    // dialogue box may stop a batch run waiting for a click.
    SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

const char *getEnvNoCase(const char *name)
{
    // The environment of Windows matches names without regard to case.
    static std::string value;
    value.assign(64, '\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        DWORD n = GetEnvironmentVariableA(name, &value[0], DWORD(value.size()));
        if (n == 0) {
            // 0 is also the length of an empty value, which counts as set.
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND)
                return nullptr;
            value.clear();
            return value.c_str();
        }
        if (n < value.size()) {
            value.resize(n);
            return value.c_str();
        }
        value.assign(n, '\0'); // n holds the size needed, terminator included
    }
}

// The byte after which the last component of path begins: behind its last
// separator or drive colon, 0 when it has neither. Walks character by
// character so that the second byte of a two-byte character does not count.
static size_t dirLength(const char *path)
{
    size_t len = 0;
    if (const char *p = Strrchr(path, '\\'))
        len = size_t(p - path) + 1;
    if (const char *p = Strrchr(path + len, '/'))
        len = size_t(p - path) + 1;
    if (len == 0 && path[0] != '\0' && path[1] == ':')
        len = 2;
    return len;
}

bool findFiles(const char *dir, const char *suffix, std::vector<std::string> &names)
{
    names.clear();
    std::string pattern = std::string(dir) + PATH_SEP + '*' + suffix;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(pattern.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        // A readable directory with no match is an empty listing.
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_NO_MORE_FILES;
    }
    size_t slen = std::strlen(suffix);
    do {
        // Only plain files: read-only and archive ones besides normal.
        if (fd.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY))
            continue;
        // The pattern also matches through the short 8.3 names, so that
        // x.spix (short name X~1.SPI) turns up: the long name decides.
        const char *n = fd.cFileName;
        size_t len = std::strlen(n);
        if (len < slen || _stricmp(n + len - slen, suffix) != 0)
            continue;
        names.emplace_back(n);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return true;
}

// The root of the drive or share that holds path: "X:\" after a drive
// letter, "\\server\share\" for a network path, else "\" (the current
// drive).
static std::string rootOf(const char *path)
{
    if (path[0] != '\0' && path[1] == ':')
        return std::string(path, 2) + '\\';
    auto sep = [](char c) { return c == '\\' || c == '/'; };
    if (sep(path[0]) && sep(path[1])) {
        // Up to and with the separator after the share name.
        int seen = 0;
        for (size_t i = 2; path[i] != '\0'; i++) {
            if (sep(path[i]) && ++seen == 2)
                return std::string(path, i) + '\\';
        }
        if (seen == 1)
            return std::string(path) + '\\';
    }
    return "\\";
}

typedef BOOL(WINAPI *DiskFreeExFn)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);

// Free bytes available to the caller on the volume that holds the file
// name (a volume mounted in a folder counts as its own). False when they
// cannot be measured.
static bool diskFreeBytes(const char *name, double *freeBytes)
{
    char volume[MAX_PATH + 1];
    std::string root = GetVolumePathNameA(name, volume, sizeof volume) ? volume : rootOf(name);
    bool ok = false;
    // The 64-bit query exists from Windows 95 OSR2 on; older systems have
    // only the cluster count.
    HMODULE k = LoadLibraryA("KERNEL32.DLL");
    auto ex = reinterpret_cast<DiskFreeExFn>(
        reinterpret_cast<void *>(k ? GetProcAddress(k, "GetDiskFreeSpaceExA") : nullptr));
    if (ex != nullptr) {
        ULARGE_INTEGER avail, total, totalFree;
        if (ex(root.c_str(), &avail, &total, &totalFree)) {
            *freeBytes = double(avail.HighPart) * 4294967296.0 + double(avail.LowPart);
            ok = true;
        }
    } else {
        DWORD spc, bps, freeClusters, clusters;
        if (GetDiskFreeSpaceA(root.c_str(), &spc, &bps, &freeClusters, &clusters) == 1) {
            *freeBytes = double(freeClusters) * double(spc) * double(bps);
            ok = true;
        }
    }
    if (k != nullptr)
        FreeLibrary(k);
    return ok;
}

FILE *openTempBeside(const char *path, std::string &tempName)
{
    std::string dir(path, dirLength(path));
    // A name of our own rather than GetTempFileNameA, which refuses
    // directories of more than MAX_PATH - 14 characters. CREATE_NEW makes
    // sure that no file of someone else's is taken over.
    static unsigned serial;
    DWORD pid = GetCurrentProcessId();
    for (int tries = 0; tries < 1000; tries++) {
        char name[48];
        std::snprintf(name, sizeof name, "vx%lx_%u.tmp", static_cast<unsigned long>(pid), serial++);
        tempName = dir + name;
        HANDLE h = CreateFileA(tempName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)
                continue;
            return nullptr;
        }
        int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
        if (fd < 0) {
            CloseHandle(h);
            DeleteFileA(tempName.c_str());
            return nullptr;
        }
        FILE *f = _fdopen(fd, "w+b");
        if (f == nullptr) {
            _close(fd);
            DeleteFileA(tempName.c_str());
        }
        return f;
    }
    return nullptr;
}

bool outOpen(OutFile &o, const char *path)
{
    o = OutFile();
    o.target = path;
    o.fp = openTempBeside(path, o.temp);
    if (o.fp != nullptr)
        return true;
    // No file can be made beside it: the output itself.
    o.temp.clear();
    o.fp = std::fopen(path, "wb+");
    return o.fp != nullptr;
}

void outSettle(OutFile &o, double *freeBytes)
{
    // The attributes follow when the file is moved into place.
    if (!diskFreeBytes((o.temp.empty() ? o.target : o.temp).c_str(), freeBytes))
        *freeBytes = -1.0;
}

int outCommit(OutFile &o)
{
    if (o.temp.empty())
        return 0;
    const char *t = o.temp.c_str(), *p = o.target.c_str();
    // ReplaceFile gives the new file the old one's attributes, security and
    // creation time. The marks are copied here as well, for the systems
    // whose ReplaceFile leaves them behind (Wine).
    DWORD old = GetFileAttributesA(p);
    if (old != INVALID_FILE_ATTRIBUTES && !(old & FILE_ATTRIBUTE_DIRECTORY))
        SetFileAttributesA(t, old & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED));
    BOOL ok = old != INVALID_FILE_ATTRIBUTES &&
              ReplaceFileA(p, t, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
    // No old file, or a volume where ReplaceFile fails (some network
    // shares): a plain move, which keeps the marks copied above.
    if (!ok)
        ok = MoveFileExA(t, p, MOVEFILE_REPLACE_EXISTING);
    if (!ok)
        DeleteFileA(t);
    o.temp.clear();
    return ok ? 0 : -1;
}

void outAbandon(OutFile &o)
{
    if (o.fp != nullptr)
        std::fclose(o.fp);
    o.fp = nullptr;
    if (!o.temp.empty())
        DeleteFileA(o.temp.c_str());
    o.temp.clear();
}

HLOCAL LocalAllocView(FILE *, int64_t, SIZE_T)
{
    // Pictures are read into blocks of their own here.
    return nullptr;
}

void removeFile(const char *path)
{
    DeleteFileA(path);
}

int statPath(const char *path, bool *isDir)
{
    // The runtime's stat refuses a directory named with a trailing
    // separator ("out\"), which a user types as readily as "out"; the
    // roots "\" and "X:\" need theirs.
    std::string p = path;
    size_t keep = p.size() >= 2 && p[1] == ':' ? 3 : 1;
    while (p.size() > keep && (p.back() == '\\' || p.back() == '/') && dirLength(p.c_str()) == p.size())
        p.pop_back();
    struct _stati64 st;
    if (_stati64(p.c_str(), &st) != 0)
        return -1;
    *isDir = (st.st_mode & 0xF000) == 0x4000;
    return 0;
}

const char *defaultPluginDir()
{
    return nullptr;
}

#endif // _WIN32
