// Checks the default Windows plug-ins through their exported entry points,
// as a host that loads them would.
//
//   spicheck <plug-in dir> <picture dir> <output dir>
//
// Every picture in the picture dir is offered to each of ifgif, ifjpeg,
// iftiff and ifpng. Names tell what a picture is: <name>.<ext> is a good
// file of the format of its extension; bad-<name>.<ext> a damaged one that
// must be refused or read without harm. Each good picture's decode is
// written to <output dir>/<name>.<ext>.bmp for the pixel comparison that
// follows on the build machine. Prints one line per failed check and a
// count at the end; the exit status is 1 when any check failed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "plugins/spi.h"

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

struct Plugin {
    const char *file;
    const char *exts[3]; // extensions of its format, lower case
    HMODULE lib = nullptr;
    GetPluginInfoFn info = nullptr;
    IsSupportedFn supported = nullptr;
    GetPictureFn picture = nullptr;
    GetPictureInfoFn pictureInfo = nullptr;
};

Plugin plugins[] = {
    {"ifgif.spi", {"gif", nullptr, nullptr}},
    {"ifjpeg.spi", {"jpg", "jpeg", "jpe"}},
    {"iftiff.spi", {"tif", "tiff", nullptr}},
    {"ifpng.spi", {"png", nullptr, nullptr}},
};

bool serves(const Plugin &p, const std::string &ext)
{
    for (const char *e : p.exts)
        if (e != nullptr && ext == e)
            return true;
    return false;
}

template <class F> F entry(HMODULE lib, const char *name)
{
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(lib, name)));
}

std::vector<unsigned char> readFile(const std::string &path)
{
    std::vector<unsigned char> data;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        unsigned char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            data.insert(data.end(), buf, buf + n);
        std::fclose(f);
    }
    return data;
}

bool writeFile(const std::string &path, const void *p, size_t n)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = std::fwrite(p, 1, n, f) == n;
    return std::fclose(f) == 0 && ok;
}

// A decoded picture: the two blocks copied out of the plug-in's handles.
struct Picture {
    int result = -1;
    std::vector<unsigned char> info, bits;
    bool operator==(const Picture &o) const { return result == o.result && info == o.info && bits == o.bits; }
};

int progressCalls;
int progressStopAt; // the call that asks to stop, 0 for none

int SPI_API progress(int num, int denom, long data)
{
    (void)num;
    (void)denom;
    (void)data;
    return ++progressCalls == progressStopAt ? 1 : 0;
}

std::vector<unsigned char> takeBlock(HLOCAL h)
{
    std::vector<unsigned char> v;
    auto *p = static_cast<unsigned char *>(LocalLock(h));
    if (p != nullptr) {
        v.assign(p, p + LocalSize(h));
        LocalUnlock(h);
    }
    LocalFree(h);
    return v;
}

Picture getPicture(const Plugin &p, char *buf, long len, unsigned flag, SPI_PROGRESS cb = nullptr)
{
    Picture pic;
    HLOCAL hi = nullptr, hb = nullptr;
    pic.result = p.picture(buf, len, flag, &hi, &hb, cb, 0);
    if (pic.result == SPI_ALL_RIGHT) {
        pic.info = takeBlock(hi);
        pic.bits = takeBlock(hb);
    } else if (hi != nullptr || hb != nullptr) {
        pic.result = -2; // handles set on failure: the host would never free them
    }
    return pic;
}

// The picture's header, checked against its blocks: 8 bits with a colour
// table that covers every index, or 24 bits; rows padded to 4 bytes.
bool wellFormed(const Picture &pic, std::string *why)
{
    if (pic.info.size() < sizeof(BITMAPINFOHEADER)) {
        *why = "info block too small";
        return false;
    }
    BITMAPINFOHEADER h;
    std::memcpy(&h, pic.info.data(), sizeof h);
    if (h.biSize != 40 || h.biWidth <= 0 || h.biHeight <= 0 || h.biPlanes != 1 || h.biCompression != BI_RGB) {
        *why = "bad header";
        return false;
    }
    if (h.biBitCount != 8 && h.biBitCount != 24) {
        *why = "bit count " + std::to_string(h.biBitCount);
        return false;
    }
    size_t stride = (size_t(h.biWidth) * h.biBitCount + 31) / 32 * 4;
    if (pic.bits.size() < stride * size_t(h.biHeight)) {
        *why = "bits block too small";
        return false;
    }
    if (h.biBitCount == 8) {
        size_t colors = h.biClrUsed ? h.biClrUsed : 256;
        if (colors > 256 || pic.info.size() < 40 + 4 * colors) {
            *why = "colour table";
            return false;
        }
        for (LONG y = 0; y < h.biHeight; y++)
            for (LONG x = 0; x < h.biWidth; x++)
                if (pic.bits[size_t(y) * stride + size_t(x)] >= colors) {
                    *why = "index past the colour table";
                    return false;
                }
    }
    return true;
}

