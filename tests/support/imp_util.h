// Helpers for the IMP coder tests: pictures as padded DIB rows, the stream
// of a picture through write_data, and a plain reference encoder.
#ifndef VEXEL_TESTS_SUPPORT_IMP_UTIL_H
#define VEXEL_TESTS_SUPPORT_IMP_UTIL_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

typedef std::vector<unsigned char> Bytes;

struct Px {
    int b, g, r;
};

// Bytes of a 24-bit row of width pixels, padded to 4.
long impStride(int width);

// A 24-bit pixel block, rows in the given order (first = first in memory),
// padding bytes set to pad.
Bytes impBlock(int width, int height, const std::vector<Px> &pixels, unsigned char pad = 0);

// The 54-byte working header: magic, width at 18, height at 22, and for
// "IM" the data offset at 14.
Bytes impHeader(const char *magic, int width, int height, int32_t dataOffset = 47);

// The whole content of a file, read from its start.
Bytes fileBytes(FILE *fp);

// Codes a 24-bit block as a BM2 body with write_data into a temporary file
// and returns the stream (the bytes after the 54-byte header); *result gets
// write_data's result. Checks that the file size field matches the file.
Bytes impEncode(const Bytes &block, int width, int height, int *result = nullptr);

// Stands for the stream's own size, or the image size, in impDecode.
constexpr long kImpAuto = -0x7FFFFFFFL - 1;

// Decodes stream (len bytes stated) into a zero-filled block of bitsLen
// bytes; the read_data result.
int impDecode(const Bytes &stream, int width, int height, Bytes &block, long len = kImpAuto,
              long bitsLen = kImpAuto);

// The stream of a 24-bit block coded straight from the format's rules,
// one write_bits call per field, into fp. Its length, or -1.
int impReferenceEncode(FILE *fp, const unsigned char *block, int width, int height);

std::string hexBytes(const Bytes &b);

#endif
