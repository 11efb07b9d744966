// Services of the operating system that have no Win32 name of their own
// here, or whose Win32 form needs wrapping: the path separator, the text
// rules of file names, the plug-in directory search, free disk space and
// the safe replacement of an output file.
#ifndef VEXEL_PLATFORM_PLATFORM_H
#define VEXEL_PLATFORM_PLATFORM_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/winapi.h"

#ifdef _WIN32
constexpr char PATH_SEP = '\\';
// File names and console text are Shift_JIS (code page 932).
constexpr int PLATFORM_TEXT_SJIS = 1;
constexpr bool PLATFORM_DRIVE_LETTERS = true;
#else
constexpr char PATH_SEP = '/';
// File names and console text are UTF-8.
constexpr int PLATFORM_TEXT_SJIS = 0;
constexpr bool PLATFORM_DRIVE_LETTERS = false;
#endif

// Settles the process before anything else runs. main calls it first.
// Windows: no error dialogue boxes while plug-ins load. POSIX: a write past
// the file size limit fails instead of killing the process, and an
// interrupt or termination removes the temporary output file first.
void platformInit();

// Value of an environment variable whose name is matched without regard to
// case; null when it is not set.
const char *getEnvNoCase(const char *name);

// Long names of the plug-in candidates in dir: plain files (not hidden, not
// system, not directories) whose names end in suffix, in the order the
// search is to take them. Returns false when the directory cannot be read.
bool findFiles(const char *dir, const char *suffix, std::vector<std::string> &names);

// Opens a new, empty temporary file in the directory of path, for update
// ("wb+"), and stores its name. Null when it cannot be created.
FILE *openTempBeside(const char *path, std::string &tempName);

// An output being written. It goes to a temporary file beside the file it
// is to become (the output path with its symbolic links resolved), which
// replaces that file only once it is complete; when no temporary file can
// be made there, or the target is no plain file (a device, a pipe), the
// target itself is written.
struct OutFile {
    FILE *fp = nullptr;
    std::string target; // the file finally written
    std::string temp;   // the temporary file; empty when writing in place
    // POSIX: the permission bits and owner the new file gets (the old
    // file's, or those of a newly created file); -1 keeps the process's.
    unsigned mode = 0;
    long uid = -1, gid = -1;
};

// Opens the output for path, for update ("wb+"). False when neither a
// temporary file nor the target can be opened.
bool outOpen(OutFile &o, const char *path);

// Gives the written and flushed file, still open, its permission bits and
// owner, and measures the free bytes left on its file system: -1 when they
// cannot be measured, infinite for a device or pipe.
void outSettle(OutFile &o, double *freeBytes);

// Moves the closed temporary file over the target, keeping the old file's
// attributes (Windows). Returns 0 on success; on failure the temporary
// file is removed.
int outCommit(OutFile &o);

// Gives up a failed output: closes it if it is still open and removes the
// temporary file. A target written in place stays as it is.
void outAbandon(OutFile &o);

// A local-memory block of `bytes` bytes whose contents are those of the
// open file fp from `offset` on: a private view of the file where the
// system has one, so that a large picture is neither cleared nor copied
// before it is used. The block is writable (changes stay in it) and freed
// with LocalFree like any other. Should the file be cut short while the
// view is held, what it no longer holds reads as zeros. Null when the file
// is no plain file holding all those bytes, or the block would be small:
// then read it into a block of its own.
HLOCAL LocalAllocView(FILE *fp, int64_t offset, SIZE_T bytes);

// Removes a file; errors are ignored.
void removeFile(const char *path);

// Status query of a path: 0 when it exists (with *isDir set), -1 when not.
int statPath(const char *path, bool *isDir);

// The plug-in directory of an installed program, for when neither -d nor
// windir names one: lib/vexel under the prefix whose bin/ holds the running
// executable, found from the executable itself so that an installed tree
// still finds its plug-ins after it has been moved. Null when the directory
// does not exist, and always on Windows, where windir is always set.
const char *defaultPluginDir();

#endif
