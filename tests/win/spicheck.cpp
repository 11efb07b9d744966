// Drives the Windows plug-ins through their exports, as a host that loads
// them would.
//
//   spicheck <plug-in dir> <picture dir> <output dir>
//
// Every picture in the picture dir is offered to every plug-in below.
// <name>.<ext> is a good file of its extension's format, whose decode is
// saved as <output dir>/<name>.<ext>.bmp for the pixel comparison on the
// build machine; bad-<name>.<ext> is a damaged one, to be refused as broken
// (3) or unknown (2). The plug-ins of today's formats need the system's
// codec: a good file they refuse as unknown is reported as "no codec", not
// as a failure. Prints each failed check and a count; exits 1 when any
// failed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "plugins/spi.h"

static int passed, failed;
static std::string who; // the plug-in and picture under check

static bool check(bool ok, const std::string &what)
{
    if (!ok)
        std::printf("FAIL %s: %s\n", who.c_str(), what.c_str());
    (ok ? passed : failed)++;
    return ok;
}

static struct Plugin {
    const char *file, *exts; // " ext ext ", lower case
    bool systemCodec;        // decodes only where the system has the codec
    HMODULE lib = nullptr;
    template <class F> F fn(const char *name) const
    {
        return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(lib, name)));
    }
} plugins[] = {{"ifgif.spi", " gif ", false},        {"ifjpeg.spi", " jpg jpeg jpe ", false},
               {"iftiff.spi", " tif tiff ", false}, {"ifpng.spi", " png ", false},
               {"ifmag.spi", " mag ", false},       {"ifpi.spi", " pi ", false},
               {"ifpic.spi", " pic ", false},       {"ifwebp.spi", " webp ", true},
               {"ifheic.spi", " heic heif ", true}, {"ifheif.spi", " heic heif ", true},
               {"ifavif.spi", " avif ", true},      {"ifjxl.spi", " jxl ", true}};

// A decode: its result and the two blocks copied out of their handles.
struct Picture {
    int result;
    std::string info, bits;
    bool operator==(const Picture &o) const { return result == o.result && info == o.info && bits == o.bits; }
};

static std::string take(HLOCAL h)
{
    auto *p = static_cast<const char *>(LocalLock(h));
    std::string v(p, p != nullptr ? LocalSize(h) : 0);
    LocalUnlock(h);
    LocalFree(h);
    return v;
}

static int calls, stopAt; // progress calls so far, and the one that asks to stop
static int SPI_API progress(int, int, long) { return ++calls == stopAt; }

static Picture get(const Plugin &p, char *buf, size_t len, unsigned flag, SPI_PROGRESS cb = nullptr)
{
    HLOCAL hi = nullptr, hb = nullptr;
    Picture pic = {p.fn<GetPictureFn>("GetPicture")(buf, long(len), flag, &hi, &hb, cb, 0), {}, {}};
    if (pic.result == SPI_ALL_RIGHT)
        pic.info = take(hi), pic.bits = take(hb);
    else if (hi != nullptr || hb != nullptr)
        pic.result = -2; // handles left on failure, which no host would free
    return pic;
}

// IsSupported on the first 2 KB in memory, and on an open file that it
// reads from its start and leaves where it was.
static void checkSupported(const Plugin &p, std::string path, std::string head, bool want)
{
    head.resize(2048);
    check((p.fn<IsSupportedFn>("IsSupported")(&path[0], DWORD_PTR(head.data())) != 0) == want, "IsSupported, memory");
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    check(DWORD_PTR(h) < 0x10000 && SetFilePointer(h, 5, nullptr, FILE_BEGIN) == 5 &&
              (p.fn<IsSupportedFn>("IsSupported")(&path[0], DWORD_PTR(h)) != 0) == want &&
              SetFilePointer(h, 0, nullptr, FILE_CURRENT) == 5,
          "IsSupported, file");
    CloseHandle(h);
}

