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
    // Names in the directory, sorted.
    std::vector<std::string> list() const;
};

void writeBytes(const std::string &path, const Bytes &data);
Bytes readBytes(const std::string &path);
bool fileExists(const std::string &path);

// Row width in bytes of a picture, padded to 4 bytes.
int64_t bmpRowSize(int64_t width, int bitCount);

// A BMP file: the 54-byte header (bfSize and bfOffBits from the parts,
// biSizeImage the data length), the table and the data. Tests change single
// fields afterwards with setLE32/setLE16.
Bytes bmpFile(int32_t width, int32_t height, int bitCount, const Bytes &table, const Bytes &data,
              uint32_t compression = 0, uint32_t clrUsed = 0, const char *magic = "BM");
// An IMP file: 47-byte header, comment and stream. The file size field is
// the real length unless fileSize is given.
Bytes impFile(int32_t width, int32_t height, const std::string &comment, const Bytes &stream,
              int64_t fileSize = -1);
void setLE32(Bytes &b, size_t at, uint32_t v);
void setLE16(Bytes &b, size_t at, uint32_t v);
uint32_t getLE32At(const Bytes &b, size_t at);

// Deterministic filler.
Bytes randomBytes(size_t n, uint32_t seed);
// A colour table of n entries.
Bytes grayTable(int n);

// readBitmap's outcome: result, what it printed, and copies of both blocks.
struct DibRead {
    int rc = -1;
    std::string err;
    Bytes info, bits;
    int32_t width() const;
    int32_t height() const;
    uint32_t field(size_t at) const; // a 32-bit field of the info header
};
DibRead readDib(int type, const std::string &path);

// Runs a shell command; its exit status, and its standard output in *out.
int runCommand(const std::string &cmd, std::string *out = nullptr);

#endif
