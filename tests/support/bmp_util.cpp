#include "support/bmp_util.h"

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "input/input.h"
#include "support/bytes.h"

const Bytes kImpRows3 = {10, 20, 30, 12, 19, 30, 200, 0, 5, 0, 0, 0};
const Bytes kImpStream3 = {0xA0, 0x0A, 0x14, 0x1E, 0x2F, 0x0C, 0x80, 0x00, 0x50};

BmpTempDir::BmpTempDir()
{
    char tmpl[] = "/tmp/vexel-bmp-XXXXXX";
    path = mkdtemp(tmpl) ? tmpl : "";
}

BmpTempDir::~BmpTempDir()
{
    if (!path.empty())
        std::system(("rm -rf '" + path + "'").c_str());
}

std::vector<std::string> BmpTempDir::list() const
{
    std::vector<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.' || (e->d_name[1] != '\0' && e->d_name[1] != '.'))
                names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void writeBytes(const std::string &path, const Bytes &data)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(data.data()), long(data.size()));
}

Bytes readBytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

Bytes with(Bytes b, size_t at, uint32_t v, int size)
{
    if (size == 2)
        putLE16(b.data() + at, v);
    else
        putLE32(b.data() + at, v);
    return b;
}

uint32_t le32(const Bytes &b, size_t at)
{
    return b.size() >= at + 4 ? getLE32(b.data() + at) : 0xDEADBEEFu;
}

Bytes bmpFile(int32_t width, int32_t height, int bitCount, const Bytes &table, const Bytes &data,
              uint32_t compression, uint32_t clrUsed, const char *magic)
{
    Bytes f(54 + table.size() + data.size());
    f[0] = uint8_t(magic[0]);
    f[1] = uint8_t(magic[1]);
    putLE32(&f[2], uint32_t(f.size()));
    putLE32(&f[10], uint32_t(54 + table.size()));
    putLE32(&f[14], 40);
    putLE32(&f[18], uint32_t(width));
    putLE32(&f[22], uint32_t(height));
    putLE16(&f[26], 1);
    putLE16(&f[28], uint32_t(bitCount));
    putLE32(&f[30], compression);
    putLE32(&f[34], uint32_t(data.size()));
    putLE32(&f[38], 2835);
    putLE32(&f[42], 2835);
    putLE32(&f[46], clrUsed);
    std::copy(table.begin(), table.end(), f.begin() + 54);
    std::copy(data.begin(), data.end(), f.begin() + 54 + long(table.size()));
    return f;
}

Bytes impFile(int32_t width, int32_t height, const std::string &comment, const Bytes &stream)
{
    Bytes f(47 + comment.size() + stream.size());
    f[0] = 'I';
    f[1] = 'M';
    putLE32(&f[2], uint32_t(f.size()));
    putLE32(&f[6], uint32_t(47 + comment.size()));
    putLE32(&f[10], uint32_t(width));
    putLE32(&f[14], uint32_t(height));
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

Bytes grayTable(int entries)
{
    Bytes t;
    for (int i = 0; i < entries; i++)
        t.insert(t.end(), {uint8_t(i), uint8_t(i ^ 0x55), uint8_t(255 - i), 0});
    return t;
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
        auto *pb = static_cast<unsigned char *>(LocalLock(bits));
        r.bits.assign(pb, pb + LocalSize(bits));
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
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        text.append(buf, n);
    int st = pclose(p);
    if (out != nullptr)
        *out = text;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}