// The picture as a BMP file, for the comparison on the build machine.
bool saveBmp(const Picture &pic, const std::string &path)
{
    BITMAPINFOHEADER h;
    std::memcpy(&h, pic.info.data(), sizeof h);
    size_t colors = h.biBitCount == 8 ? (h.biClrUsed ? h.biClrUsed : 256) : 0;
    size_t stride = (size_t(h.biWidth) * h.biBitCount + 31) / 32 * 4;
    size_t image = stride * size_t(h.biHeight);
    size_t offBits = 14 + 40 + 4 * colors;
    std::vector<unsigned char> out(offBits + image);
    BITMAPFILEHEADER fh = {};
    fh.bfType = 0x4D42;
    fh.bfSize = DWORD(out.size());
    fh.bfOffBits = DWORD(offBits);
    std::memcpy(out.data(), &fh, 14);
    std::memcpy(out.data() + 14, pic.info.data(), 40 + 4 * colors);
    std::memcpy(out.data() + offBits, pic.bits.data(), image);
    return writeFile(path, out.data(), out.size());
}

void checkPluginInfo(const Plugin &p)
{
    std::string who = p.file;
    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    check(p.info(0, buf, 10) == 4 && std::strcmp(buf, "00IN") == 0, who + ": GetPluginInfo 0 is 00IN");
    for (int n = 1; n <= 3; n++) {
        std::memset(buf, 0, sizeof buf);
        int r = p.info(n, buf, sizeof buf - 1);
        check(r > 0 && int(std::strlen(buf)) == r, who + ": GetPluginInfo " + std::to_string(n));
    }
    check(p.info(4, buf, sizeof buf) == 0, who + ": GetPluginInfo 4 has no text");
    // A short buffer takes what fits and nothing beyond.
    std::memset(buf, 'x', sizeof buf);
    check(p.info(0, buf, 2) == 2 && std::memcmp(buf, "00x", 3) == 0, who + ": GetPluginInfo keeps to buflen");
}

// IsSupported both ways: the first 2 KB in memory, and an open file.
void checkSupported(const Plugin &p, const std::string &path, const std::vector<unsigned char> &data, bool want)
{
    std::string who = std::string(p.file) + " on " + path;
    unsigned char head[2048] = {};
    std::memcpy(head, data.data(), data.size() < sizeof head ? data.size() : sizeof head);
    char name[MAX_PATH];
    std::snprintf(name, sizeof name, "%s", path.c_str());
    check((p.supported(name, reinterpret_cast<DWORD_PTR>(head)) != 0) == want, who + ": IsSupported (memory)");
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE || (reinterpret_cast<DWORD_PTR>(h) & ~DWORD_PTR(0xFFFF)) != 0) {
        check(false, who + ": a small file handle");
    } else {
        check((p.supported(name, reinterpret_cast<DWORD_PTR>(h)) != 0) == want, who + ": IsSupported (handle)");
    }
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
}

