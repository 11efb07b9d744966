// Checks the Win32 side of the platform layer on a real (or Wine's) file
// system: the environment, the plug-in search, directory status, free
// space and the replacement of an output file.
//
//   platformcheck <scratch dir>
//
// Prints one line per failed check and a count at the end; the exit status
// is 1 when any check failed.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

int passed, failed;

void check(bool ok, const std::string &what)
{
    if (ok) {
        passed++;
    } else {
        failed++;
        std::printf("FAIL %s\n", what.c_str());
    }
}

void writeFile(const std::string &path, const char *text)
{
    if (FILE *f = std::fopen(path.c_str(), "wb")) {
        std::fputs(text, f);
        std::fclose(f);
    }
}

std::string readFile(const std::string &path)
{
    std::string s;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        int c;
        while ((c = std::fgetc(f)) != EOF)
            s += char(c);
        std::fclose(f);
    }
    return s;
}

void checkEnvironment()
{
    SetEnvironmentVariableA("VexelCheck", "plug-ins");
    const char *v = getEnvNoCase("VEXELCHECK");
    check(v != nullptr && std::strcmp(v, "plug-ins") == 0, "environment: name in any case");
    std::string longValue(300, 'x');
    SetEnvironmentVariableA("VexelCheck", longValue.c_str());
    v = getEnvNoCase("vexelcheck");
    check(v != nullptr && v == longValue, "environment: a value longer than the first guess");
    SetEnvironmentVariableA("VexelCheck", "");
    v = getEnvNoCase("VexelCheck");
    check(v != nullptr && *v == '\0', "environment: an empty value is set");
    SetEnvironmentVariableA("VexelCheck", nullptr);
    check(getEnvNoCase("VexelCheck") == nullptr, "environment: unset");
}

void checkFindFiles(const std::string &dir)
{
    std::string d = dir + "\\plugins";
    CreateDirectoryA(d.c_str(), nullptr);
    for (const char *n : {"ifa.spi", "IFB.SPI", "x.spix", "hidden.spi", "sys.spi", "ro.spi", "note.txt", "spi"})
        writeFile(d + "\\" + n, "x");
    CreateDirectoryA((d + "\\dir.spi").c_str(), nullptr);
    SetFileAttributesA((d + "\\hidden.spi").c_str(), FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesA((d + "\\sys.spi").c_str(), FILE_ATTRIBUTE_SYSTEM);
    SetFileAttributesA((d + "\\ro.spi").c_str(), FILE_ATTRIBUTE_READONLY);

    std::vector<std::string> names;
    check(findFiles(d.c_str(), "spi", names), "findFiles: the directory is read");
    std::sort(names.begin(), names.end());
    std::vector<std::string> want = {"IFB.SPI", "ifa.spi", "ro.spi", "spi"};
    std::string got;
    for (const std::string &n : names)
        got += n + " ";
    check(names == want, "findFiles: plain files ending in spi, got " + got);
    SetFileAttributesA((d + "\\ro.spi").c_str(), FILE_ATTRIBUTE_NORMAL);

    std::string empty = dir + "\\empty";
    CreateDirectoryA(empty.c_str(), nullptr);
    names.assign(1, "stale");
    check(findFiles(empty.c_str(), "spi", names) && names.empty(), "findFiles: an empty directory");
    check(!findFiles((dir + "\\missing").c_str(), "spi", names), "findFiles: a missing directory");
}

void checkStatPath(const std::string &dir)
{
    std::string file = dir + "\\file.bmp";
    writeFile(file, "x");
    struct Case {
        std::string path;
        int result;
        bool isDir;
    } cases[] = {
        {dir, 0, true},           {dir + "\\", 0, true},  {dir + "/", 0, true},   {file, 0, false},
        {dir + "\\missing", -1, false}, {"\\", 0, true}, {"C:\\", 0, true}, {".", 0, true},
    };
    for (const Case &c : cases) {
        bool isDir = !c.isDir;
        int r = statPath(c.path.c_str(), &isDir);
        check(r == c.result && (r != 0 || isDir == c.isDir), "statPath " + c.path);
    }
}

void checkDiskFree(const std::string &dir)
{
    double bytes = -1;
    check(diskFreeBytes((dir + "\\out.bmp").c_str(), &bytes) && bytes > 0, "diskFreeBytes: the drive of a path");
    bytes = -1;
    check(diskFreeBytes("C:\\x.bmp", &bytes) && bytes > 0, "diskFreeBytes: drive letter");
    bytes = -1;
    check(diskFreeBytes("out.bmp", &bytes) && bytes > 0, "diskFreeBytes: the current drive");
    check(!diskFreeBytes("Q:\\x.bmp", &bytes), "diskFreeBytes: a drive that is not there");
}

void checkReplace(const std::string &dir)
{
    std::string out = dir + "\\out.bmp";
    writeFile(out, "old");
    SetFileAttributesA(out.c_str(), FILE_ATTRIBUTE_HIDDEN);
    std::string temp;
    FILE *f = openTempBeside(out.c_str(), temp);
    check(f != nullptr, "openTempBeside: opened");
    if (f == nullptr)
        return;
    check(temp.compare(0, dir.size() + 1, dir + "\\") == 0 && temp.find('\\', dir.size() + 1) == std::string::npos,
          "openTempBeside: beside the output, got " + temp);
    std::fputs("new", f);
    std::rewind(f);
    char back[4] = {};
    check(std::fread(back, 1, 3, f) == 3 && std::strcmp(back, "new") == 0, "openTempBeside: open for update");
    std::fclose(f);

    // A second temporary file while the first still exists gets its own name.
    std::string temp2;
    FILE *g = openTempBeside(out.c_str(), temp2);
    check(g != nullptr && temp2 != temp, "openTempBeside: a second name");
    if (g != nullptr) {
        std::fclose(g);
        removeFile(temp2.c_str());
        check(GetFileAttributesA(temp2.c_str()) == INVALID_FILE_ATTRIBUTES, "removeFile");
    }

    check(replaceFile(temp.c_str(), out.c_str()) == 0, "replaceFile: done");
    check(readFile(out) == "new", "replaceFile: the new contents");
    check(GetFileAttributesA(temp.c_str()) == INVALID_FILE_ATTRIBUTES, "replaceFile: the temporary file is gone");
    DWORD a = GetFileAttributesA(out.c_str());
    check(a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_HIDDEN), "replaceFile: the old file's marks kept");
    SetFileAttributesA(out.c_str(), FILE_ATTRIBUTE_NORMAL);

    // A new output, named without a directory.
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(sizeof cwd, cwd);
    SetCurrentDirectoryA(dir.c_str());
    f = openTempBeside("fresh.bmp", temp);
    check(f != nullptr && temp.find('\\') == std::string::npos, "openTempBeside: in the current directory");
    if (f != nullptr) {
        std::fclose(f);
        check(replaceFile(temp.c_str(), "fresh.bmp") == 0 && readFile("fresh.bmp").empty(),
              "replaceFile: a new file");
    }
    SetCurrentDirectoryA(cwd);
    check(openTempBeside((dir + "\\missing\\x.bmp").c_str(), temp) == nullptr,
          "openTempBeside: a missing directory");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: platformcheck <scratch dir>\n");
        return 2;
    }
    platformInit();
    std::string dir = argv[1];
    checkEnvironment();
    checkFindFiles(dir);
    checkStatPath(dir);
    checkDiskFree(dir);
    checkReplace(dir);
    std::printf("platformcheck: %d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
