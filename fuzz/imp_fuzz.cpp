// libFuzzer target over the IMP stream decoder and the BM2 and IMP reader.
//
// Input layout for the decoder: byte 0 chooses the stated stream length
// (the stream's own size -8..+7) and whether the pixel block is one byte
// short of the image; bytes 1-2 and 3-4 are width and height (bounded);
// the rest is the stream. The vector kernels and the portable code must
// decode it alike; whatever decodes is coded again both ways, which must
// give one stream, and decoded again, which must give the same pixels.
// The whole input is also read as a BM2 and as an IMP file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imp/imp.h"
#include "imp/kernels.h"
#include "input/input.h"
#include "platform/platform.h"
#include "support/bytes.h"

namespace {

constexpr int64_t kMaxPixels = 1 << 14;

std::string tempPath;

void removeTemp()
{
    removeFile(tempPath.c_str());
}

int decode(const uint8_t *stream, size_t size, int width, int height, long len,
           std::vector<unsigned char> &bits)
{
    // fmemopen refuses an empty buffer; one byte that is never read will do.
    static const uint8_t empty = 0;
    FILE *fp = fmemopen(const_cast<uint8_t *>(size ? stream : &empty), size ? size : 1, "rb");
    if (fp == nullptr)
        abort();
    if (size == 0)
        fgetc(fp);
    unsigned char header[54] = {'B', '2'};
    putLE32(header + 18, uint32_t(width));
    putLE32(header + 22, uint32_t(height));
    int rc = read_data(fp, bits.data(), header, len, long(bits.size()));
    fclose(fp);
    return rc;
}

void fuzzDecoder(const uint8_t *data, size_t size)
{
    if (size < 5)
        return;
    int width = getLE16(data + 1) % 512;
    int height = getLE16(data + 3) % 512;
    if (int64_t(width) * height > kMaxPixels)
        height = int(kMaxPixels / width);
    const uint8_t *stream = data + 5;
    size_t streamLen = size - 5;
    long len = long(streamLen) + (data[0] & 15) - 8;
    long stride = (3L * width + 3) / 4 * 4;
    long bitsLen = stride * height - (data[0] & 0x80 ? 1 : 0);
    // The vector kernels and the portable code agree, on damaged streams too.
    std::vector<unsigned char> bits(size_t(bitsLen > 0 ? bitsLen : 0), 0), ref = bits;
    imp_scalar = 1;
    int rc = decode(stream, streamLen, width, height, len, ref);
    imp_scalar = 0;
    if (decode(stream, streamLen, width, height, len, bits) != rc || bits != ref)
        abort();
    if (rc != 0 || bitsLen < stride * height)
        return;

    // Code the pixels again, both ways; the one stream must give them back.
    std::vector<unsigned char> coded[2];
    for (int scalar : {0, 1}) {
        imp_scalar = scalar;
        std::vector<unsigned char> &file = coded[scalar];
        file.resize(54 + size_t(width) * height * 25 / 8 + 64);
        FILE *out = fmemopen(file.data(), file.size(), "w+b");
        if (out == nullptr)
            abort();
        unsigned char header[54] = {'B', '2'};
        putLE32(header + 18, uint32_t(width));
        putLE32(header + 22, uint32_t(height));
        fwrite(header, 1, 54, out);
        if (write_data(out, "fuzz.bm2", header, bits.data(), nullptr, 24) != 0)
            abort();
        fclose(out);
        file.resize(getLE32(header + 2));
    }
    imp_scalar = 0;
    if (coded[0] != coded[1])
        abort();
    long n = long(coded[0].size()) - 54;
    std::vector<unsigned char> again(bits.size(), 0);
    if (decode(coded[0].data() + 54, size_t(n), width, height, n, again) != 0)
        abort();
    if (again != bits)
        abort();
}

void fuzzReader(const uint8_t *data, size_t size)
{
    FILE *fp = fopen(tempPath.c_str(), "wb");
    if (fp == nullptr)
        return;
    fwrite(data, 1, size, fp);
    fclose(fp);
    for (int type : {1, 2}) {
        HLOCAL info = nullptr, bits = nullptr;
        if (readBitmap(type, tempPath.c_str(), &info, &bits) == 0) {
            LocalFree(info);
            LocalFree(bits);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vexel_msgout = 0;
    FILE *fp = openTempBeside("/tmp/imp_fuzz", tempPath);
    if (fp == nullptr)
        abort();
    fclose(fp);
    atexit(removeTemp);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzDecoder(data, size);
    fuzzReader(data, size);
    return 0;
}
