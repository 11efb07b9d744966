// Checks the Win32 side of the platform layer on Wine's (or a real) file
// system: the plug-in search, directory status, and the output file
// written beside its target and moved over it.
//
//   platformcheck <scratch dir>
//
// Prints each failed check and a count; exits 1 when any failed.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "output/output.h"
#include "platform/platform.h"

static int passed, failed;

static bool check(bool ok, const std::string &what)
{
    if (!ok)
        std::printf("FAIL %s\n", what.c_str());
    (ok ? passed : failed)++;
    return ok;
}

int main(int argc, char **argv)
{
    if (argc != 2)
        return std::fprintf(stderr, "usage: platformcheck <scratch dir>\n"), 2;
    platformInit();
    std::string dir = argv[1], d = dir + "\\plugins\\";
    CreateDirectoryA(d.c_str(), nullptr);
    CreateDirectoryA((d + "dir.spi").c_str(), nullptr);

    // Plain files whose long names end in spi, read-only ones too: x.spix
    // matches the search pattern through its short name X~1.SPI.
    for (const char *name : {"ifa.spi", "IFB.SPI", "x.spix", "hidden.spi", "ro.spi", "note.txt", "spi"})
        std::ofstream(d + name) << "x";
    SetFileAttributesA((d + "hidden.spi").c_str(), FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesA((d + "ro.spi").c_str(), FILE_ATTRIBUTE_READONLY);
    check(GetFileAttributesA((d + "ro.spi").c_str()) & FILE_ATTRIBUTE_READONLY, "GetFileAttributes: read-only");
    std::vector<std::string> names;
    check(findFiles((dir + "\\plugins").c_str(), "spi", names), "findFiles: the directory is read");
    std::sort(names.begin(), names.end());
    std::string got;
    for (const std::string &n : names)
        got += n + " ";
    check(got == "IFB.SPI ifa.spi ro.spi spi ", "findFiles: plain files ending in spi, got " + got);
    check(findFiles((d + "dir.spi").c_str(), "spi", names) && names.empty(), "findFiles: an empty directory");
    check(!findFiles((dir + "\\missing").c_str(), "spi", names), "findFiles: a missing directory");

    // Directories (1), files (0) and missing paths (-1); the runtime's stat
    // refuses a directory named with a trailing separator.
    std::ofstream(dir + "\\file.bmp") << "x";
    const std::pair<std::string, int> stats[] = {{dir, 1}, {dir + "\\", 1}, {dir + "/", 1}, {dir + "\\file.bmp", 0},
                                                 {d + "x\\", -1}, {"\\", 1}, {"C:\\", 1}, {".", 1}};
    for (const auto &s : stats) {
        bool isDir = s.second != 1;
        int r = statPath(s.first.c_str(), &isDir);
        check(s.second < 0 ? r == -1 : r == 0 && isDir == (s.second == 1), "statPath " + s.first);
    }

    // Outputs written beside their targets, each to a file of its own; the
    // one moved over an old file keeps its marks, free space is measured on
    // the volume, and an output dropped leaves nothing.
    std::string out = dir + "\\out.bmp", fresh = dir + "\\new.bmp", word;
    std::ofstream(out) << "old";
    SetFileAttributesA(out.c_str(), FILE_ATTRIBUTE_HIDDEN);
    OutFile o, o2, o3;
    if (!check(outOpen(o, out.c_str()) && outOpen(o2, out.c_str()) && outOpen(o3, fresh.c_str()) &&
                   o.temp != o2.temp && o.temp.rfind('\\') == dir.size(),
               "outOpen: temporary files of their own"))
        return 1;
    std::string temps[] = {o.temp, o2.temp, o3.temp};
    outAbandon(o2);
    std::fputs("new", o.fp);
    check(Fclose(o, out.c_str()) == 0 && FreeDiskSpace > 0 && Fclose(o3, fresh.c_str()) == 0,
          "Fclose: free space measured");
    check(outCommit(o) == 0 && std::ifstream(out) >> word && word == "new" &&
              (GetFileAttributesA(out.c_str()) & FILE_ATTRIBUTE_HIDDEN) && outCommit(o3) == 0 &&
              GetFileAttributesA(fresh.c_str()) != INVALID_FILE_ATTRIBUTES,
          "outCommit: over the old file with its marks, and as a new file");
    for (const std::string &t : temps)
        check(GetFileAttributesA(t.c_str()) == INVALID_FILE_ATTRIBUTES, "no temporary file left: " + t);
    check(!outOpen(o, (d + "missing\\x.bmp").c_str()), "outOpen: a missing directory");

    std::printf("platformcheck: %d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