// A good picture: the same decode from a file, at an offset in a file and
// from memory, saved for the comparison; GetPictureInfo agrees; every
// progress call can stop it.
static void checkGood(const Plugin &p, std::string path, std::string data, const std::string &out)
{
    Picture pic = get(p, &path[0], 0, SPI_INPUT_FILE);
    if (p.systemCodec && pic.result == SPI_NOT_SUPPORT) {
        std::printf("no codec: %s\n", who.c_str());
        return;
    }
    if (!check(pic.result == SPI_ALL_RIGHT && pic.info.size() >= 40, "gives " + std::to_string(pic.result)))
        return;
    std::string shifted = out + ".shifted";
    std::ofstream(shifted, std::ios::binary) << std::string(1000, 'Z') << data;
    check(get(p, &shifted[0], 1000, SPI_INPUT_FILE) == pic, "the same at an offset");
    check(get(p, &data[0], data.size(), SPI_INPUT_MEMORY) == pic, "the same from memory");
    BITMAPFILEHEADER fh = {0x4D42, DWORD(14 + pic.info.size() + pic.bits.size()), 0, 0, DWORD(14 + pic.info.size())};
    std::ofstream(out + ".bmp", std::ios::binary)
        << std::string(reinterpret_cast<char *>(&fh), sizeof fh) << pic.info << pic.bits;

    PictureInfo pi; // width and height as in the header (at 4 and 8), its bit count (at 14)
    std::memset(&pi, 0x55, sizeof pi);
    check(p.fn<GetPictureInfoFn>("GetPictureInfo")(&path[0], 0, SPI_INPUT_FILE, &pi) == SPI_ALL_RIGHT &&
              std::memcmp(&pi.width, &pic.info[4], 8) == 0 && pi.colorDepth == pic.info[14] && pi.hInfo == nullptr,
          "GetPictureInfo agrees");
    calls = stopAt = 0;
    check(get(p, &path[0], 0, SPI_INPUT_FILE, progress) == pic && calls >= 2, "progress reported");
    for (int total = calls, n = 1; n <= total; n++) {
        calls = 0, stopAt = n;
        check(get(p, &path[0], 0, SPI_INPUT_FILE, progress).result == SPI_ABORT, "stops at call " + std::to_string(n));
    }
}

int main(int argc, char **argv)
{
    if (argc != 4)
        return std::fprintf(stderr, "usage: spicheck <plug-in dir> <picture dir> <output dir>\n"), 2;
    for (Plugin &p : plugins) {
        who = p.file;
        p.lib = LoadLibraryA((std::string(argv[1]) + "\\" + p.file).c_str());
        if (!check(p.lib != nullptr, "loads")) // its exports are checked by name on the build machine
            return 1;
        auto info = p.fn<GetPluginInfoFn>("GetPluginInfo");
        char buf[64] = "xxxx";
        check(info(0, buf, 2) == 2 && std::memcmp(buf, "00xx", 4) == 0, "GetPluginInfo keeps to buflen");
        check(info(0, buf, 63) == 4 && std::strcmp(buf, "00IN") == 0 && info(4, buf, 63) == 0, "GetPluginInfo 0, 4");
        for (int n = 1; n <= 3; n++)
            check(info(n, buf, 63) == int(std::strlen(buf)) && *buf, "GetPluginInfo " + std::to_string(n));
    }

    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA((std::string(argv[2]) + "\\*").c_str(), &fd);
    for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &fd)) {
        std::string base = fd.cFileName, path = argv[2] + ("\\" + base);
        std::string ext = " " + base.substr(base.rfind('.') + 1) + " ";
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        std::ifstream in(path, std::ios::binary);
        std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        bool damaged = base.compare(0, 4, "bad-") == 0;
        for (const Plugin &p : plugins) {
            who = std::string(p.file) + " on " + base;
            bool mine = std::strstr(p.exts, ext.c_str()) != nullptr;
            if (!damaged)
                checkSupported(p, path, data, mine);
            if (!mine)
                check(get(p, &path[0], 0, SPI_INPUT_FILE).result == SPI_NOT_SUPPORT, "refused as unknown");
            else if (!damaged)
                checkGood(p, path, data, std::string(argv[3]) + "\\" + base);
            else
                for (const Picture &bad : {get(p, &path[0], 0, 0), get(p, &data[0], data.size(), SPI_INPUT_MEMORY)})
                    check(bad.result == SPI_OUT_OF_ORDER || bad.result == SPI_NOT_SUPPORT,
                          "damaged, gives " + std::to_string(bad.result));
        }
    }
    std::printf("spicheck: %d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
