// Helpers of the bitmap reader, run-length and writer tests: a scratch
// directory, files built field by field, and readBitmap's result.
#ifndef VEXEL_TESTS_SUPPORT_BMP_UTIL_H
#define VEXEL_TESTS_SUPPORT_BMP_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "input/input.h"
#include "support/bytes.h"

using Bytes = std::vector<unsigned char>;

// A fresh directory under /tmp, removed with everything in it.
struct BmpTempDir {
    std::string path = "/tmp/vexel-bmp-XXXXXX";
    BmpTempDir() { EXPECT_NE(mkdtemp(&path[0]), nullptr); }
    ~BmpTempDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string &name) const { return path + "/" + name; }
    long count() const { return std::distance(std::filesystem::directory_iterator(path), {}); }
};

inline void writeBytes(const std::string &path, const Bytes &data)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(data.data()), long(data.size()));
}

template <typename T = Bytes> T readBytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return T(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline Bytes randomBytes(size_t n, uint32_t seed)
{
    Bytes b(n);
    std::mt19937 rng(seed);
    for (auto &c : b)
        c = uint8_t(rng());
    return b;
}

// n bytes of b from the given offset; a copy of b with a 32-bit field set;
// a and b one after the other.
inline Bytes part(const Bytes &b, size_t at, size_t n) { return Bytes(b.begin() + long(at), b.begin() + long(at + n)); }
inline Bytes with(Bytes b, size_t at, uint32_t v) { putLE32(&b[at], v); return b; }
inline Bytes join(Bytes a, const Bytes &b) { a.insert(a.end(), b.begin(), b.end()); return a; }

// A BMP file: 54-byte header (bfSize and bfOffBits from the parts,
// biSizeImage the data length), table, data.
inline Bytes bmpFile(int32_t width, int32_t height, int bitCount, const Bytes &table, const Bytes &data,
                     uint32_t compression = 0, uint32_t clrUsed = 0, const char *magic = "BM")
{
    Bytes f = join({uint8_t(magic[0]), uint8_t(magic[1])}, Bytes(52));
    for (auto [at, v] : {std::pair{2u, uint32_t(54 + table.size() + data.size())}, {10u, uint32_t(54 + table.size())},
                         {14u, 40u}, {18u, uint32_t(width)}, {22u, uint32_t(height)}, {26u, 1u | bitCount << 16},
                         {30u, compression}, {34u, uint32_t(data.size())}, {38u, 2835u}, {42u, 2835u}, {46u, clrUsed}})
        putLE32(&f[at], v);
    return join(join(f, table), data);
}

// The same file under another info header: one of infoSize bytes whose
// first 40 are the old header and the rest extra (masks and such), then
// zeros; or, for infoSize 12, the OS/2 core header, whose table entries
// have 3 bytes.
inline Bytes reheader(const Bytes &f, uint32_t infoSize, Bytes extra = {})
{
    uint32_t off = getLE32(&f[10]);
    Bytes info = part(f, 14, 40), table = part(f, 54, off - 54);
    if (infoSize == 12) {
        info = {12, 0, 0, 0, f[18], f[19], f[22], f[23], f[26], f[27], f[28], f[29]};
        Bytes t3;
        for (size_t i = 0; i + 4 <= table.size(); i += 4)
            t3.insert(t3.end(), table.begin() + long(i), table.begin() + long(i + 3));
        table = t3;
    } else {
        extra.resize(infoSize - 40 > extra.size() ? infoSize - 40 : extra.size());
        info = with(join(info, extra), 0, infoSize);
    }
    Bytes g = join(join(join(part(f, 0, 14), info), table), part(f, off, f.size() - off));
    return with(with(g, 2, uint32_t(g.size())), 10, uint32_t(14 + info.size() + table.size()));
}

// An IMP file: 47-byte header, comment, stream.
inline Bytes impFile(int32_t width, int32_t height, const std::string &comment, const Bytes &stream)
{
    Bytes f = join({'I', 'M'}, Bytes(45)), c(comment.begin(), comment.end());
    f = with(with(f, 2, uint32_t(47 + c.size() + stream.size())), 6, uint32_t(47 + c.size()));
    f = with(with(f, 10, uint32_t(width)), 14, uint32_t(height));
    f[18] = 24;
    return join(join(f, c), stream);
}

// The 3x1 picture (10,20,30), (12,19,30), (200,0,5): its rows and stream.
const Bytes kImpRows3 = {10, 20, 30, 12, 19, 30, 200, 0, 5, 0, 0, 0};
const Bytes kImpStream3 = {0xA0, 0x0A, 0x14, 0x1E, 0x2F, 0x0C, 0x80, 0x00, 0x50};

// readBitmap's result, what it printed, and copies of both blocks (of the
// pixels, the first megabyte: more than any picture here looks at).
struct DibRead { int rc = -1; std::string err; Bytes info, bits; };
inline DibRead readDib(int type, const std::string &path)
{
    DibRead r;
    HLOCAL h[2] = {};
    testing::internal::CaptureStderr();
    r.rc = readBitmap(type, path.c_str(), &h[0], &h[1]);
    r.err = testing::internal::GetCapturedStderr();
    for (int i = 0; i < 2 && r.rc == 0; i++) {
        auto *p = static_cast<unsigned char *>(LocalLock(h[i]));
        (i ? r.bits : r.info).assign(p, p + std::min<size_t>(LocalSize(h[i]), 1 << 20));
        LocalFree(h[i]);
    }
    return r;
}

#endif
