// Helpers of the bitmap reader, run-length and writer tests: scratch
// directories, files built field by field, and the DIB pair read back.
#ifndef VEXEL_TESTS_SUPPORT_BMP_UTIL_H
#define VEXEL_TESTS_SUPPORT_BMP_UTIL_H

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// A fresh directory under /tmp, removed with everything in it.
struct BmpTempDir {
    std::string path;
    BmpTempDir();
    ~BmpTempDir();
    std::string file(const std::string &name) const { return path + "/" + name; }
    std::vector<std::string> list() const; // names in it, sorted
};

void writeBytes(const std::string &path, const Bytes &data);
Bytes readBytes(const std::string &path);

// Row width in bytes, padded to 4.
inline int64_t bmpRow(int64_t width, int bitCount)
{
    return (width * bitCount + 31) / 32 * 4;
}

// A BMP file: 54-byte header (bfSize and bfOffBits from the parts,
// biSizeImage the data length), table, data.
Bytes bmpFile(int32_t width, int32_t height, int bitCount, const Bytes &table, const Bytes &data,
              uint32_t compression = 0, uint32_t clrUsed = 0, const char *magic = "BM");
// An IMP file: 47-byte header, comment, stream.
Bytes impFile(int32_t width, int32_t height, const std::string &comment, const Bytes &stream);
// A copy of b with a 32-bit (or, with size 2, 16-bit) field changed.
Bytes with(Bytes b, size_t at, uint32_t v, int size = 4);
uint32_t le32(const Bytes &b, size_t at);

Bytes randomBytes(size_t n, uint32_t seed);
Bytes grayTable(int entries);

// The 3x1 picture (10,20,30), (12,19,30), (200,0,5): its rows and stream.
extern const Bytes kImpRows3, kImpStream3;

// readBitmap's result, what it printed, and copies of both blocks.
struct DibRead {
    int rc = -1;
    std::string err;
    Bytes info, bits;
    uint32_t field(size_t at) const { return le32(info, at); } // of the info header
    Bytes pixels(size_t n) const { return Bytes(bits.begin(), bits.begin() + long(n)); }
};
DibRead readDib(int type, const std::string &path);

// Exit status of a shell command, its standard output in *out.
int runCommand(const std::string &cmd, std::string *out = nullptr);

#endif
