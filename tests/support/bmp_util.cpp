#include "support/bmp_util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "input/input.h"
#include "support/bytes.h"

BmpTempDir::BmpTempDir()
{
    char tmpl[] = "/tmp/vexel-bmp-XXXXXX";
    char *p = mkdtemp(tmpl);
    path = p ? p : "";
}

BmpTempDir::~BmpTempDir()
{
    if (!path.empty())
        std::system(("rm -rf '" + path + "'").c_str());
}

std::vector<std::string> BmpTempDir::list() const
{
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    if (d == nullptr)
        return names;
    while (struct dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

void writeBytes(const std::string &path, const Bytes &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
}

Bytes readBytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool fileExists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int64_t bmpRowSize(int64_t width, int bitCount)
{
    return (width * bitCount + 31) / 32 * 4;
}

void setLE32(Bytes &b, size_t at, uint32_t v)
{
    putLE32(b.data() + at, v);
}

void setLE16(Bytes &b, size_t at, uint32_t v)
{
    putLE16(b.data() + at, v);
}

uint32_t getLE32At(const Bytes &b, size_t at)
{
    return getLE32(b.data() + at);
}

Bytes bmpFile(int32_t width, int32_t height, int bitCount, const Bytes &table, const Bytes &data,
              uint32_t compression, uint32_t clrUsed, const char *magic)
{
    Bytes f(54);
    f[0] = uint8_t(magic[0]);
    f[1] = uint8_t(magic[1]);
    setLE32(f, 2, uint32_t(54 + table.size() + data.size()));
    setLE32(f, 10, uint32_t(54 + table.size()));
    setLE32(f, 14, 40);
    setLE32(f, 18, uint32_t(width));
    setLE32(f, 22, uint32_t(height));
    setLE16(f, 26, 1);
    setLE16(f, 28, uint32_t(bitCount));
    setLE32(f, 30, compression);
    setLE32(f, 34, uint32_t(data.size()));
    setLE32(f, 38, 2835);
    setLE32(f, 42, 2835);
    setLE32(f, 46, clrUsed);
    f.insert(f.end(), table.begin(), table.end());
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

Bytes impFile(int32_t width, int32_t height, const std::string &comment, const Bytes &stream,
              int64_t fileSize)
{
    Bytes f(47 + comment.size() + stream.size());
    f[0] = 'I';
    f[1] = 'M';
    uint32_t offset = uint32_t(47 + comment.size());
    setLE32(f, 2, uint32_t(fileSize >= 0 ? fileSize : int64_t(offset + stream.size())));
    setLE32(f, 6, offset);
    setLE32(f, 10, uint32_t(width));
    setLE32(f, 14, uint32_t(height));
    f[18] = 24;
    std::copy(comment.begin(), comment.end(), f.begin() + 47);
    std::copy(stream.begin(), stream.end(), f.begin() + 47 + long(comment.size()));
    return f;
}

Bytes randomBytes(size_t n, uint32_t seed)
{
    Bytes b(n);
    uint32_t s = seed * 2654435761u + 12345;
    for (auto &c : b) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        c = uint8_t(s >> 7);
    }
    return b;
}

Bytes grayTable(int n)
{
    Bytes t;
    for (int i = 0; i < n; i++) {
        uint8_t v = uint8_t(i * 255 / (n > 1 ? n - 1 : 1));
        t.insert(t.end(), {v, uint8_t(v ^ 0x55), uint8_t(255 - v), 0});
    }
    return t;
}

int32_t DibRead::width() const
{
    return int32_t(field(4));
}

int32_t DibRead::height() const
{
    return int32_t(field(8));
}

uint32_t DibRead::field(size_t at) const
{
    return info.size() >= at + 4 ? getLE32(info.data() + at) : 0xDEADBEEFu;
}

DibRead readDib(int type, const std::string &path)
{
    DibRead r;
    HLOCAL info = nullptr, bits = nullptr;
    testing::internal::CaptureStderr();
    r.rc = readBitmap(type, path.c_str(), &info, &bits);
    r.err = testing::internal::GetCapturedStderr();
    if (r.rc == 0) {
        auto *pi = static_cast<unsigned char *>(LocalLock(info));
        r.info.assign(pi, pi + LocalSize(info));
        LocalUnlock(info);
        auto *pb = static_cast<unsigned char *>(LocalLock(bits));
        r.bits.assign(pb, pb + LocalSize(bits));
        LocalUnlock(bits);
        LocalFree(info);
        LocalFree(bits);
    }
    return r;
}

int runCommand(const std::string &cmd, std::string *out)
{
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, n);
    int st = pclose(p);
    if (out != nullptr)
        *out = text;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}
