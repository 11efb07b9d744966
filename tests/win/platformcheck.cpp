// Checks the Win32 side of the platform layer on Wine's (or a real) file
// system: the plug-in search, directory status, free space, and the
// temporary output file and its replacement.
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

    for (std::string path : {"C:\\x.bmp", "out.bmp", "Q:\\x"}) {
        double bytes = -1;
        bool want = path[0] != 'Q'; // no such drive
        check(diskFreeBytes(path.c_str(), &bytes) == want && (!want || bytes > 0), "diskFreeBytes " + path);
    }

    // Temporary files beside the output, each with a name of its own; the
    // one moved over the output keeps the old file's marks.
    std::string out = dir + "\\out.bmp", temp, temp2, word;
    std::ofstream(out) << "old";
    SetFileAttributesA(out.c_str(), FILE_ATTRIBUTE_HIDDEN);
    FILE *f = openTempBeside(out.c_str(), temp);
    FILE *g = openTempBeside(out.c_str(), temp2);
    if (!check(f && g && temp2 != temp && temp.rfind('\\') == dir.size(), "openTempBeside: names of their own"))
        return 1;
    std::fputs("new", f);
    std::fclose(f);
    std::fclose(g);
    removeFile(temp2.c_str());
    check(replaceFile(temp.c_str(), out.c_str()) == 0 && std::ifstream(out) >> word && word == "new" &&
              GetFileAttributesA(temp.c_str()) == INVALID_FILE_ATTRIBUTES &&
              (GetFileAttributesA(out.c_str()) & FILE_ATTRIBUTE_HIDDEN),
          "replaceFile: the new contents, the marks kept, the temporary file gone");
    check(openTempBeside((d + "missing\\x.bmp").c_str(), temp) == nullptr, "openTempBeside: a missing directory");

    std::printf("platformcheck: %d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