void checkGoodPicture(const Plugin &p, const std::string &path, const std::string &base,
                      std::vector<unsigned char> &data, const std::string &outDir)
{
    std::string who = std::string(p.file) + " on " + base;
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');

    Picture fromFile = getPicture(p, name.data(), 0, SPI_INPUT_FILE);
    check(fromFile.result == SPI_ALL_RIGHT, who + ": GetPicture from the file gives " + std::to_string(fromFile.result));
    if (fromFile.result != SPI_ALL_RIGHT)
        return;
    std::string why;
    check(wellFormed(fromFile, &why), who + ": " + why);
    if (!why.empty())
        return;
    check(saveBmp(fromFile, outDir + "\\" + base + ".bmp"), who + ": decode saved");

    Picture fromMemory = getPicture(p, reinterpret_cast<char *>(data.data()), long(data.size()), SPI_INPUT_MEMORY);
    check(fromMemory == fromFile, who + ": GetPicture from memory gives the same picture");

    // The picture further into a file, behind other bytes.
    std::string shifted = outDir + "\\shifted.bin";
    std::vector<unsigned char> buf(1000 + data.size(), 0x5A);
    if (!data.empty())
        std::memcpy(buf.data() + 1000, data.data(), data.size());
    writeFile(shifted, buf.data(), buf.size());
    std::vector<char> sname(shifted.begin(), shifted.end());
    sname.push_back('\0');
    check(getPicture(p, sname.data(), 1000, SPI_INPUT_FILE) == fromFile, who + ": GetPicture at an offset");
    DeleteFileA(shifted.c_str());

    BITMAPINFOHEADER h;
    std::memcpy(&h, fromFile.info.data(), sizeof h);
    PictureInfo pi;
    std::memset(&pi, 0x55, sizeof pi);
    int r = p.pictureInfo(name.data(), 0, SPI_INPUT_FILE, &pi);
    check(r == SPI_ALL_RIGHT && pi.width == h.biWidth && pi.height == h.biHeight && pi.colorDepth == h.biBitCount &&
              pi.hInfo == nullptr,
          who + ": GetPictureInfo agrees with the picture");

    // The progress callback is called, and asking to stop stops.
    progressCalls = 0;
    progressStopAt = 0;
    check(getPicture(p, name.data(), 0, SPI_INPUT_FILE, progress) == fromFile && progressCalls >= 2,
          who + ": progress reported");
    int calls = progressCalls;
    for (int stopAt = 1; stopAt <= calls; stopAt++) {
        progressCalls = 0;
        progressStopAt = stopAt;
        check(getPicture(p, name.data(), 0, SPI_INPUT_FILE, progress).result == SPI_ABORT,
              who + ": stop at progress call " + std::to_string(stopAt));
    }

    // Damaged copies: cut short, and with bytes overwritten past the header.
    // They may decode or fail, but never harm the host.
    for (size_t cut : {data.size() / 2, data.size() * 9 / 10, size_t(40)}) {
        Picture bad = getPicture(p, reinterpret_cast<char *>(data.data()), long(cut < data.size() ? cut : 0),
                                 SPI_INPUT_MEMORY);
        std::string w;
        check(bad.result != -2 && (bad.result != SPI_ALL_RIGHT || wellFormed(bad, &w)),
              who + ": cut to " + std::to_string(cut) + " bytes " + w);
    }
    std::vector<unsigned char> noisy = data;
    for (size_t i = 64; i < noisy.size(); i += 7)
        noisy[i] ^= 0xA5;
    Picture bad = getPicture(p, reinterpret_cast<char *>(noisy.data()), long(noisy.size()), SPI_INPUT_MEMORY);
    check(bad.result != -2 && (bad.result != SPI_ALL_RIGHT || wellFormed(bad, &why)), who + ": noisy copy " + why);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: spicheck <plug-in dir> <picture dir> <output dir>\n");
        return 2;
    }
    std::string spiDir = argv[1], picDir = argv[2], outDir = argv[3];

    for (Plugin &p : plugins) {
        std::string path = spiDir + "\\" + p.file;
        p.lib = LoadLibraryA(path.c_str());
        check(p.lib != nullptr, path + ": loads");
        if (p.lib == nullptr)
            continue;
        p.info = entry<GetPluginInfoFn>(p.lib, "GetPluginInfo");
        p.supported = entry<IsSupportedFn>(p.lib, "IsSupported");
        p.picture = entry<GetPictureFn>(p.lib, "GetPicture");
        p.pictureInfo = entry<GetPictureInfoFn>(p.lib, "GetPictureInfo");
        check(p.info && p.supported && p.picture && p.pictureInfo, path + ": exports the four entry points");
        if (!(p.info && p.supported && p.picture && p.pictureInfo)) {
            FreeLibrary(p.lib);
            p.lib = nullptr;
            continue;
        }
        checkPluginInfo(p);
    }

    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA((picDir + "\\*").c_str(), &fd);
    int pictures = 0;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                continue;
            std::string base = fd.cFileName;
            size_t dot = base.rfind('.');
            if (dot == std::string::npos)
                continue;
            std::string ext = base.substr(dot + 1);
            for (char &c : ext)
                c = char(std::tolower(static_cast<unsigned char>(c)));
            bool damaged = base.compare(0, 4, "bad-") == 0;
            std::string path = picDir + "\\" + base;
            std::vector<unsigned char> data = readFile(path);
            pictures++;
            for (const Plugin &p : plugins) {
                if (p.lib == nullptr)
                    continue;
                bool mine = serves(p, ext);
                if (!damaged)
                    checkSupported(p, path, data, mine);
                if (mine && !damaged) {
                    checkGoodPicture(p, path, base, data, outDir);
                } else if (mine) {
                    std::vector<char> name(path.begin(), path.end());
                    name.push_back('\0');
                    Picture bad = getPicture(p, name.data(), 0, SPI_INPUT_FILE);
                    std::string why;
                    check(bad.result != -2 && (bad.result != SPI_ALL_RIGHT || wellFormed(bad, &why)),
                          std::string(p.file) + " on " + base + ": damaged file " + why);
                } else {
                    // Another format's file is refused as unknown.
                    std::vector<char> name(path.begin(), path.end());
                    name.push_back('\0');
                    check(getPicture(p, name.data(), 0, SPI_INPUT_FILE).result == SPI_NOT_SUPPORT,
                          std::string(p.file) + " refuses " + base);
                }
            }
        } while (FindNextFileA(find, &fd));
        FindClose(find);
    }
    check(pictures > 0, picDir + ": pictures to check");

    for (Plugin &p : plugins)
        if (p.lib != nullptr)
            FreeLibrary(p.lib);
    std::printf("spicheck: %d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
