// Services of the operating system that have no Win32 name of their own
// here, or whose Win32 form needs wrapping: the path separator, the text
// rules of file names, the plug-in directory search, free disk space and
// the safe replacement of an output file.
#ifndef VEXEL_PLATFORM_PLATFORM_H
#define VEXEL_PLATFORM_PLATFORM_H

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

// Settles the process before anything else runs (Windows: no error
// dialogue boxes while plug-ins load). main calls it first.
#ifdef _WIN32
void platformInit();
#else
inline void platformInit() {}
#endif

// Value of an environment variable whose name is matched without regard to
// case; null when it is not set.
const char *getEnvNoCase(const char *name);

// Long names of the plug-in candidates in dir: plain files (not hidden, not
// system, not directories) whose names end in suffix, in the order the
// search is to take them. Returns false when the directory cannot be read.
bool findFiles(const char *dir, const char *suffix, std::vector<std::string> &names);

// Free bytes available to the caller on the file system that holds path
// (the drive root on Windows, the path itself elsewhere). Returns false
// when they cannot be measured.
bool diskFreeBytes(const char *path, double *freeBytes);

// Opens a new, empty temporary file in the directory of path, for update
// ("wb+"), and stores its name. Null when it cannot be created.
FILE *openTempBeside(const char *path, std::string &tempName);

// Moves the finished temporary file over path (replacing any file there)
// with the permissions a new file at path would get, or the old file's own.
// Returns 0 on success.
int replaceFile(const char *tempName, const char *path);

// Removes a file; errors are ignored.
void removeFile(const char *path);

// Status query of a path: 0 when it exists (with *isDir set), -1 when not.
int statPath(const char *path, bool *isDir);

#endif
